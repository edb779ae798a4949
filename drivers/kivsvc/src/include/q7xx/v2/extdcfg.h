// Extended configuration of the second meter protocol version.
//
// Payload (61 bytes written, 60 read), little-endian: floats flow at 4 mA (0),
// flow at 20 mA (4), output threshold (8), second threshold (12), hysteresis
// (16); bytes flow unit (20), gain strength mode (21), frequency simulation
// (22, bits 0-6; bit 7 resets the volume totaliser and is only written),
// current, digital output and direction simulation (23-25); simulated
// frequency (26, 16-bit), simulated current (28, float), simulated digital
// output (32), simulated direction (33: 1 forward, 255 reverse), cut-off delay
// (34, 16-bit); floats cut-off threshold (36), minimum and maximum k gain (40,
// 44) and factory sensor gain (48).
//
// Same ownership and thread rules as q7xxUSBMsgT. toCbusMsg always succeeds;
// fromCbusMsg fails on a value the meter cannot store (NaN, infinite, a number
// wider than its field), after which the object must not be sent.
#pragma once

#include "q7xx/msgids.h"
#include "q7xx/usbmsg.h"

namespace kivsvc {
class q7xxConfigT;
}

namespace v2 {

struct q7xxExtdFieldsT {
    float flow4 = 0;
    float flow20 = 0;
    float doutThresh = 0;
    float doutThresh2 = 0;
    float doutHyst = 0;
    unsigned char flowUnit = 0;
    unsigned char gainMode = 0;
    unsigned char simFreq = 0; // bits 0-6 of byte 22
    unsigned char simCurrent = 0;
    unsigned char simDigOut = 0;
    unsigned char simDir = 0;
    unsigned short simFreqOut = 0;
    float simCurrentOut = 0;
    unsigned char simDigitalOut = 0;
    unsigned char simDirection = 0;
    unsigned short cutoffDelay = 0;
    float cutoffThresh = 0;
    float kgainMin = 0;
    float kgainMax = 0;
    float factorySensGain = 0;
    bool resetVolume = false; // written into bit 7 of byte 22, never read
};

class q7xxUSBMsg_EXTDCFG : public q7xxUSBMsgT {
public:
    static constexpr int formatSize = 61;
    static constexpr int parseSize = 60;

    bool toCbusMsg(kivsvc::q7xxConfigT& out) const;
    bool fromCbusMsg(const kivsvc::q7xxConfigT& in);
    // Whether fromCbusMsg could store the client's values; logs only refusals.
    static bool checkCbusMsg(const kivsvc::q7xxConfigT& in);

    q7xxExtdFieldsT& fields() { return _f; }
    const q7xxExtdFieldsT& fields() const { return _f; }

protected:
    int _format(unsigned char* pos) const override;
    int _parse(const unsigned char* pos, int len) override;

    q7xxExtdFieldsT _f;

private:
    bool _apply(const kivsvc::q7xxConfigT& in, bool checkOnly);
};

// Writes the extended configuration; no reply.
class q7xxUSBMsg_SETEXTDCFG : public q7xxUSBMsg_EXTDCFG {
public:
    explicit q7xxUSBMsg_SETEXTDCFG(const q7xxUSBMsg_EXTDCFG& c) : q7xxUSBMsg_EXTDCFG(c) {}
    unsigned char rid() const override { return q7xxMsgId::SETEXTDCFG.rid; }
    unsigned char mid() const override { return q7xxMsgId::SETEXTDCFG.mid; }
};

class q7xxUSBMsg_EXTDCFGREPLY : public q7xxUSBMsg_EXTDCFG {
public:
    unsigned char rid() const override { return q7xxMsgId::EXTDCFGREPLY.rid; }
    unsigned char mid() const override { return q7xxMsgId::EXTDCFGREPLY.mid; }
};

class q7xxUSBMsg_GETEXTDCFG : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::GETEXTDCFG.rid; }
    unsigned char mid() const override { return q7xxMsgId::GETEXTDCFG.mid; }
};

} // namespace v2
