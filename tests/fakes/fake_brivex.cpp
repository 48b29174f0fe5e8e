#include "fake_brivex.h"

FakeBrivex& fakeBrivex()
{
    static FakeBrivex f;
    return f;
}

int InitHWInterface(int, DWORD) { return 0; }
int ReleaseHWInterface() { return 0; }

int SendCANMessage(CAN_msg_T out_msg)
{
    auto& f = fakeBrivex();
    if (static_cast<int>(f.sent.size()) == f.failSendAt) {
        f.failSendAt = -1;
        return -1;
    }
    f.sent.push_back(out_msg);
    f.sentAt.push_back(std::chrono::steady_clock::now());
    if (!f.afterSend.empty()) {
        f.rx.insert(f.rx.end(), f.afterSend.front().begin(), f.afterSend.front().end());
        f.afterSend.pop_front();
    }
    return 0;
}

int ReceiveCANMessage(CAN_msg_T* rec_msg, uint32_t timeout_ms)
{
    auto& f = fakeBrivex();
    f.receiveTimeouts.push_back(timeout_ms);
    if (f.rx.empty())
        return -1;
    *rec_msg = f.rx.front();
    f.rx.pop_front();
    return 0;
}

int GetHWInterfaceStatus(char* out)
{
    if (out)
        out[0] = 0;
    return 0;
}
