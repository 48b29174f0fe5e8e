#include "console.h"

#include <QJsonDocument>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace flash {

Console::Console(bool json, std::FILE* jsonOut) : json_(json), out_(jsonOut), bar_(isatty(fileno(stderr)) != 0) {}

void Console::clearBar()
{
    if (bar_shown_) {
        std::fputs("\r\033[K", stderr);
        bar_shown_ = false;
    }
}

void Console::drawBar()
{
    constexpr int kWidth = 30;
    const int filled = percent_ < 0 ? 0 : percent_ * kWidth / 100;
    std::fprintf(stderr, "\r\033[K[%s%s] %3d%% %s", QByteArray(filled, '#').constData(),
                 QByteArray(kWidth - filled, ' ').constData(), percent_ < 0 ? 0 : percent_, qPrintable(status_));
    std::fflush(stderr);
    bar_shown_ = true;
}

void Console::say(const QString& text)
{
    clearBar();
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
    if (percent_ >= 0 && bar_)
        drawBar();
}

void Console::stage(const char* name)
{
    json("stage", {{"stage", QString::fromLatin1(name)}});
}

void Console::status(const QString& text)
{
    status_ = text;
    if (bar_ && percent_ >= 0)
        drawBar();
    else
        say(text);
}

void Console::progress(int percent)
{
    if (percent == percent_)
        return;
    percent_ = percent;
    if (json_)
        json("progress", {{"percent", percent}});
    if (percent == 0) {
        // The run is over: the bar goes, as the window's drops to 0.
        clearBar();
        percent_ = reported_percent_ = -1;
        return;
    }
    if (bar_) {
        drawBar();
    } else if (percent / 10 != reported_percent_ / 10 || percent == 100) {
        reported_percent_ = percent;
        std::fprintf(stderr, "%d%%\n", percent);
        std::fflush(stderr);
    }
}

void Console::json(const char* event, QJsonObject fields)
{
    if (!json_ || !out_)
        return;
    fields.insert(QStringLiteral("event"), QString::fromLatin1(event));
    std::fprintf(out_, "%s\n", QJsonDocument(fields).toJson(QJsonDocument::Compact).constData());
    std::fflush(out_);
}

}  // namespace flash
