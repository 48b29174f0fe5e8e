#include "settings_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>
#include <QTemporaryFile>
#include <QStringDecoder>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 kLineBytes = 500;  // a read gives at most 499 bytes of a line

// The next line of content from pos, as a read of at most 499 bytes would give it.
QByteArray nextLine(const QByteArray& content, int& pos)
{
    int start = pos;
    while (pos < content.size() && pos - start < kLineBytes - 1) {
        ++pos;
        if (content[pos - 1] == '\n')
            break;
    }
    return content.mid(start, pos - start);
}

bool parseInt(const QByteArray& line, int base, long& out)
{
    QByteArray z = line;  // NUL-terminated copy
    const char* s = z.constData();
    char* end = nullptr;
    errno = 0;
    long v = base == 10 ? std::strtol(s, &end, 10) : static_cast<long>(std::strtoul(s, &end, 16));
    if (end == s || errno == ERANGE)
        return false;
    out = v;
    return true;
}

}  // namespace

Settings parseConf(const QByteArray& content)
{
    Settings s;
    int pos = 0;
    long v;
    QByteArray l1 = nextLine(content, pos);
    if (parseInt(l1, 10, v) && v >= INT32_MIN && v <= INT32_MAX)
        s.baudrate = static_cast<int>(v);
    QByteArray l2 = nextLine(content, pos);
    if (parseInt(l2, 16, v)) {
        const auto address = static_cast<uint8_t>(v & 0xFF);
        // Requests to FF would reach every node on the bus (the erase
        // included); F9 is the tool's own address.
        if (address == 0xFF || address == 0xF9)
            s.refusedAddress = address;
        else
            s.ecuAddress = address;
    }
    bool ok = false;
    const int interval = nextLine(content, pos).trimmed().toInt(&ok, 10);
    if (ok && interval >= 0 && interval <= 100)
        s.blockIntervalMs = interval;
    return s;
}

int checkedBaudrate(int kbit)
{
    switch (kbit) {
    case 50: case 100: case 125: case 150: case 200: case 250: case 500: case 1000:
        return kbit;
    default:
        return 250;
    }
}

QByteArray defaultConfContent()
{
    Settings d;
    return QByteArray::number(d.baudrate) + "\n" + QByteArray::number(d.ecuAddress, 16).toUpper() + "\n";
}

Settings readConfFile()
{
    QFile f(QStringLiteral("conf.dat"));
    if (f.open(QIODevice::ReadOnly)) {
        // Three lines are all that is read.
        QByteArray content;
        for (int i = 0; i < 3; ++i)
            content += f.readLine(kLineBytes);
        const Settings s = parseConf(content);
        if (s.refusedAddress >= 0) {
            std::fprintf(stderr, "tavelin: conf.dat: ECU address %02X refused (%s); using %02X\n", s.refusedAddress,
                         s.refusedAddress == 0xFF ? "every node hears it" : "the tool's own address", s.ecuAddress);
            std::fflush(stderr);
        }
        return s;
    }
    QFile create(QStringLiteral("conf.dat"));
    if (create.open(QIODevice::ReadWrite))
        create.write(defaultConfContent());
    return Settings();
}

QByteArray pathFromHystory(const QByteArray& content, bool readOk)
{
    if (!readOk || content.isEmpty() || content.size() >= kLineBytes)
        return QByteArray();
    int nul = content.indexOf('\0');
    return nul >= 0 ? content.left(nul) : content;
}

QByteArray readHystFile()
{
    QFile f(QStringLiteral("hyst.dat"));
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray content(kLineBytes, '\0');
    qint64 n = f.read(content.data(), kLineBytes);
    if (n > 0)
        content.truncate(static_cast<int>(n));
    return pathFromHystory(n > 0 ? content : QByteArray(), n > 0);
}

QByteArray hystEncode(const QString& path)
{
    return path.toUtf8();
}

QString hystDecode(const QByteArray& stored)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString path = utf8(stored);
    return utf8.hasError() ? QFile::decodeName(stored) : path;
}

bool writeHystFile(const QByteArray& path)
{
    {
        QSaveFile f(QStringLiteral("hyst.dat"));
        if (f.open(QIODevice::WriteOnly)) {
            f.write(path);
            if (f.commit())
                return true;
        }
    }
    // No new file beside it (a folder the user cannot write to): rewrite an
    // existing hyst.dat in place, putting the old path back if that fails.
    QFile f(QStringLiteral("hyst.dat"));
    if (!f.exists() || !f.open(QIODevice::ReadWrite))
        return false;
    const QByteArray old = f.readAll();
    if (f.seek(0) && f.write(path) == path.size() && f.resize(path.size()) && f.flush())
        return true;
    f.seek(0);
    f.write(old);
    f.resize(old.size());
    return false;
}

QString workingFolderProblem()
{
    const QDir here = QDir::current();
    QStringList locked;
    for (const char* name : {"conf.dat", "hyst.dat", "history.csv"}) {
        const QFileInfo f(here.filePath(QLatin1String(name)));
        if (f.exists() && !(f.isFile() && f.isWritable()))
            locked << QLatin1String(name);
    }
    // A new file: what a first start, a replaced hyst.dat and trace.log need.
    QTemporaryFile probe(here.filePath(QStringLiteral(".tavelin-write-check-XXXXXX")));
    const bool canCreate = probe.open();
    if (locked.isEmpty() && canCreate)
        return QString();
    QString why = canCreate ? locked.join(QStringLiteral(", ")) + QStringLiteral(" read-only")
                            : QStringLiteral("no file can be made there (%1)").arg(probe.errorString());
    // A folder removed under the process has no path any more.
    const QString where = here.absolutePath().isEmpty()
                              ? QStringLiteral("the working folder")
                              : QStringLiteral("working folder ") + QDir::toNativeSeparators(here.absolutePath());
    return QStringLiteral("%1 cannot be written: %2; settings, the file chosen and the flash history are not "
                          "saved (start the tool in a folder you can write)")
        .arg(where, why);
}
