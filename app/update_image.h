// The update image held for programming: the sector list cut from an *.hx1
// file for one ECU's block length, the file's header values, and the content
// it was loaded from, with the checks made before a run.
#ifndef TAVELIN_UPDATE_IMAGE_H
#define TAVELIN_UPDATE_IMAGE_H

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "update_file.h"

class UpdateImage {
public:
    enum class Load { Loaded, CannotOpen, ShortFirstLine, BadFormat, CriticalError, CorruptedFile };
    enum class Refusal { None, NoData, BlockTooLong };

    UpdateImage() = default;
    UpdateImage(const UpdateImage&) = delete;
    UpdateImage& operator=(const UpdateImage&) = delete;
    ~UpdateImage() { drop(); }

    // The message a failed load shows ("Cannot open selected file", ...).
    static QString loadText(Load outcome);

    // Drops what is held, then parses content (read from path) cut for
    // blockLength. After a failure nothing is held.
    Load loadContent(const QString& path, const QByteArray& content, uint16_t blockLength);
    // Opens path (a regular file only), reads and loads it.
    Load load(const QString& path, uint16_t blockLength);
    // Frees the sector list only.
    void freeSectors() { freeSectorList(first_, last_); }
    // Nothing is held: the sector list is freed and the file's values cleared.
    void drop();

    bool loaded() const { return loaded_; }
    // The file is meant for the ECU with this hardware id. An identifier of
    // all ones is what an ECU without a programmed identifier reports: it
    // matches no file. With more than one ECU answering, the id read is
    // nobody's in particular.
    bool fits(uint32_t hwId, bool moreThanOneEcu) const;
    // The file still holds the content loaded (size and SHA-256).
    bool stillAsLoaded() const;
    // Why this image must not be programmed into an ECU that takes blocks of
    // up to blockLength bytes (the erase would leave it empty); the text
    // the window shows in refusalText.
    Refusal refusal(uint16_t blockLength, QString* refusalText = nullptr, uint32_t* longest = nullptr) const;

    sector_T* sectors() const { return first_; }
    uint32_t totalLength() const { return total_; }
    uint32_t blockCount() const;  // sectors with data
    const uint8_t* checksum() const { return checksum_; }
    uint32_t hwCompatibility() const { return hw_compatibility_; }
    const QString& path() const { return path_; }
    // SHA-256 of the file's bytes as loaded (32 bytes; empty when none is).
    const QByteArray& sha256() const { return sha256_; }

private:
    sector_T* first_ = nullptr;
    sector_T* last_ = nullptr;
    uint32_t total_ = 0;
    bool loaded_ = false;
    uint8_t checksum_[10] = {};
    uint32_t hw_compatibility_ = 0;
    QString path_;
    qint64 size_ = -1;
    QByteArray sha256_;
};

#endif
