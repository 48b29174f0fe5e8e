#include "process.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace testbench {

std::string binDir()
{
    const char* b = std::getenv("TAVELIN_BIN");
    return b ? b : ".";
}

std::string tempDir()
{
    char d[] = "/tmp/tavelin_testXXXXXX";
    return mkdtemp(d) ? d : "/tmp";
}

static std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Process::start(const std::vector<std::string>& argv)
{
    std::string dir = tempDir();
    outPath_ = dir + "/stdout";
    errPath_ = dir + "/stderr";
    std::string exe = argv[0].find('/') == std::string::npos ? binDir() + "/" + argv[0] : argv[0];
    std::fflush(stdout);  // or the child's freopen writes our buffered output again
    std::fflush(stderr);
    pid_ = ::fork();
    if (pid_ == 0) {
        if (!freopen(outPath_.c_str(), "w", stdout) || !freopen(errPath_.c_str(), "w", stderr))
            _exit(127);
        std::vector<char*> args;
        args.push_back(const_cast<char*>(exe.c_str()));
        for (std::size_t i = 1; i < argv.size(); ++i)
            args.push_back(const_cast<char*>(argv[i].c_str()));
        args.push_back(nullptr);
        ::execv(exe.c_str(), args.data());
        _exit(127);
    }
    return pid_ > 0;
}

std::string Process::out() const { return slurp(outPath_); }
std::string Process::err() const { return slurp(errPath_); }

bool Process::running()
{
    if (pid_ <= 0)
        return false;
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        pid_ = -1;
        return false;
    }
    return true;
}

bool Process::waitFor(const std::string& text, int limitMs, bool inStderr)
{
    return waitUntil([&] { return (inStderr ? err() : out()).find(text) != std::string::npos; }, limitMs);
}

int Process::stop(int sig)
{
    if (pid_ > 0) {
        ::kill(pid_, sig);
        int st = 0;
        for (int i = 0; i < 1000; ++i) {  // up to 10 s, then kill
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                pid_ = -1;
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &st, 0);
        pid_ = -1;
        status_ = -1;
    }
    return status_;
}

bool Hub::start(const std::vector<std::string>& extra)
{
    std::vector<std::string> argv = {"canhub", "--listen", port ? "127.0.0.1:" + std::to_string(port) : "127.0.0.1:0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    if (!p.start(argv) || !p.waitFor("listening on"))
        return false;
    std::smatch m;
    std::string o = p.out();
    if (!std::regex_search(o, m, std::regex(":([0-9]+)")))
        return false;
    port = std::stoi(m[1]);
    url = "socketcand://127.0.0.1:" + std::to_string(port) + "/vcan0";
    return true;
}

bool waitUntil(const std::function<bool()>& cond, int limitMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

long contextSwitches()
{
    long n = 0;
    DIR* d = ::opendir("/proc/self/task");
    while (dirent* e = d ? ::readdir(d) : nullptr) {
        if (e->d_name[0] == '.')
            continue;
        std::ifstream in(std::string("/proc/self/task/") + e->d_name + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                n += std::atol(line.c_str() + line.find(':') + 1);
    }
    if (d)
        ::closedir(d);
    return n;
}

}  // namespace testbench
