#include "ecu_session.h"

#include <QJsonObject>
#include <QProcess>
#include <chrono>
#include <cstdio>
#include <thread>

#include "capture.h"
#include "exit_status.h"
#include "interrupt.h"
#include "run_logs.h"

namespace flash {

namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Sleeps until ms after t, waking early for a signal.
void sleepUntil(Clock::time_point t, int64_t ms)
{
    while (!interrupted()) {
        const int64_t left = ms - msSince(t);
        if (left <= 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(left < 20 ? left : 20));
    }
}

// A power command through the platform's shell; its output goes where ours does.
void startCommand(QProcess& p, const QString& command)
{
    p.setProcessChannelMode(QProcess::ForwardedChannels);
#ifdef _WIN32
    p.start(QStringLiteral("cmd.exe"), {QStringLiteral("/c"), command});
#else
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
#endif
}

const char* stageName(ProgrammingRun::Stage s)
{
    switch (s) {
    case ProgrammingRun::Stage::Security: return "security";
    case ProgrammingRun::Stage::Session: return "session";
    case ProgrammingRun::Stage::Erase: return "erase";
    case ProgrammingRun::Stage::Transfer: return "transfer";
    case ProgrammingRun::Stage::Checksum: return "checksum";
    case ProgrammingRun::Stage::Outcome: return "restart";
    }
    return "run";
}

}  // namespace

EcuSession::EcuSession(const Options& options, const BusSettings& bus, Console& console, FlashHistory& history)
    : options_(options), bus_(bus), console_(console), history_(history)
{
    exchanger_.setIds(0x18DA00F9u | static_cast<uint32_t>(bus.address) << 8, 0x18DAF900u | bus.address);
}

int EcuSession::fail(int status, const QString& message)
{
    message_ = message;
    console_.say(message);
    return status;
}

bool EcuSession::powerOff()
{
    console_.say(QStringLiteral("Switching the ECU off: %1").arg(options_.powerOff));
    QProcess p;
    startCommand(p, options_.powerOff);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        p.kill();
        p.waitForFinished(5000);
        return false;
    }
    return true;
}

int EcuSession::capture()
{
    console_.stage("capture");
    if (options_.power == Options::Power::Prompt) {
        console_.say(QStringLiteral("Please turn the ECU off, then press Enter"));
        char line[256];
        if (!std::fgets(line, sizeof line, stdin) || interrupted())
            return interrupted() ? fail(kInterrupted, QStringLiteral("Interrupted before the capture"))
                                 : fail(kNoEcu, QStringLiteral("No answer at the terminal"));
        console_.say(QStringLiteral("Please turn the ECU on..."));
    } else if (options_.power == Options::Power::Commands && !options_.powerOff.isEmpty()) {
        if (!powerOff())
            return fail(kNoEcu, QStringLiteral("The power-off command failed: %1").arg(options_.powerOff));
    }
    if (options_.power != Options::Power::Prompt)
        console_.say(QStringLiteral("Waiting for communication..."));

    // Whatever ECU answers now is identified anew; answers are counted
    // afresh, for the ECUs on the bus from now on.
    readout_.identity().forget();
    exchanger_.reset();
    // The capture and the identification, in a bus log of their own.
    const QString captureLog = runlogs::start(QDateTime::currentDateTime(), QString());
    if (!captureLog.isEmpty())
        console_.say(QStringLiteral("Bus log: %1").arg(captureLog));
    QProcess powerOn;
    bool powerOnStarted = false;
    const Clock::time_point start = Clock::now();
    const int64_t limit = static_cast<int64_t>(options_.captureTimeoutS) * 1000;
    int64_t nextRequest = 0, nextPresence = capture::kPresenceIntervalMs;
    for (;;) {
        if (interrupted())
            return fail(kInterrupted, QStringLiteral("Interrupted during the capture"));
        if (msSince(start) >= limit)
            return fail(kNoEcu, QStringLiteral("No ECU answered within %1 s").arg(options_.captureTimeoutS));
        if (msSince(start) >= nextRequest) {
            capture::sendCaptureRequest();
            capture::sendAddressClaim();
            nextRequest += capture::kRequestIntervalMs;
            if (nextRequest < msSince(start))
                nextRequest = msSince(start) + capture::kRequestIntervalMs;  // periods missed are not made up
        }
        // The ECU powers up while capture requests go out.
        if (!powerOnStarted && options_.power == Options::Power::Commands && !options_.powerOn.isEmpty()) {
            console_.say(QStringLiteral("Switching the ECU on: %1").arg(options_.powerOn));
            startCommand(powerOn, options_.powerOn);
            powerOnStarted = true;
        }
        if (msSince(start) >= nextPresence) {
            if (capture::ecuPresent(exchanger_))
                break;
            nextPresence += capture::kPresenceIntervalMs;
        }
        sleepUntil(start, nextRequest < nextPresence ? nextRequest : nextPresence);
    }
    if (powerOnStarted && !powerOn.waitForFinished(10000))
        console_.say(QStringLiteral("The power-on command is still running; it is left to run"));
    console_.say(QStringLiteral("Bootloader active"));
    return 0;
}

int EcuSession::identify()
{
    console_.stage("identify");
    readout_.restart();
    Clock::time_point tick = Clock::now();
    for (;;) {
        if (interrupted())
            return fail(kInterrupted, QStringLiteral("Interrupted during the identification"));
        tick = Clock::now();
        if (readout_.step() == Readout::Step::Done)
            break;
        sleepUntil(tick, 10);
    }
    const EcuIdentity& id = readout_.identity();
    static const char* const kNames[EcuIdentity::kItems] = {"hw_id", "hw_version", "boot_interface",
                                                            "boot_version", "app_id", "app_version"};
    static const char* const kLabels[EcuIdentity::kItems] = {"HW ID", "HW version", "Bootloader interface",
                                                             "Bootloader version", "SW ID", "SW version"};
    QJsonObject fields;
    for (int i = 0; i < EcuIdentity::kItems; ++i) {
        console_.say(QStringLiteral("%1: %2").arg(QLatin1String(kLabels[i]), -21).arg(id.items[i]));
        fields.insert(QLatin1String(kNames[i]), id.items[i]);
    }
    console_.say(QStringLiteral("%1: %2").arg(QLatin1String("Block length"), -21).arg(id.blockLength));
    fields.insert(QStringLiteral("block_length"), id.blockLength);
    console_.json("identity", fields);
    if (exchanger_.moreThanOneEcu())
        return fail(kMoreThanOneEcu, QStringLiteral("More than one ECU is answering"));
    identified_ = true;
    if (id.items[0] == QLatin1String("n.a."))
        return fail(kIdentifyFailed, QStringLiteral("The ECU did not tell its hardware id"));
    return 0;
}

int EcuSession::checkFile()
{
    console_.stage("check");
    const EcuIdentity& id = readout_.identity();
    // Cut anew for this ECU's block length: the image checked and programmed
    // is the one read after this capture.
    const UpdateImage::Load loaded = image_.load(options_.file, id.blockLength);
    if (loaded != UpdateImage::Load::Loaded)
        return fail(kBadFile, QStringLiteral("%1: %2").arg(options_.file, UpdateImage::loadText(loaded)));
    if (!image_.fits(id.hwId, exchanger_.moreThanOneEcu()))
        return fail(kNoFit, QStringLiteral("The update file is for hardware id %1, not for this ECU (%2)")
                                .arg(static_cast<int32_t>(image_.hwCompatibility()))
                                .arg(id.items[0]));
    QString refusal;
    switch (image_.refusal(id.blockLength, &refusal)) {
    case UpdateImage::Refusal::None: break;
    case UpdateImage::Refusal::NoData: return fail(kBadFile, refusal);
    case UpdateImage::Refusal::BlockTooLong: return fail(kNoFit, refusal);
    }
    console_.say(QStringLiteral("File successfully loaded: %1 bytes in %2 blocks")
                     .arg(image_.totalLength())
                     .arg(image_.blockCount()));
    return 0;
}

int EcuSession::program()
{
    run_.begin(image_, readout_.identity(), bus_.blockIntervalMs);
    tick_ms_ = 100;
    run_over_ = false;
    last_stage_ = -1;
    while (!run_over_) {
        if (interrupted()) {
            // Stopped as a run that cannot go on: the ECU is asked to restart
            // (it stays in its bootloader when its image is incomplete).
            run_.noteOutcome(QStringLiteral("Interrupted by a signal during the run (status: %1)").arg(run_status_));
            run_.resetEcu();
            run_.end();
            record();
            console_.progress(0);
            return fail(kInterrupted, run_.outcome());
        }
        const int stage = static_cast<int>(run_.stage());
        if (stage != last_stage_) {
            last_stage_ = stage;
            console_.stage(stageName(run_.stage()));
        }
        const Clock::time_point tick = Clock::now();
        run_.step();
        if (!run_over_)
            sleepUntil(tick, tick_ms_);
    }
    run_.end();
    record();
    console_.progress(0);
    if (!run_.busLog().isEmpty())
        console_.say(QStringLiteral("Bus log: %1").arg(run_.busLog()));
    message_ = run_.outcome();
    switch (run_end_) {
    case End::MoreThanOneEcu: return kMoreThanOneEcu;
    case End::EraseFailed: return kEraseFailed;
    case End::Completed: return run_.succeeded() ? kProgrammed : kChecksumRejected;
    case End::Aborted: break;
    }
    switch (run_.endedAt()) {
    case ProgrammingRun::Stage::Security:
    case ProgrammingRun::Stage::Session: return kSecurityRefused;
    case ProgrammingRun::Stage::Erase: return kEraseFailed;
    case ProgrammingRun::Stage::Checksum: return kChecksumRejected;
    default: return kTransferFailed;
    }
}

void EcuSession::record()
{
    history_.append(run_.record(bus_.address));
    recorded_ = true;
}

void EcuSession::finish(int status)
{
    if (identified_ && !recorded_ && !options_.identify) {
        // An ECU identified but not programmed (a refusal, an interruption)
        // has its line too: a run that sent nothing, with the reason.
        run_.begin(image_, readout_.identity(), bus_.blockIntervalMs);
        run_.noteOutcome(message_);
        run_.end();
        record();
    }
    const EcuIdentity& id = readout_.identity();
    // An identification alone that succeeded is "identified", not "programmed".
    const QString outcome = options_.identify && status == kProgrammed ? QStringLiteral("identified")
                                                                       : QString::fromLatin1(outcomeName(status));
    QJsonObject r{{"outcome", outcome},
                  {"status", status},
                  {"message", message_},
                  {"hw_id", id.items[0]},
                  {"hw_version", id.items[1]},
                  {"boot_interface", id.items[2]},
                  {"boot_version", id.items[3]},
                  {"app_id", id.items[4]},
                  {"app_version", id.items[5]},
                  {"block_length", id.blockLength},
                  {"file", options_.file},
                  {"bytes", static_cast<qint64>(run_.bytes())},
                  {"blocks", static_cast<qint64>(run_.blocks())},
                  {"seconds", run_.seconds()},
                  {"bus_log", run_.busLog()}};
    console_.json("result", r);
}

void EcuSession::runStatus(const QString& text)
{
    run_status_ = text;
    console_.status(text);
}

void EcuSession::runProgress(int percent)
{
    console_.progress(percent);
}

void EcuSession::runBlockWritten(int percent)
{
    console_.progress(percent);
}

void EcuSession::runTickInterval(int ms)
{
    tick_ms_ = ms;
}

int EcuSession::runAsk(const QString& text, bool)
{
    // Nobody to ask: the text is said, and Ok starts the application.
    console_.say(text);
    return kOk;
}

void EcuSession::runEnded(End how)
{
    run_over_ = true;
    run_end_ = how;
}

}  // namespace flash
