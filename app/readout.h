// The ECU's identification, read one item per step: items 0 to 5 and the
// block length (item 6), then a final step that looks for a second ECU.
#ifndef TAVELIN_READOUT_H
#define TAVELIN_READOUT_H

#include "ecu_identity.h"
#include "exchange.h"

class Readout {
public:
    enum class Step {
        ItemRead,        // nextItem() before the step was read (or found not available)
        MoreThanOneEcu,  // nothing more is asked; the readout ends at the next step
        Done,            // the readout is over; the next step starts at item 0
    };
    static constexpr int kLastItem = 6;  // the block length

    explicit Readout(exchange::Exchanger& exchanger) : exchanger_(exchanger) {}
    // The next step starts again at item 0.
    void restart() { item_ = 0; }
    // The item the next step reads; above kLastItem, the final step.
    int nextItem() const { return item_; }
    // One exchange (or, at the end, a drain of the queue). A step at item 0
    // identifies the ECU anew: nothing read before is kept.
    Step step();
    EcuIdentity& identity() { return identity_; }
    const EcuIdentity& identity() const { return identity_; }

private:
    exchange::Exchanger& exchanger_;
    int item_ = 0;
    EcuIdentity identity_;
};

#endif
