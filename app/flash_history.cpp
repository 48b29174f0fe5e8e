#include "flash_history.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cstdio>
#ifdef Q_OS_UNIX
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

QString isoLocalTime(const QDateTime& t)
{
    const int offset = t.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           QString::asprintf("%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
}

QByteArray csvField(const QString& s)
{
    QByteArray f = s.toUtf8();
    if (f.contains(',') || f.contains('"') || f.contains('\n') || f.contains('\r'))
        f = '"' + f.replace("\"", "\"\"") + '"';
    return f;
}

QByteArray historyHeader()
{
    return "time,outcome,ecu_address,hw_id,hw_version,boot_version,interface_version,app_code,app_version,"
           "file,file_hw_id,file_checksum,bytes,blocks,block_length,duration_s,file_sha256,bus_log\n";
}

QByteArray historyLine(const FlashRecord& r)
{
    const QStringList fields = {
        isoLocalTime(r.started),
        r.outcome,
        QString::asprintf("0x%02X", r.ecuAddress),
        r.hwId,
        r.hwVersion,
        r.bootVersion,
        r.interfaceVersion,
        r.appCode,
        r.appVersion,
        r.file,
        QString::number(r.fileHwId),
        QString::asprintf("0x%02X%02X", r.checksum[0], r.checksum[1]),
        QString::number(r.bytes),
        QString::number(r.blocks),
        QString::number(r.blockLength),
        QString::number(r.seconds, 'f', 1),
        QString::fromLatin1(r.fileSha256.toHex()),
        r.busLog,
    };
    QByteArray line;
    for (const QString& f : fields) {
        if (!line.isEmpty())
            line += ',';
        line += csvField(f);
    }
    return line + '\n';
}

bool FlashHistory::append(const FlashRecord& r)
{
    QFile f(path_);
#ifdef Q_OS_WIN
    // Opened through the C runtime, so that the line can be committed to disk
    // with _commit (FlushFileBuffers) on its descriptor.
    const int fd = ::_wopen(reinterpret_cast<const wchar_t*>(path_.utf16()),
                            _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    bool ok = fd >= 0 && f.open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered,
                                QFileDevice::AutoCloseHandle);
    if (fd >= 0 && !ok)
        ::_close(fd);
#else
    bool ok = f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
#endif
    if (ok) {
        const QByteArray text = (f.size() == 0 ? historyHeader() : QByteArray()) + historyLine(r);
        ok = f.write(text) == text.size();
#ifdef Q_OS_UNIX
        ok = ok && ::fsync(f.handle()) == 0;
#elif defined(Q_OS_WIN)
        ok = ok && ::_commit(f.handle()) == 0;
#endif
    }
    if (!ok && !warned_) {
        warned_ = true;
        std::fprintf(stderr, "tavelin: cannot write the flash history to %s (%s); programming goes on without it\n",
                     qPrintable(QFileInfo(path_).absoluteFilePath()), qPrintable(f.errorString()));
        std::fflush(stderr);
    }
    return ok;
}
