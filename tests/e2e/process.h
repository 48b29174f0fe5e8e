// Child processes for tests: canhub on a free port, ecusim on that bus.
#ifndef TAVELIN_TEST_PROCESS_H
#define TAVELIN_TEST_PROCESS_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace testbench {

std::string binDir();  // $TAVELIN_BIN

class Process {
public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process() { stop(); }
    // Starts argv[0] from binDir(); stdout and stderr go to files in a temp dir.
    bool start(const std::vector<std::string>& argv);
    // Waits (up to limitMs) until stdout/stderr contains text.
    bool waitFor(const std::string& text, int limitMs = 20000, bool inStderr = false);
    int stop(int sig = 15);  // signal and wait; returns exit status (or -1)
    bool running();
    std::string out() const;
    std::string err() const;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
    int status_ = -1;
};

// canhub on 127.0.0.1:0; its port and socketcand URL.
struct Hub {
    Process p;
    int port = 0;
    std::string url;
    bool start(const std::vector<std::string>& extra = {});
};

// Polls cond every few ms until it holds or limitMs passes.
bool waitUntil(const std::function<bool()>& cond, int limitMs = 20000);

std::string tempDir();

// Context switches of all this process's threads so far: each is a wake-up
// (a thread that waits on a descriptor or a condition adds none).
long contextSwitches();

}  // namespace testbench

#endif
