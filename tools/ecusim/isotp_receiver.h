// The bench ECU's side of ISO 15765-2: reassembles the tester's requests,
// answers first frames with flow control, and reports every frame that breaks
// the framing rules the tester must keep.
#ifndef TAVELIN_ISOTP_RECEIVER_H
#define TAVELIN_ISOTP_RECEIVER_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ecusim {

using Frame8 = std::array<uint8_t, 8>;

struct TransportConfig {
    uint8_t blockSize = 0;
    uint8_t separationMs = 0;
    uint8_t fcFaultStatus = 0x31;  // 0x31 wait or 0x32 overflow, for fcFaultTimes first frames
    int fcFaultTimes = 0;          // -1: every first frame
    int consecutiveTimeoutMs = 1000;
};

struct RxFrame {
    uint8_t dlc = 0;
    Frame8 data{};
    int64_t atUs = 0;  // reception time
};

class Receiver {
public:
    struct Result {
        std::vector<Frame8> send;             // flow control frames to send now
        std::optional<std::vector<uint8_t>> message;  // a complete request
        std::vector<std::string> violations;
    };
    explicit Receiver(TransportConfig c) : cfg_(c) {}
    Result feed(const RxFrame& f);
    Result poll(int64_t nowUs);  // time-out of a segmented reception
    bool receiving() const { return receiving_; }

private:
    TransportConfig cfg_;
    bool receiving_ = false;
    bool refused_ = false;  // the last first frame got a wait/overflow flow control
    std::vector<uint8_t> buf_;
    std::size_t expected_ = 0;
    uint8_t nextSeq_ = 1;
    unsigned inBlock_ = 0;
    int64_t lastUs_ = 0;
    int64_t flowControlUs_ = 0;  // when the last continue-to-send went out
    unsigned framesSinceFc_ = 0;

    Frame8 flowControl(uint8_t status) const;
};

// A complete answer as frames: a single frame padded to 8 bytes, or (to
// test the tester) a first frame and its consecutive frames.
std::vector<Frame8> encodeAnswer(const std::vector<uint8_t>& msg, bool asFirstFrame);

}  // namespace ecusim

#endif
