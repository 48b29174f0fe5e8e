// The flash history: one CSV line per programming run, appended to
// "history.csv" in the working directory, so that a technician keeps a record
// of what was programmed into which ECU and how the run ended.
#ifndef TAVELIN_FLASH_HISTORY_H
#define TAVELIN_FLASH_HISTORY_H

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <utility>

struct FlashRecord {
    QDateTime started;  // when Update was pressed
    QString outcome;    // the text of the box (or the status) that ended the run
    uint8_t ecuAddress = 0;
    // The identification as the window shows it.
    QString hwId, hwVersion, bootVersion, interfaceVersion, appCode, appVersion;
    QString file;              // the update file that was loaded
    int32_t fileHwId = 0;      // shown as the window shows it (signed)
    uint8_t checksum[2] = {};  // the two bytes the ECU was asked to verify
    uint32_t bytes = 0;        // bytes the ECU acknowledged
    uint32_t blocks = 0;       // transfer requests the ECU acknowledged
    uint32_t blockLength = 0;  // the ECU's largest block
    double seconds = 0;        // from Update to the outcome
    QByteArray fileSha256;     // SHA-256 of the file's bytes as loaded and checked (32 bytes)
    QString busLog;            // the run's bus log, relative to the working directory
};

// Local time with its UTC offset, to the second: 2026-12-09T03:01:02+01:00.
QString isoLocalTime(const QDateTime& t);
// One CSV field in UTF-8, quoted (with quotes doubled) when it holds a comma,
// a quote or a line break.
QByteArray csvField(const QString& s);
QByteArray historyHeader();  // the column names, ending in a line feed
QByteArray historyLine(const FlashRecord& r);

// Appends records to one file; the file is opened for each line, the header
// written first when the file is new or empty, and the line flushed to disk
// before it returns. Earlier lines are never touched. A failure is reported
// once, in one line on standard error, and never stops the caller.
class FlashHistory {
public:
    explicit FlashHistory(QString path) : path_(std::move(path)) {}
    bool append(const FlashRecord& r);
    const QString& path() const { return path_; }

private:
    QString path_;
    bool warned_ = false;
};

#endif
