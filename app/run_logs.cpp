#include "run_logs.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

#include "brivex.h"

namespace runlogs {

QString logName(const QDateTime& start, const QString& hwId)
{
    QString id;
    for (const QChar c : hwId)
        if (c.isLetterOrNumber() && c.unicode() < 128)
            id += c;
    if (id.isEmpty())
        id = QStringLiteral("capture");
    return QStringLiteral("runs/%1_%2.trc").arg(start.toString(QStringLiteral("yyyy-MM-ddTHH-mm-ss")), id);
}

void prune(const QString& folder, const QString& inProgress, int keepCount, qint64 keepBytes)
{
    const QDir dir(folder);
    // Oldest first: the names start with the time.
    const QFileInfoList logs = dir.entryInfoList({QStringLiteral("*.trc")}, QDir::Files, QDir::Name);
    qint64 bytes = 0;
    for (const QFileInfo& f : logs)
        bytes += f.size();
    int count = static_cast<int>(logs.size());
    for (const QFileInfo& f : logs) {
        if (count <= keepCount && bytes <= keepBytes)
            break;
        if (f.fileName() == inProgress)
            continue;
        if (QFile::remove(f.absoluteFilePath())) {
            --count;
            bytes -= f.size();
        }
    }
}

QString start(const QDateTime& when, const QString& hwId)
{
    static bool warned = false;
    QString name = logName(when, hwId);
    // A second log in the same second (a capture stopped and started again)
    // gets a number rather than replacing the first.
    for (int n = 2; QFileInfo::exists(name) && n < 100; ++n)
        name = logName(when, hwId).replace(QStringLiteral(".trc"), QStringLiteral("-%1.trc").arg(n));
    QDir().mkpath(QStringLiteral("runs"));
    if (StartBusLog(QFile::encodeName(name).constData()) != 0) {
        if (!warned) {
            warned = true;
            std::printf("\ntavelin: cannot write the bus log %s; the run goes on without it\n", qPrintable(name));
            std::fflush(stdout);
        }
        return QString();
    }
    prune(QStringLiteral("runs"), QFileInfo(name).fileName());
    std::printf("\ntavelin: bus log %s\n", qPrintable(name));
    std::fflush(stdout);
    return name;
}

void stop() { StopBusLog(); }

}  // namespace runlogs
