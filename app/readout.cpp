#include "readout.h"

#include "run_logs.h"

namespace {

QString numberText(const uint8_t* d)
{
    const uint32_t v = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
    return QString::asprintf("%07d", static_cast<int32_t>(v));
}

QString versionText(const uint8_t* d)
{
    return QString::asprintf("%02d.%02d.%02d.%02d", d[0], d[1], d[2], d[3]);
}

}  // namespace

Readout::Step Readout::step()
{
    if (item_ == 0) {
        identity_.forget();
        identity_.clearItems();
    }
    if (item_ > kLastItem) {
        // A second ECU that answers later than the first may have answered by now.
        exchanger_.drain();
        if (exchanger_.moreThanOneEcu()) {
            identity_.noneIsTheEcus();
            identity_.blockLength = EcuIdentity::kDefaultBlockLength;
        }
        item_ = 0;
        runlogs::stop();  // a capture's log ends with its identification
        return Step::Done;
    }

    KWP_msg_T request;
    request.SID = 0x22;
    request.len = 5;
    request.payload[0] = 0xFF;
    request.payload[1] = static_cast<uint8_t>(item_);
    request.payload[2] = 0x00;
    request.payload[3] = 0x00;
    KWP_msg_T answer;
    answer.len = 0;
    // Its own answer only: 62 FF nn for this item (after a 7F 22 78, the
    // data that follows), never an answer to another item or one queued
    // before the request. A readout from item 0 thus starts with an empty queue.
    const int r = exchanger_.exchange(request, answer, 20000);
    if (r == exchange::kMoreThanOneEcu) {
        identity_.noneIsTheEcus();
        identity_.blockLength = EcuIdentity::kDefaultBlockLength;
        item_ = kLastItem + 1;
        return Step::MoreThanOneEcu;
    }
    // A positive answer must hold the bytes the step reads (after the
    // echoed FF nn): a shorter one is a failure, never bytes left over.
    const uint32_t needed = item_ == kLastItem ? 2 : 4;
    const bool ok = r == 0 && answer.len >= 3 + needed;
    const uint8_t* d = &answer.payload[2];
    const bool blank = ok && d[0] == 0xFF && d[1] == 0xFF && d[2] == 0xFF && d[3] == 0xFF;
    if (item_ == kLastItem) {
        identity_.blockLength = ok ? static_cast<uint16_t>(d[0] + d[1] * 256) : EcuIdentity::kDefaultBlockLength;
    } else if (!ok) {
        identity_.items[item_] = QStringLiteral("n.a.");
    } else if (blank) {
        identity_.items[item_] = QStringLiteral("- - -");
    } else if (item_ == 0 || item_ == 4) {
        identity_.items[item_] = numberText(d);
        if (item_ == 0)
            identity_.hwId = d[0] | d[1] << 8 | d[2] << 16 | static_cast<uint32_t>(d[3]) << 24;
    } else {
        identity_.items[item_] = versionText(d);
    }
    ++item_;
    return Step::ItemRead;
}
