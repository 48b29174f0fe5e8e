// What the identification readout learnt about the ECU in front of the tool.
#ifndef TAVELIN_ECU_IDENTITY_H
#define TAVELIN_ECU_IDENTITY_H

#include <QString>
#include <cstdint>

struct EcuIdentity {
    // "Not programmed": no ECU reports it, so no update file matches it.
    static constexpr uint32_t kUnknownHwId = 0xFFFFFFFFu;
    static constexpr uint16_t kDefaultBlockLength = 128;  // when the ECU does not say
    static constexpr int kItems = 6;

    uint32_t hwId = kUnknownHwId;
    uint16_t blockLength = kDefaultBlockLength;
    // Item 0 hardware id, 1 hardware version, 2 bootloader interface
    // version, 3 bootloader version, 4 application id, 5 application
    // version, as the window shows them: "- - -" not read or blank, "n.a."
    // not available, a number or a version.
    QString items[kItems];

    EcuIdentity() { clearItems(); }
    // Until its hardware id is read again, the ECU matches no file.
    void forget() { hwId = kUnknownHwId; }
    void clearItems();
    // More than one ECU answers: nothing read is this ECU's.
    void noneIsTheEcus();
};

#endif
