// Capture of a powering-up ECU into its bootloader: the broadcast capture
// request, the tester's address claim, and the presence check that ends the
// capture. Plain code on kwp and the exchange; the faces keep the timing.
#ifndef TAVELIN_CAPTURE_H
#define TAVELIN_CAPTURE_H

#include "exchange.h"

namespace capture {

// The periods the ECU sees: a capture request and an address claim every
// 100 ms, a presence check every 2 s (its answer awaited for 500 ms).
constexpr int kRequestIntervalMs = 100;
constexpr int kClaimIntervalMs = 100;
constexpr int kPresenceIntervalMs = 2000;
constexpr uint32_t kPresenceTimeoutMs = 500;

// 80 and the capture code, to every node.
void sendCaptureRequest();
// The tester's name on the bus, from its address F9.
void sendAddressClaim();
// 3E to the ECU through the exchange: true when the ECU answered positively,
// also when more than one ECU answers (the readout then says so).
bool ecuPresent(exchange::Exchanger& exchanger);

}  // namespace capture

#endif
