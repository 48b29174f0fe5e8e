// ecusim: the bench ECU. Joins the bus through libpcanbasic and plays the
// bootloader the tool expects, checking every frame the tool sends.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <iostream>
#include <string>
#include <thread>

#include "PCANBasic.h"
#include "ecu_model.h"
#include "intel_hex.h"
#include "isotp_receiver.h"

namespace {

std::atomic<bool> stopRequested{false};
void onSignal(int) { stopRequested = true; }

[[noreturn]] void usage(const std::string& why)
{
    if (!why.empty())
        std::cerr << "ecusim: " << why << "\n";
    (why.empty() ? std::cout : std::cerr) <<
        "usage: ecusim [--bus URL] [--addr HEX] [--config FILE] [--set KEY=VALUE]... [--dump FILE]\n"
        "              [--power off|app|boot] [--power-on-after-capture MS] [--boot-window MS]\n"
        "              [--exit-after-reset] [-v] [fault options]\n"
        "settings (--set or config file lines): hw_id, hw_version, boot_interface_version,\n"
        "  boot_version, app_id, app_version, block_length, item.N = BYTES | nrc XX,\n"
        "  flash_start, flash_end, seed\n"
        "faults: --no-answer SID  --nrc SID:CODE[:TIMES]  --erase-pending N  --erase-result RR\n"
        "        --checksum-result RR  --reject-keys N|all  --fc-wait N|all  --fc-overflow N|all\n"
        "        --fc-bs N  --fc-st MS  --answer-as-first-frame SID  --stop-after N\n"
        "        --late SID:MS   (the first answer to that service comes MS late)\n"
        "        --pending SID:ITEM:MS   (requests of that service whose first parameter, or\n"
        "          for 22 whose item, is ITEM get 7F SID 78 at once and their answer MS later)\n"
        "        --answer-delay MS   (every answer comes MS after its request: a second, slower\n"
        "          ECU at the same address)\n"
        "        --power-cut block:N|erase|checksum   (the ECU goes silent there, keeps its memory,\n"
        "          and is switched on again 100 ms after the next capture request)\n"
        "item.N = none: no answer to that identification item\n";
    std::exit(why.empty() ? 0 : 2);
}

unsigned long num(const std::string& opt, const std::string& v, unsigned long max, int base = 0)
{
    char* end = nullptr;
    unsigned long r = std::strtoul(v.c_str(), &end, base);
    if (v.empty() || *end || r > max || v[0] == '-')
        usage(opt + ": bad value '" + v + "'");
    return r;
}

int timesOf(const std::string& opt, const std::string& v)
{
    return v == "all" ? -1 : static_cast<int>(num(opt, v, 1000000));
}

int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string hexBytes(const uint8_t* p, std::size_t n)
{
    std::string s;
    char b[4];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02X ", p[i]);
        s += b;
    }
    if (!s.empty())
        s.pop_back();
    return s;
}

}  // namespace

int main(int argc, char** argv)
{
    ecusim::Config cfg;
    ecusim::TransportConfig tcfg;
    std::set<uint8_t> asFirstFrame;
    std::map<uint8_t, unsigned> late;  // service -> delay of its first answer, in ms
    std::map<std::pair<uint8_t, uint8_t>, unsigned> pending;  // (service, item) -> delay after 7F xx 78
    unsigned answerDelayMs = 0;
    std::string dumpPath;
    unsigned addr = 0x22;
    bool exitAfterReset = false, verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(a + " needs a value");
            return argv[++i];
        };
        std::string err;
        if (a == "--bus") {
            ::setenv("TAVELIN_BUS", value().c_str(), 1);
        } else if (a == "--addr") {
            addr = static_cast<unsigned>(num(a, value(), 0xFF, 16));
        } else if (a == "--config") {
            if (!ecusim::loadConfigFile(cfg, value(), err))
                usage(err);
        } else if (a == "--set") {
            std::string kv = value();
            auto eq = kv.find('=');
            if (eq == std::string::npos || !ecusim::applySetting(cfg, kv.substr(0, eq), kv.substr(eq + 1), err))
                usage(err.empty() ? "--set takes KEY=VALUE" : err);
        } else if (a == "--dump") {
            dumpPath = value();
        } else if (a == "--power") {
            std::string v = value();
            if (v == "off") cfg.power = ecusim::Config::Power::Off;
            else if (v == "app") cfg.power = ecusim::Config::Power::App;
            else if (v == "boot") cfg.power = ecusim::Config::Power::Boot;
            else usage("--power takes off, app or boot");
        } else if (a == "--power-on-after-capture") {
            cfg.powerOnAfterCaptureMs = static_cast<long>(num(a, value(), 600000));
        } else if (a == "--boot-window") {
            cfg.bootWindowMs = static_cast<long>(num(a, value(), 600000));
        } else if (a == "--exit-after-reset") {
            exitAfterReset = true;
        } else if (a == "-h" || a == "--help") {
            usage("");
        } else if (a == "--version") {
            std::printf("ecusim %s\n", TAVELIN_VERSION);
            return 0;
        } else if (a == "-v" || a == "--verbose") {
            verbose = true;
        } else if (a == "--no-answer") {
            cfg.faults.noAnswer.insert(static_cast<uint8_t>(num(a, value(), 0xFF, 16)));
        } else if (a == "--nrc") {
            std::string v = value();
            unsigned sid, code, times = 0;
            int n = std::sscanf(v.c_str(), "%x:%x:%u", &sid, &code, &times);
            if (n < 2 || sid > 0xFF || code > 0xFF)
                usage("--nrc takes SID:CODE[:TIMES] in hexadecimal (times decimal, default every time)");
            cfg.faults.nrc[static_cast<uint8_t>(sid)] = {static_cast<uint8_t>(code), n == 3 ? static_cast<int>(times) : -1};
        } else if (a == "--erase-pending") {
            cfg.faults.erasePending = static_cast<int>(num(a, value(), 100000));
        } else if (a == "--erase-result") {
            cfg.faults.eraseResult = static_cast<uint8_t>(num(a, value(), 0xFF, 16));
        } else if (a == "--checksum-result") {
            cfg.faults.checksumResult = static_cast<uint8_t>(num(a, value(), 0xFF, 16));
        } else if (a == "--reject-keys") {
            cfg.faults.rejectKeys = timesOf(a, value());
        } else if (a == "--fc-wait" || a == "--fc-overflow") {
            tcfg.fcFaultStatus = a == "--fc-wait" ? 0x31 : 0x32;
            tcfg.fcFaultTimes = timesOf(a, value());
        } else if (a == "--fc-bs") {
            tcfg.blockSize = static_cast<uint8_t>(num(a, value(), 0xFF));
        } else if (a == "--fc-st") {
            tcfg.separationMs = static_cast<uint8_t>(num(a, value(), 0x7F));
        } else if (a == "--answer-as-first-frame") {
            asFirstFrame.insert(static_cast<uint8_t>(num(a, value(), 0xFF, 16)));
        } else if (a == "--power-cut") {
            if (!ecusim::parsePowerCut(value(), cfg.faults.powerCut))
                usage("--power-cut takes block:N, erase or checksum");
        } else if (a == "--late") {
            unsigned sid, ms;
            if (std::sscanf(value().c_str(), "%x:%u", &sid, &ms) != 2 || sid > 0xFF || ms > 60000)
                usage("--late takes SID:MS (service in hexadecimal, up to 60000 ms)");
            late[static_cast<uint8_t>(sid)] = ms;
        } else if (a == "--pending") {
            unsigned sid, item, ms;
            if (std::sscanf(value().c_str(), "%x:%x:%u", &sid, &item, &ms) != 3 || sid > 0xFF || item > 0xFF ||
                ms > 60000)
                usage("--pending takes SID:ITEM:MS (service and item in hexadecimal, up to 60000 ms)");
            pending[{static_cast<uint8_t>(sid), static_cast<uint8_t>(item)}] = ms;
        } else if (a == "--answer-delay") {
            answerDelayMs = static_cast<unsigned>(num(a, value(), 60000));
        } else if (a == "--stop-after") {
            cfg.faults.stopAfter = static_cast<long>(num(a, value(), 100000000));
        } else {
            usage("unknown option " + a);
        }
    }
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    const uint32_t reqId = 0x18DA00F9u | addr << 8, respId = 0x18DAF900u | addr;
    const uint32_t broadcastId = 0x18DAFFF9u;
    // Frame time stamps count from initialisation; so does busUs() for time-outs.
    const int64_t busStart = nowUs();
    auto busUs = [&] { return nowUs() - busStart; };
    if (CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0) != PCAN_ERROR_OK) {
        std::cerr << "ecusim: cannot join the bus (see the line above)" << std::endl;
        return 1;
    }
    // A socketcand link comes up in the background: say "on the bus" once it
    // is (waiting at most 10 s; the loop below keeps re-initialising anyway).
    for (int64_t until = nowUs() + 10000000;
         CAN_GetStatus(PCAN_USBBUS1) == PCAN_ERROR_BUSOFF && nowUs() < until && !stopRequested;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        CAN_Reset(PCAN_USBBUS1);
        CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0);
    }
    ecusim::Model model(cfg, static_cast<uint32_t>(nowUs()));
    ecusim::Receiver rx(tcfg);
    const int64_t t0 = nowUs();
    auto nowMs = [&] { return (nowUs() - t0) / 1000; };
    unsigned violations = 0;
    std::fprintf(stderr, "ecusim: ECU 0x%02X on the bus (requests 0x%08X, answers 0x%08X)\n", addr, reqId, respId);

    auto sendFrame = [&](const ecusim::Frame8& d) {
        TPCANMsg m{};
        m.ID = respId;
        m.MSGTYPE = PCAN_MESSAGE_EXTENDED;
        m.LEN = 8;
        std::memcpy(m.DATA, d.data(), 8);
        if (CAN_Write(PCAN_USBBUS1, &m) != PCAN_ERROR_OK)
            std::fprintf(stderr, "ecusim: could not send %s\n", hexBytes(m.DATA, 8).c_str());
    };
    auto report = [&](const std::vector<std::string>& v) {
        for (auto& s : v) {
            ++violations;
            std::fprintf(stderr, "ecusim: violation: %s\n", s.c_str());
        }
    };

    int64_t lastStatusCheck = 0;
    bool resetSeen = false;
    ecusim::Model::State lastState = model.state();
    while (!stopRequested) {
        model.tick(nowMs());
        if (model.state() != lastState) {
            static const char* names[] = {"off", "in its boot window", "in the bootloader", "running its application"};
            std::fprintf(stderr, "ecusim: ECU %s\n", names[static_cast<int>(model.state())]);
            lastState = model.state();
        }
        if (exitAfterReset && resetSeen && !model.resetPending())
            break;
        TPCANMsg m;
        TPCANTimestamp ts;
        TPCANStatus s = CAN_Read(PCAN_USBBUS1, &m, &ts);
        if (s != PCAN_ERROR_OK) {
            report(rx.poll(busUs()).violations);
            if (nowMs() - lastStatusCheck > 500) {
                lastStatusCheck = nowMs();
                if (CAN_GetStatus(PCAN_USBBUS1) != PCAN_ERROR_OK) {
                    CAN_Reset(PCAN_USBBUS1);
                    CAN_Initialize(PCAN_USBBUS1, PCAN_BAUD_250K, 0, 0, 0);
                }
            }
            // Wake on the next frame (time-outs and power changes are
            // checked at least every few milliseconds).
            int event = -1;
            if (CAN_GetValue(PCAN_USBBUS1, PCAN_RECEIVE_EVENT, &event, sizeof event) == PCAN_ERROR_OK) {
                pollfd p{event, POLLIN, 0};
                ::poll(&p, 1, 5);
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
            continue;
        }
        if (!(m.MSGTYPE & PCAN_MESSAGE_EXTENDED) || (m.ID != reqId && m.ID != broadcastId))
            continue;
        // A switched-off ECU hears nothing, not even on the transport layer
        // (the bench itself still sees the capture broadcast that powers it).
        if (model.state() == ecusim::Model::State::Off && m.ID != broadcastId)
            continue;
        if (verbose)
            std::fprintf(stderr, "ecusim: <- %08X %s\n", m.ID, hexBytes(m.DATA, m.LEN).c_str());
        const bool broadcast = m.ID == broadcastId;
        std::optional<std::vector<uint8_t>> request;
        if (broadcast) {
            // Functional requests are single frames only.
            if (m.LEN >= 2 && m.DATA[0] >= 1 && m.DATA[0] <= 7 && m.DATA[0] < m.LEN)
                request = std::vector<uint8_t>(m.DATA + 1, m.DATA + 1 + m.DATA[0]);
        } else {
            ecusim::RxFrame f;
            f.dlc = m.LEN;
            std::memcpy(f.data.data(), m.DATA, m.LEN > 8 ? 8 : m.LEN);
            f.atUs = static_cast<int64_t>(ts.millis) * 1000 + ts.micros +
                     (static_cast<int64_t>(ts.millis_overflow) << 32) * 1000;
            auto r = rx.feed(f);
            report(r.violations);
            for (auto& fc : r.send)
                sendFrame(fc);
            request = r.message;
        }
        if (!request)
            continue;
        auto answer = model.handle(*request, broadcast, nowMs());
        if (!answer)
            continue;
        if ((*answer)[0] == 0x51)
            resetSeen = true;
        if (answerDelayMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(answerDelayMs));
        // The item of a pending answer: the identifier's second byte for 22
        // (FF nn), otherwise the first parameter byte.
        const std::size_t itemAt = (*request)[0] == 0x22 ? 2 : 1;
        if (request->size() > itemAt && (*answer)[0] != 0x7F) {
            if (auto p = pending.find({(*request)[0], (*request)[itemAt]}); p != pending.end()) {
                for (auto& fr : ecusim::encodeAnswer(ecusim::negative((*request)[0], 0x78), false))
                    sendFrame(fr);
                if (verbose)
                    std::fprintf(stderr, "ecusim: -> 7F %02X 78\n", (*request)[0]);
                std::this_thread::sleep_for(std::chrono::milliseconds(p->second));
            }
        }
        if (auto l = late.find((*request)[0]); l != late.end()) {
            // A slow ECU: requests that come meanwhile wait in the receive queue.
            std::this_thread::sleep_for(std::chrono::milliseconds(l->second));
            late.erase(l);
        }
        for (auto& fr : ecusim::encodeAnswer(*answer, asFirstFrame.count((*request)[0]) > 0))
            sendFrame(fr);
        if (verbose)
            std::fprintf(stderr, "ecusim: -> %s\n", hexBytes(answer->data(), answer->size()).c_str());
    }
    if (!dumpPath.empty()) {
        std::ofstream out(dumpPath);
        hexfile::writeIntelHex(out, model.memory());
        if (!out)
            std::fprintf(stderr, "ecusim: cannot write %s\n", dumpPath.c_str());
    }
    std::printf("ecusim: programmed %zu bytes in %u blocks, checksum 0x%04X %s, %u framing violations, %u resets\n",
                model.memory().size(), model.transfers(), model.checksum(), model.verdict().c_str(),
                violations, model.resets());
    std::fflush(stdout);
    CAN_Uninitialize(PCAN_USBBUS1);
    return 0;
}
