// canhub [--listen ADDR:PORT] [--bitrate KBIT] [--pcap FILE]
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "hub.h"

namespace {

int stopPipe[2];

void onSignal(int)
{
    char b = 1;
    (void)!::write(stopPipe[1], &b, 1);
}

[[noreturn]] void usage(const std::string& why)
{
    if (!why.empty())
        std::cerr << "canhub: " << why << "\n";
    std::cerr << "usage: canhub [--listen ADDR:PORT] [--bitrate KBIT] [--pcap FILE]\n"
                 "  --listen   address and port to serve (default 127.0.0.1:29536; port 0 picks one)\n"
                 "  --bitrate  pace frames as a real bus of that rate would (kbit/s)\n"
                 "  --pcap     log every delivered frame (link type 227) to FILE\n";
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv)
{
    canhub::Options opt;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(a + " needs a value");
            return argv[++i];
        };
        if (a == "--listen") {
            std::string v = value();
            auto colon = v.rfind(':');
            if (colon == std::string::npos)
                usage("--listen takes ADDR:PORT");
            opt.listenAddr = v.substr(0, colon);
            char* end = nullptr;
            long p = std::strtol(v.c_str() + colon + 1, &end, 10);
            if (*end || p < 0 || p > 65535 || colon + 1 == v.size())
                usage("bad port in --listen " + v);
            opt.port = static_cast<uint16_t>(p);
        } else if (a == "--bitrate") {
            std::string v = value();
            char* end = nullptr;
            long k = std::strtol(v.c_str(), &end, 10);
            if (*end || k <= 0 || k > 1000)
                usage("--bitrate takes kbit/s from 1 to 1000");
            opt.bitrateKbit = static_cast<unsigned>(k);
        } else if (a == "--pcap") {
            opt.pcapPath = value();
        } else if (a == "-h" || a == "--help") {
            usage("");
        } else if (a == "--version") {
            std::printf("canhub %s\n", TAVELIN_VERSION);
            return 0;
        } else {
            usage("unknown option " + a);
        }
    }
    if (::pipe(stopPipe) != 0)
        return 1;
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    canhub::Hub hub(opt);
    std::string err;
    if (!hub.start(err)) {
        std::cerr << "canhub: " << err << std::endl;
        return 1;
    }
    std::printf("canhub: listening on %s:%u%s\n", opt.listenAddr.c_str(), hub.port(),
                opt.bitrateKbit ? (", paced at " + std::to_string(opt.bitrateKbit) + " kbit/s").c_str()
                                : "");
    std::fflush(stdout);
    hub.run(stopPipe[0]);
    return 0;
}
