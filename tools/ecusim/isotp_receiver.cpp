#include "isotp_receiver.h"

namespace ecusim {

Frame8 Receiver::flowControl(uint8_t status) const
{
    Frame8 f;
    f.fill(0xAA);
    f[0] = status;
    f[1] = cfg_.blockSize;
    f[2] = cfg_.separationMs;
    return f;
}

static std::string hex(uint8_t b)
{
    const char* d = "0123456789ABCDEF";
    return {d[b >> 4], d[b & 15]};
}

Receiver::Result Receiver::feed(const RxFrame& f)
{
    Result r;
    if (f.dlc != 8)
        r.violations.push_back("frame of length " + std::to_string(f.dlc) + ", expected 8");
    if (f.dlc == 0)
        return r;
    const uint8_t pci = f.data[0];
    const unsigned kind = pci >> 4;
    if (kind != 2 && receiving_) {
        r.violations.push_back("segmented request interrupted by a new frame (" + hex(pci) + ")");
        receiving_ = false;
    }
    switch (kind) {
    case 0: {  // single frame
        unsigned len = pci & 0x0F;
        if (len == 0 || len > 7 || len >= f.dlc) {
            r.violations.push_back("single frame with bad length byte " + hex(pci));
            return r;
        }
        refused_ = false;
        r.message = std::vector<uint8_t>(f.data.begin() + 1, f.data.begin() + 1 + len);
        return r;
    }
    case 1: {  // first frame
        std::size_t len = static_cast<std::size_t>(pci & 0x0F) << 8 | f.data[1];
        if (len < 8) {
            r.violations.push_back("first frame for " + std::to_string(len) +
                                   " bytes, which fit a single frame");
            return r;
        }
        if (cfg_.fcFaultTimes != 0) {
            if (cfg_.fcFaultTimes > 0)
                --cfg_.fcFaultTimes;
            r.send.push_back(flowControl(cfg_.fcFaultStatus));
            refused_ = true;
            return r;
        }
        refused_ = false;
        receiving_ = true;
        expected_ = len;
        buf_.assign(f.data.begin() + 2, f.data.begin() + 8);
        nextSeq_ = 1;
        inBlock_ = 0;
        lastUs_ = flowControlUs_ = f.atUs;
        framesSinceFc_ = 0;
        r.send.push_back(flowControl(0x30));
        return r;
    }
    case 2: {  // consecutive frame
        if (!receiving_) {
            r.violations.push_back(refused_ ? "consecutive frame after a wait/overflow flow control"
                                            : "consecutive frame without a first frame");
            return r;
        }
        uint8_t seq = pci & 0x0F;
        if (seq != nextSeq_) {
            r.violations.push_back("consecutive frame with sequence " + std::to_string(seq) +
                                   ", expected " + std::to_string(nextSeq_));
            receiving_ = false;
            return r;
        }
        // The separation time is a minimum before every consecutive frame.
        // Delivery may bunch single gaps, never shorten the whole: n frames
        // after a flow control take at least n times the separation time.
        ++framesSinceFc_;
        const int64_t least = static_cast<int64_t>(framesSinceFc_) * cfg_.separationMs * 1000;
        if (cfg_.separationMs && f.atUs - flowControlUs_ < least - 1000) {
            r.violations.push_back("separation time not kept: " + std::to_string(framesSinceFc_) +
                                   " consecutive frames within " + std::to_string((f.atUs - flowControlUs_) / 1000) +
                                   " ms, " + std::to_string(cfg_.separationMs) + " ms asked before each");
            flowControlUs_ = f.atUs - least;  // report a violating sender once, not on every frame
        }
        lastUs_ = f.atUs;
        nextSeq_ = static_cast<uint8_t>((nextSeq_ + 1) & 0x0F);
        std::size_t take = std::min<std::size_t>(7, expected_ - buf_.size());
        buf_.insert(buf_.end(), f.data.begin() + 1, f.data.begin() + 1 + take);
        for (std::size_t i = 1 + take; i < 8; ++i)
            if (f.data[i] != 0xFF) {
                r.violations.push_back("consecutive frame padding byte " + std::to_string(i) + " is " +
                                       hex(f.data[i]) + ", expected FF");
                break;
            }
        if (buf_.size() >= expected_) {
            receiving_ = false;
            r.message = buf_;
            return r;
        }
        if (cfg_.blockSize && ++inBlock_ == cfg_.blockSize) {
            inBlock_ = 0;
            flowControlUs_ = f.atUs;
            framesSinceFc_ = 0;
            r.send.push_back(flowControl(0x30));
        }
        return r;
    }
    case 3:
        r.violations.push_back("flow control frame from the tester");
        return r;
    default:
        r.violations.push_back("unknown frame type " + hex(pci));
        return r;
    }
}

Receiver::Result Receiver::poll(int64_t nowUs)
{
    Result r;
    if (receiving_ && nowUs - lastUs_ > static_cast<int64_t>(cfg_.consecutiveTimeoutMs) * 1000) {
        receiving_ = false;
        r.violations.push_back("segmented request abandoned: no consecutive frame for " +
                               std::to_string(cfg_.consecutiveTimeoutMs) + " ms (" +
                               std::to_string(buf_.size()) + " of " + std::to_string(expected_) +
                               " bytes)");
    }
    return r;
}

std::vector<Frame8> encodeAnswer(const std::vector<uint8_t>& msg, bool asFirstFrame)
{
    std::vector<Frame8> out;
    Frame8 f;
    f.fill(0xAA);
    if (!asFirstFrame && msg.size() <= 7) {
        f[0] = static_cast<uint8_t>(msg.size());
        std::copy(msg.begin(), msg.end(), f.begin() + 1);
        out.push_back(f);
        return out;
    }
    // As a first frame (whatever the length) and consecutive frames, sent
    // without waiting for the tester's flow control.
    std::size_t len = msg.size() < 8 ? 8 : msg.size();
    std::vector<uint8_t> m = msg;
    m.resize(len, 0x00);
    f[0] = static_cast<uint8_t>(0x10 | (len >> 8 & 0x0F));
    f[1] = static_cast<uint8_t>(len);
    std::copy(m.begin(), m.begin() + 6, f.begin() + 2);
    out.push_back(f);
    uint8_t seq = 1;
    for (std::size_t i = 6; i < len; i += 7) {
        f.fill(0xAA);
        f[0] = static_cast<uint8_t>(0x20 | seq);
        seq = (seq + 1) & 0x0F;
        for (std::size_t k = 0; k < 7 && i + k < len; ++k)
            f[1 + k] = m[i + k];
        out.push_back(f);
    }
    return out;
}

}  // namespace ecusim
