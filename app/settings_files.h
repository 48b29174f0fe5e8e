// The two small files in the working directory: "conf.dat" (bit rate and
// ECU address) and "hyst.dat" (the update file chosen last).
#ifndef TAVELIN_SETTINGS_FILES_H
#define TAVELIN_SETTINGS_FILES_H

#include <QByteArray>
#include <QString>
#include <cstdint>

struct Settings {
    int baudrate = 250;      // kbit/s
    uint8_t ecuAddress = 0x22;
    int blockIntervalMs = 100;  // sequence tick between block transfers
    // The address line named FF (every node hears it) or F9 (the tool's
    // own address): refused, the default address is used.
    int refusedAddress = -1;
};

// Parses the lines of "conf.dat": a decimal bit rate, a hexadecimal address
// (either case, optional 0x; its low 8 bits are used) and, optionally, the
// interval between block transfers in ms (a whole number 0 to 100).
// A line that is missing or holds no number keeps that value's default; a
// third line out of range or with anything but the number gives 100. An
// address of FF or F9 is refused like a line without a number.
Settings parseConf(const QByteArray& content);
// The bit rates the window accepts; any other becomes 250 for the run.
int checkedBaudrate(int kbit);
// What a missing "conf.dat" is created with: "250\n22\n".
QByteArray defaultConfContent();

// Reads "conf.dat" in the current directory, creating it with the defaults
// when it is missing (the file is never rewritten otherwise).
Settings readConfFile();

// The stored path of "hyst.dat": its whole content when 1 to 499 bytes,
// otherwise none (a longer content would be a cut path).
QByteArray pathFromHystory(const QByteArray& content, bool readOk);
QByteArray readHystFile();
// The path as hyst.dat stores it: UTF-8, so that any path survives on every
// platform. A file written by an older version in Windows' 8-bit code page is
// no valid UTF-8 (outside ASCII) and reads back in that code page.
QByteArray hystEncode(const QString& path);
QString hystDecode(const QByteArray& stored);
// Replaces "hyst.dat" whole, or leaves it as it was when that fails. In a
// folder where no new file can be made beside it, an existing writable
// "hyst.dat" is rewritten in place (and restored if that write fails).
bool writeHystFile(const QByteArray& path);

// Empty when the tool can keep its files in the current directory; else
// the line the trace gives: which files cannot be written there, and why.
// The folder must take a new file, and conf.dat, hyst.dat and history.csv,
// where they exist, must be writable.
QString workingFolderProblem();

#endif
