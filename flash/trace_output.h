// Keeps the frame trace, which brivex and kwp print to standard output, out of
// the program's own standard output (its --json lines).
#ifndef TAVELIN_FLASH_TRACE_OUTPUT_H
#define TAVELIN_FLASH_TRACE_OUTPUT_H

#include <QString>
#include <cstdio>

namespace flash {

// Sends standard output to the file trace (appended; "-": standard error)
// and returns a stream on what standard output was, or null (with a line on
// standard error) when the trace file cannot be opened.
std::FILE* separateTrace(const QString& trace);

}  // namespace flash

#endif
