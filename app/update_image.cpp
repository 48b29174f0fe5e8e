#include "update_image.h"

#include <QCryptographicHash>
#include <QFile>

#include "ecu_identity.h"
#include "regular_file.h"

QString UpdateImage::loadText(Load outcome)
{
    switch (outcome) {
    case Load::Loaded: return QStringLiteral("File successfully loaded");
    case Load::CannotOpen: return QStringLiteral("Cannot open selected file");
    case Load::ShortFirstLine: return QStringLiteral("Formato file non corretto");
    case Load::BadFormat: return QStringLiteral("Uncorrect file format");
    case Load::CriticalError: return QStringLiteral("Critical error");
    case Load::CorruptedFile: return QStringLiteral("Corrupted file");
    }
    return QString();
}

void UpdateImage::drop()
{
    freeSectors();
    loaded_ = false;
    total_ = 0;
    path_.clear();
    size_ = -1;
    sha256_.clear();
}

UpdateImage::Load UpdateImage::loadContent(const QString& path, const QByteArray& content, uint16_t blockLength)
{
    drop();
    switch (parseUpdateFile(content.constData(), static_cast<std::size_t>(content.size()), blockLength, first_,
                            last_, total_, checksum_, hw_compatibility_)) {
    case LoadOutcome::Loaded: break;
    case LoadOutcome::ShortFirstLine: return Load::ShortFirstLine;
    case LoadOutcome::BadFormat: return Load::BadFormat;
    case LoadOutcome::CriticalError: return Load::CriticalError;
    case LoadOutcome::CorruptedFile: return Load::CorruptedFile;
    }
    loaded_ = true;
    path_ = path;
    size_ = content.size();
    sha256_ = QCryptographicHash::hash(content, QCryptographicHash::Sha256);
    return Load::Loaded;
}

UpdateImage::Load UpdateImage::load(const QString& path, uint16_t blockLength)
{
    drop();
    QFile file;
    if (!openRegularFile(path, file))
        return Load::CannotOpen;
    return loadContent(path, file.readAll(), blockLength);
}

bool UpdateImage::fits(uint32_t hwId, bool moreThanOneEcu) const
{
    return hwId == hw_compatibility_ && hwId != EcuIdentity::kUnknownHwId && !moreThanOneEcu;
}

bool UpdateImage::stillAsLoaded() const
{
    QFile file;
    if (size_ < 0 || !openRegularFile(path_, file))
        return false;
    const QByteArray content = file.readAll();
    return content.size() == size_ && QCryptographicHash::hash(content, QCryptographicHash::Sha256) == sha256_;
}

UpdateImage::Refusal UpdateImage::refusal(uint16_t blockLength, QString* refusalText, uint32_t* longest) const
{
    if (total_ == 0) {
        if (refusalText)
            *refusalText = QStringLiteral("The update file holds no data to program.");
        return Refusal::NoData;
    }
    for (const sector_T* s = first_; s; s = s->next) {
        if (s->len > blockLength) {
            if (refusalText)
                *refusalText = QStringLiteral("The update file holds a block of %1 bytes, longer than the ECU accepts (%2 bytes).")
                                   .arg(s->len).arg(blockLength);
            if (longest)
                *longest = s->len;
            return Refusal::BlockTooLong;
        }
    }
    return Refusal::None;
}

uint32_t UpdateImage::blockCount() const
{
    uint32_t n = 0;
    for (const sector_T* s = first_; s; s = s->next)
        n += s->len != 0;
    return n;
}
