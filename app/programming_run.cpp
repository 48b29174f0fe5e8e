#include "programming_run.h"

#include "run_logs.h"

#include <cstring>
#include <initializer_list>

namespace {

constexpr int kMaxErasePolls = 25;
constexpr int kMaxRejectedKeys = 3;
constexpr int kStepIntervalMs = 100;

KWP_msg_T request(uint8_t sid, std::initializer_list<uint8_t> params)
{
    KWP_msg_T m;
    m.SID = sid;
    m.len = static_cast<uint32_t>(1 + params.size());
    int i = 0;
    for (uint8_t b : params)
        m.payload[i++] = b;
    return m;
}

const sector_T* firstWithData(const sector_T* s)
{
    while (s && s->len == 0)
        s = s->next;
    return s;
}

}  // namespace

void ProgrammingRun::securityKey(const unsigned char* seed, unsigned char* key)
{
    key[0] = static_cast<unsigned char>(~seed[1]);
    key[1] = static_cast<unsigned char>(~seed[0]);
    key[2] = 0;
    key[3] = 0;
    key[4] = 0;
}

void ProgrammingRun::begin(const UpdateImage& image, const EcuIdentity& identity, int blockIntervalMs)
{
    image_ = &image;
    identity_ = &identity;
    block_interval_ms_ = blockIntervalMs;
    in_progress_ = true;
    fase_ = aborted_at_ = SeedRequest;
    rep_ = 0;
    rejected_keys_ = 0;
    sector_ = nullptr;
    success_ = false;
    started_ = QDateTime::currentDateTime();
    clock_.start();
    outcome_.clear();
    seconds_ = 0;
    bytes_ = blocks_ = 0;
    bus_log_.clear();
    log_started_ = false;
}

void ProgrammingRun::noteOutcome(const QString& text)
{
    outcome_ = text;
    seconds_ = clock_.isValid() ? clock_.elapsed() / 1000.0 : 0;
}

void ProgrammingRun::end()
{
    if (log_started_)
        runlogs::stop();
    log_started_ = false;
    in_progress_ = false;
    fase_ = SeedRequest;
    rep_ = 0;
}

ProgrammingRun::Stage ProgrammingRun::stage() const
{
    uint8_t f = fase_;
    if (f == AbortReport)
        f = aborted_at_;
    switch (f) {
    case SeedRequest:
    case KeySend: return Stage::Security;
    case SessionOpen: return Stage::Session;
    case EraseStart:
    case ErasePoll:
    case EraseErrorReport:
    case EraseTimeoutReport: return Stage::Erase;
    case DownloadRequest:
    case TransferPreparation:
    case BlockTransfer:
    case TransferExit: return Stage::Transfer;
    case ChecksumStart:
    case ChecksumPoll: return Stage::Checksum;
    default: return Stage::Outcome;
    }
}

FlashRecord ProgrammingRun::record(uint8_t ecuAddress) const
{
    FlashRecord r;
    r.started = started_;
    r.outcome = outcome_;
    r.ecuAddress = ecuAddress;
    if (identity_) {
        r.hwId = identity_->items[0].trimmed();
        r.hwVersion = identity_->items[1].trimmed();
        r.interfaceVersion = identity_->items[2].trimmed();
        r.bootVersion = identity_->items[3].trimmed();
        r.appCode = identity_->items[4].trimmed();
        r.appVersion = identity_->items[5].trimmed();
        r.blockLength = identity_->blockLength;
    }
    if (image_) {
        r.file = image_->path();
        r.fileHwId = static_cast<int32_t>(image_->hwCompatibility());
        r.checksum[0] = image_->checksum()[0];
        r.checksum[1] = image_->checksum()[1];
        r.fileSha256 = image_->sha256();
    }
    r.bytes = bytes_;
    r.blocks = blocks_;
    r.seconds = seconds_;
    r.busLog = bus_log_;
    return r;
}

// One exchange; true only for the request's own positive answer (one that
// repeats the security access mode, the routine or the session) that carries
// at least minLen bytes, service byte included. A late answer to an earlier
// attempt (a seed that came after its request timed out) is passed over while
// this request's answer is awaited.
bool ProgrammingRun::exchange(KWP_msg_T req, uint32_t timeoutMs, uint32_t minLen)
{
    answer_.SID = 0;
    answer_.len = 0;
    result_ = exchanger_.exchange(req, answer_, timeoutMs);
    return result_ == 0 && answer_.len >= minLen;
}

// Every text of the run ends it, so none may be lost: while the face cannot
// show it, the run stays in the text's state and a later step shows it.
int ProgrammingRun::ask(const QString& text, bool okCancel)
{
    noteOutcome(text);
    return face_.runAsk(text, okCancel);
}

void ProgrammingRun::finish(RunFace::End how)
{
    ended_at_ = stage();
    fase_ = SeedRequest;
    rep_ = 0;
    face_.runEnded(how);
}

void ProgrammingRun::abortRun()
{
    if (fase_ != AbortReport)
        aborted_at_ = fase_;
    fase_ = AbortReport;
    if (ask(QStringLiteral("Operation aborted"), false) == RunFace::kDeferred)
        return;
    finish(RunFace::End::Aborted);
}

// An erase that failed or timed out: the text, then the run stops at the seed
// request, for a retry after a power cycle.
void ProgrammingRun::eraseEnds(Fase report)
{
    fase_ = report;
    rep_ = 0;
    const QString text =
        report == EraseErrorReport
            ? QStringLiteral("Error during memory erase. Please turn off and on the ECU and try to repeat the procedure.")
            : QStringLiteral("Timeout during memory erase. Please turn the ECU off and on and retry.");
    if (ask(text, false) == RunFace::kDeferred)
        return;
    finish(RunFace::End::EraseFailed);
}

void ProgrammingRun::resetEcu()
{
    exchange(request(0x11, {}), 200, 1);  // the ECU may restart before it answers
}

void ProgrammingRun::step()
{
    // The run's bus log starts with its first request and ends with the
    // run, the ECU's restart after the outcome included. A run that never
    // steps (a refusal recorded as such) has none.
    if (!log_started_) {
        log_started_ = true;
        bus_log_ = runlogs::start(started_, identity_ ? identity_->items[0].trimmed() : QString());
    }
    // More than one ECU answered in the step before: the exchanger has sent
    // nothing since, and the run ends before anything more is sent.
    if (exchanger_.moreThanOneEcu() && fase_ <= ChecksumPoll) {
        noteOutcome(QStringLiteral("More than one ECU is answering"));
        finish(RunFace::End::MoreThanOneEcu);
        return;
    }

    if (fase_ == AbortReport || rep_ > 3) {
        abortRun();
        return;
    }
    ++rep_;

    switch (fase_) {
    case SeedRequest:
        if (exchange(request(0x27, {0x01}), 200, 4)) {
            securityKey(&answer_.payload[1], key_);
            fase_ = KeySend;
            rep_ = 0;
        }
        break;
    case KeySend:
        if (exchange(request(0x27, {0x02, key_[0], key_[1], key_[2], key_[3], key_[4]}), 200, 2)) {
            face_.runStatus(QStringLiteral("Security access completed"));
            fase_ = SessionOpen;
            rep_ = 0;
        } else if (result_ > 0) {
            // Every key is computed from a fresh seed; an ECU that rejects
            // them all ends the run instead of alternating for ever.
            fase_ = SeedRequest;
            if (++rejected_keys_ >= kMaxRejectedKeys) {
                fase_ = KeySend;  // the stage that gave up
                abortRun();
            }
        }
        break;
    case SessionOpen:
        if (exchange(request(0x10, {0x85}), 200, 1)) {
            face_.runStatus(QStringLiteral("Programming session opened"));
            fase_ = EraseStart;
            rep_ = 0;
        }
        break;
    case EraseStart:
        if (exchange(request(0x31, {0x10}), 200, 1)) {
            face_.runStatus(QStringLiteral("Erasing memory..."));
            face_.runProgress(1);
            fase_ = ErasePoll;
            rep_ = 0;
            erase_polls_ = 0;
        }
        break;
    case ErasePoll:
        ++erase_polls_;
        if (exchange(request(0x33, {0x10}), 1000, 3)) {
            if (answer_.payload[1] == 0) {
                face_.runStatus(QStringLiteral("Memory erased"));
                face_.runProgress(10);
                fase_ = DownloadRequest;
            } else {
                eraseEnds(EraseErrorReport);
            }
        } else if (result_ != 0x23 && result_ != exchange::kMoreThanOneEcu && erase_polls_ > kMaxErasePolls) {
            eraseEnds(EraseTimeoutReport);
        }
        rep_ = 0;
        break;
    case EraseErrorReport:
    case EraseTimeoutReport:
        eraseEnds(static_cast<Fase>(fase_));
        break;
    case DownloadRequest:
        if (exchange(request(0x34, {}), 200, 1)) {
            fase_ = TransferPreparation;
            rep_ = 0;
        }
        break;
    case TransferPreparation:
        written_ = 0;
        sector_ = firstWithData(image_->sectors());
        face_.runStatus(QStringLiteral("Downloading..."));
        fase_ = sector_ ? BlockTransfer : TransferExit;
        // The block transfers (and their retries) tick at the configured
        // interval: the ECU answers each block once it is written, so the
        // next one may follow at once. Every other step keeps 100 ms; the
        // erase and checksum polls count 100 ms ticks.
        if (fase_ == BlockTransfer)
            face_.runTickInterval(block_interval_ms_);
        break;
    case BlockTransfer: {
        KWP_msg_T req;
        req.SID = 0x36;
        req.len = sector_->len + 5;
        req.payload[0] = static_cast<uint8_t>(sector_->start_address);
        req.payload[1] = static_cast<uint8_t>(sector_->start_address >> 8);
        req.payload[2] = static_cast<uint8_t>(sector_->start_address >> 16);
        req.payload[3] = static_cast<uint8_t>(sector_->start_address >> 24);
        std::memcpy(&req.payload[4], sector_->sector_payload, sector_->len);
        if (exchange(req, 3000, 1)) {
            written_ += sector_->len;
            bytes_ = written_;
            ++blocks_;
            const int progress =
                static_cast<int>(static_cast<uint64_t>(written_) * 80 / image_->totalLength() + 10);
            face_.runBlockWritten(progress);
            rep_ = 0;
            sector_ = firstWithData(sector_->next);
            if (!sector_) {
                fase_ = TransferExit;
                face_.runTickInterval(kStepIntervalMs);
            }
        }
        break;
    }
    case TransferExit:
        face_.runProgress(90);
        face_.runStatus(QStringLiteral("Download completed"));
        if (exchange(request(0x37, {}), 200, 1)) {
            fase_ = ChecksumStart;
            rep_ = 0;
        }
        break;
    case ChecksumStart:
        if (exchange(request(0x31, {0x20, image_->checksum()[0], image_->checksum()[1]}), 200, 1)) {
            face_.runStatus(QStringLiteral("Verifying checksum..."));
            face_.runProgress(91);
            fase_ = ChecksumPoll;
            rep_ = 0;
        }
        break;
    case ChecksumPoll:
        if (exchange(request(0x33, {0x20}), 200, 3)) {
            success_ = answer_.payload[1] == 0;
            face_.runStatus(success_ ? QStringLiteral("Checksum OK") : QStringLiteral("Checksum error"));
            face_.runProgress(100);
            fase_ = OutcomeReport;
            rep_ = 0;
        } else if (result_ == 0x23) {
            rep_ = 0;
        }
        break;
    case OutcomeReport: {
        rep_ = 0;
        const int answer =
            success_ ? ask(QStringLiteral("Programming succeeded. Press OK to start the application."), true)
                     : ask(QStringLiteral("WARNING! Update failed. Please verify the update file and try again."), false);
        if (answer == RunFace::kDeferred)
            break;  // shown at a later step
        fase_ = answer == RunFace::kOk ? EcuReset : RunEnd;
        break;
    }
    case EcuReset:
        resetEcu();
        fase_ = RunEnd;
        break;
    case RunEnd:
    default:
        finish(RunFace::End::Completed);
        break;
    }
}
