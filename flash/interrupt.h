// Ctrl-C and termination requests, noted for the loops to look at: between
// ECUs the program ends cleanly, during a run it stops the run.
#ifndef TAVELIN_FLASH_INTERRUPT_H
#define TAVELIN_FLASH_INTERRUPT_H

namespace flash {

// SIGINT and SIGTERM (Ctrl-C and Ctrl-Break on Windows) set the flag. On
// POSIX a blocking read of the terminal returns when one arrives.
void catchInterrupts();
bool interrupted();

}  // namespace flash

#endif
