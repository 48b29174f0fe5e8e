// The programming run: security access, programming session, erase,
// block-wise download, checksum check and restart, one step per tick of its
// face's timer. The face (the window, the console program) shows what the
// run reports and answers the texts that end it.
#ifndef TAVELIN_PROGRAMMING_RUN_H
#define TAVELIN_PROGRAMMING_RUN_H

#include <QDateTime>
#include <QElapsedTimer>
#include <QString>
#include <cstdint>

#include "ecu_identity.h"
#include "exchange.h"
#include "flash_history.h"
#include "update_image.h"

class RunFace {
public:
    // runAsk's answers.
    static constexpr int kOk = 1;
    static constexpr int kCancel = 2;
    static constexpr int kDeferred = -1;  // cannot be shown now: asked again at a later step

    enum class End {
        MoreThanOneEcu,  // a second ECU answered; nothing more was sent
        Aborted,         // "Operation aborted" was answered
        EraseFailed,     // the erase error or time-out was answered
        Completed,       // the checksum's outcome was answered (and the ECU restarted on Ok)
    };

    virtual ~RunFace() = default;
    virtual void runStatus(const QString& text) = 0;
    virtual void runProgress(int percent) = 0;
    // A block was acknowledged; percent is the run's progress after it.
    virtual void runBlockWritten(int percent) = 0;
    // The interval between steps from now on.
    virtual void runTickInterval(int ms) = 0;
    // A text that ends the run, with Ok (and Cancel when okCancel): kOk,
    // kCancel, or kDeferred.
    virtual int runAsk(const QString& text, bool okCancel) = 0;
    virtual void runEnded(End how) = 0;
};

class ProgrammingRun {
public:
    // Where the run stands, for a face that names the stage that failed.
    enum class Stage { Security, Session, Erase, Transfer, Checksum, Outcome };

    ProgrammingRun(exchange::Exchanger& exchanger, RunFace& face) : exchanger_(exchanger), face_(face) {}

    // The key an ECU expects for seed.
    static void securityKey(const unsigned char* seed, unsigned char* key);

    // A run of image into the ECU identified as identity starts at the seed
    // request; blockIntervalMs is the tick between block transfers.
    void begin(const UpdateImage& image, const EcuIdentity& identity, int blockIntervalMs);
    bool inProgress() const { return in_progress_; }
    // One step. The face calls it at each tick of its timer, never while a
    // step is in progress.
    void step();
    // The run is over: at its face's runEnded, or for the face's own reason
    // (a closed window, a signal; noteOutcome first). Nothing is sent.
    void end();
    // Asks the ECU to restart (it may restart before it answers).
    void resetEcu();

    // The text that ended the run (empty while none has) and its duration,
    // taken when the text was noted, so that the time a box waits for its
    // answer does not count.
    void noteOutcome(const QString& text);
    const QString& outcome() const { return outcome_; }
    // The stage the run is in, and the one it was in when it ended.
    Stage stage() const;
    Stage endedAt() const { return ended_at_; }
    bool succeeded() const { return success_; }
    uint32_t bytes() const { return bytes_; }
    uint32_t blocks() const { return blocks_; }
    double seconds() const { return seconds_; }
    // The history line of this run.
    FlashRecord record(uint8_t ecuAddress) const;
    // The run's bus log, relative to the working directory (empty: none).
    const QString& busLog() const { return bus_log_; }

private:
    enum Fase : uint8_t {
        SeedRequest,
        KeySend,
        SessionOpen,
        EraseStart,
        ErasePoll,
        DownloadRequest,
        TransferPreparation,
        BlockTransfer,
        TransferExit,
        ChecksumStart,
        ChecksumPoll,
        OutcomeReport,
        EcuReset,
        RunEnd,
        // A text that ends the run, waiting to be shown.
        AbortReport,
        EraseErrorReport,
        EraseTimeoutReport,
    };

    exchange::Exchanger& exchanger_;
    RunFace& face_;
    const UpdateImage* image_ = nullptr;
    const EcuIdentity* identity_ = nullptr;
    int block_interval_ms_ = 100;

    bool in_progress_ = false;
    uint8_t fase_ = SeedRequest;
    uint8_t aborted_at_ = SeedRequest;  // the step that gave up, for stage()
    Stage ended_at_ = Stage::Security;
    int rep_ = 0;
    int erase_polls_ = 0;
    int rejected_keys_ = 0;  // a run gives up after three rejected keys
    uint32_t written_ = 0;
    const sector_T* sector_ = nullptr;
    uint8_t key_[5] = {};
    bool success_ = false;

    QDateTime started_;
    QElapsedTimer clock_;
    QString outcome_;
    double seconds_ = 0;
    uint32_t bytes_ = 0, blocks_ = 0;
    QString bus_log_;  // relative to the working directory; empty when none
    bool log_started_ = false;

    KWP_msg_T answer_;
    int result_ = 0;
    bool exchange(KWP_msg_T request, uint32_t timeoutMs, uint32_t minLen);
    int ask(const QString& text, bool okCancel);
    void finish(RunFace::End how);
    void abortRun();
    void eraseEnds(Fase report);
};

#endif
