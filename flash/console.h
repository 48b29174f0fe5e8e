// What tavelin-flash tells: progress for a person on standard error (a bar on
// a terminal, plain lines otherwise) and, with --json, one JSON object per
// line on its own standard output.
#ifndef TAVELIN_FLASH_CONSOLE_H
#define TAVELIN_FLASH_CONSOLE_H

#include <QJsonObject>
#include <QString>
#include <cstdio>

namespace flash {

class Console {
public:
    Console(bool json, std::FILE* jsonOut);
    // A line for the person.
    void say(const QString& text);
    // A stage begins: "capture", "identify", "check", "security", ...
    void stage(const char* name);
    // The action bar's text.
    void status(const QString& text);
    void progress(int percent);
    // One JSON line (with --json); event names the object.
    void json(const char* event, QJsonObject fields);

private:
    bool json_;
    std::FILE* out_;
    bool bar_;  // standard error is a terminal
    bool bar_shown_ = false;
    int percent_ = -1;
    int reported_percent_ = -1;
    QString status_;
    void clearBar();
    void drawBar();
};

}  // namespace flash

#endif
