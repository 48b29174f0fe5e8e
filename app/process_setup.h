// What the program sets up for its process before the window exists.
#ifndef TAVELIN_PROCESS_SETUP_H
#define TAVELIN_PROCESS_SETUP_H

// On Windows, for as long as it lives:
// - raises the system timer resolution to 1 ms. At Windows' default 15.6 ms,
//   every sleep and timer is rounded up to that step, so separation times of
//   1-15 ms and short block intervals would all become 16 ms or more.
// - when started without a console or a redirected output (from Explorer or
//   the Start menu, as a GUI program), appends standard output and error (the
//   bus trace) to trace.log in the working folder, each start marked by a
//   "== tavelin started" line; a trace over 50 MB is kept once as trace.log.1.
// Elsewhere it does nothing.
class ProcessSetup {
public:
    ProcessSetup();
    ~ProcessSetup();
    ProcessSetup(const ProcessSetup&) = delete;
    ProcessSetup& operator=(const ProcessSetup&) = delete;
};

#endif
