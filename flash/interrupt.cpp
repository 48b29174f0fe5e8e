#include "interrupt.h"

#include <csignal>

namespace flash {

namespace {
volatile std::sig_atomic_t flag = 0;
extern "C" void noteSignal(int) { flag = 1; }
}  // namespace

#ifdef _WIN32
void catchInterrupts()
{
    std::signal(SIGINT, noteSignal);
    std::signal(SIGTERM, noteSignal);
    std::signal(SIGBREAK, noteSignal);
}
#else
void catchInterrupts()
{
    // No SA_RESTART: a prompt's read returns at the signal.
    struct sigaction sa = {};
    sa.sa_handler = noteSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}
#endif

bool interrupted() { return flag != 0; }

}  // namespace flash
