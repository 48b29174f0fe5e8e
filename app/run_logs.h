// The runs/ folder in the working directory: one bus log (.trc) per capture
// and per programming run, named by its start and the ECU's hardware id, the
// newest kept within a count and a size.
#ifndef TAVELIN_RUN_LOGS_H
#define TAVELIN_RUN_LOGS_H

#include <QDateTime>
#include <QString>

namespace runlogs {

constexpr int kKeepCount = 200;
constexpr qint64 kKeepBytes = 500ll * 1024 * 1024;

// "runs/2026-12-09T14-03-11_0012345.trc": the start as local time (colons
// left out, which Windows does not allow in file names) and the hardware id
// as the window shows it, letters and digits only; "capture" before the ECU
// is identified.
QString logName(const QDateTime& start, const QString& hwId);

// Removes the oldest logs in folder (by name, which starts with the time)
// until at most keepCount are left and they take at most keepBytes, never
// the log named inProgress (a file name in folder).
void prune(const QString& folder, const QString& inProgress, int keepCount = kKeepCount,
           qint64 keepBytes = kKeepBytes);

// Starts the bus log of a capture or a run in runs/ of the working
// directory (made when missing) and prunes the folder; the log's path
// relative to the working directory, or empty when it cannot be made (said
// once in the trace). The log runs until the next starts or stop() ends it.
QString start(const QDateTime& when, const QString& hwId);
void stop();

}  // namespace runlogs

#endif
