// Opening update files: only regular files (or links to them) are read.
#ifndef TAVELIN_REGULAR_FILE_H
#define TAVELIN_REGULAR_FILE_H

#include <QFile>
#include <QString>

// Opens path read-only into file when it names a regular file. A FIFO, a
// device or a directory is refused without blocking: opening a FIFO for
// reading would wait for a writer, and a device may never end.
bool openRegularFile(const QString& path, QFile& file);

#endif
