#include "pc_check.h"

#include <QDir>
#include <QJsonObject>
#include <chrono>
#include <thread>

#include "PCANBasic.h"
#include "brivex.h"
#include "exit_status.h"
#include "settings_files.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace flash {

namespace {

// Where the adapter library was loaded from.
QString libraryPath()
{
#ifdef _WIN32
    HMODULE module = ::GetModuleHandleW(L"PCANBasic.dll");
    wchar_t path[MAX_PATH];
    if (!module || ::GetModuleFileNameW(module, path, MAX_PATH) == 0)
        return QString();
    return QString::fromWCharArray(path);
#else
    Dl_info info;
    if (::dladdr(reinterpret_cast<void*>(&CAN_Initialize), &info) == 0 || !info.dli_fname)
        return QString();
    return QString::fromLocal8Bit(info.dli_fname);
#endif
}

// The longest and the mean time a 1 ms sleep takes, over a second.
void sleepResolution(double& meanMs, double& maxMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    int sleeps = 0;
    maxMs = 0;
    while (Clock::now() - start < std::chrono::seconds(1)) {
        const Clock::time_point t = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
        if (ms > maxMs)
            maxMs = ms;
        ++sleeps;
    }
    meanMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / sleeps;
}

}  // namespace

int checkPc(const BusSettings& bus, Console& console)
{
    bool ok = true;
    QJsonObject report;

    const QString library = libraryPath();
    char version[256] = {};
    const bool versionKnown = CAN_GetValue(PCAN_NONEBUS, PCAN_API_VERSION, version, sizeof version) == PCAN_ERROR_OK;
    console.say(QStringLiteral("adapter library: %1 (API version %2)")
                    .arg(library.isEmpty() ? QStringLiteral("not found") : library,
                         versionKnown ? QString::fromLatin1(version) : QStringLiteral("not reported")));
    report.insert(QStringLiteral("library"), library);
    report.insert(QStringLiteral("api_version"), versionKnown ? QString::fromLatin1(version) : QString());
    ok = ok && !library.isEmpty();

    if (InitHWInterface(bus.bitrate, bus.address) == 0) {
        char status[100] = {};
        const bool busOk = GetHWInterfaceStatus(status) == 0;
        console.say(QStringLiteral("channel: connected at %1 kbit/s, bus state %2%3")
                        .arg(bus.bitrate)
                        .arg(QString::fromLatin1(status), busOk ? QString() : QStringLiteral(" (not OK)")));
        report.insert(QStringLiteral("channel"), QStringLiteral("connected"));
        report.insert(QStringLiteral("bus_state"), QString::fromLatin1(status));
        ok = ok && busOk;
        ReleaseHWInterface();
    } else {
        console.say(QStringLiteral("channel: cannot connect at %1 kbit/s (adapter missing, in use, or the bus unreachable)")
                        .arg(bus.bitrate));
        report.insert(QStringLiteral("channel"), QStringLiteral("unavailable"));
        ok = false;
    }

    double mean = 0, longest = 0;
    sleepResolution(mean, longest);
    const bool timerOk = mean < 3.0;
    console.say(QStringLiteral("timer: a 1 ms sleep takes %1 ms on average, %2 ms at most%3")
                    .arg(mean, 0, 'f', 2)
                    .arg(longest, 0, 'f', 2)
                    .arg(timerOk ? QString() : QStringLiteral(" (too coarse for short block intervals)")));
    report.insert(QStringLiteral("sleep_mean_ms"), mean);
    report.insert(QStringLiteral("sleep_max_ms"), longest);
    ok = ok && timerOk;

    // The window's own check: a new file can be made, and the files the
    // tool keeps there, where they exist, can be written.
    const QString problem = workingFolderProblem();
    const bool writable = problem.isEmpty();
    console.say(writable ? QStringLiteral("working folder: %1 writable").arg(QDir::toNativeSeparators(QDir::currentPath()))
                         : QStringLiteral("working folder: NOT writable: %1").arg(problem));
    report.insert(QStringLiteral("folder"), QDir::currentPath());
    report.insert(QStringLiteral("folder_writable"), writable);
    ok = ok && writable;

    console.say(ok ? QStringLiteral("all well") : QStringLiteral("something needs attention (see above)"));
    report.insert(QStringLiteral("ok"), ok);
    console.json("check", report);
    return ok ? 0 : kCheckFailed;
}

}  // namespace flash
