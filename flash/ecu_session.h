// One ECU in front of tavelin-flash: its capture, identification, file check
// and programming run, on the same capture, readout, image and run as the
// window, with this program's face on them.
#ifndef TAVELIN_FLASH_ECU_SESSION_H
#define TAVELIN_FLASH_ECU_SESSION_H

#include <QString>
#include <cstdint>

#include "console.h"
#include "exchange.h"
#include "flash_history.h"
#include "options.h"
#include "programming_run.h"
#include "readout.h"
#include "update_image.h"

namespace flash {

struct BusSettings {
    int bitrate = 250;
    uint8_t address = 0x22;
    int blockIntervalMs = 100;
};

class EcuSession : private RunFace {
public:
    EcuSession(const Options& options, const BusSettings& bus, Console& console, FlashHistory& history);
    // Each returns 0 to go on, or the exit status the ECU's attempt ends with.
    int capture();
    int identify();
    int checkFile();
    int program();
    // The result line (JSON) and, for an ECU that was identified but not
    // programmed, its history line.
    void finish(int status);

private:
    const Options& options_;
    const BusSettings bus_;
    Console& console_;
    FlashHistory& history_;
    exchange::Exchanger exchanger_;
    Readout readout_{exchanger_};
    UpdateImage image_;
    ProgrammingRun run_{exchanger_, *this};
    bool identified_ = false;
    bool recorded_ = false;
    QString message_;     // why the attempt ended, for the result line
    QString run_status_;  // the run's last status text
    int tick_ms_ = 100;
    bool run_over_ = false;
    RunFace::End run_end_ = RunFace::End::Completed;
    int last_stage_ = -1;

    int fail(int status, const QString& message);
    bool powerOff();
    void record();

    void runStatus(const QString& text) override;
    void runProgress(int percent) override;
    void runBlockWritten(int percent) override;
    void runTickInterval(int ms) override;
    int runAsk(const QString& text, bool okCancel) override;
    void runEnded(End how) override;
};

}  // namespace flash

#endif
