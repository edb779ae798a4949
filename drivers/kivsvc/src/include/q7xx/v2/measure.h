// Measurement of the second meter protocol version.
//
// Payload (60 bytes read; 26-59 not interpreted), little-endian: alarm (0),
// flow direction (1: 1 forward, 255 reverse), output frequency (2, 32-bit),
// floats totalised volume (6), flow (10), output current (14), k-factor (18),
// compensation curve in use (22, 32-bit).
//
// Same ownership and thread rules as q7xxUSBMsgT; toCbusMsg always succeeds.
#pragma once

#include "q7xx/msgids.h"
#include "q7xx/usbmsg.h"

namespace kivsvc {
class q7xxMeasureT;
}

namespace v2 {

struct q7xxMeasureFieldsT {
    unsigned char alarm = 0;
    unsigned char direction = 0;
    unsigned int freq = 0;
    float totFlow = 0;
    float flow = 0;
    float current = 0;
    float kfactor = 0;
    unsigned int curve = 0;
};

class q7xxUSBMsg_MEASURE : public q7xxUSBMsgT {
public:
    static constexpr int parseSize = 60;

    // Unknown alarm and direction bytes leave their field unset, logged.
    bool toCbusMsg(kivsvc::q7xxMeasureT& out) const;

    const q7xxMeasureFieldsT& fields() const { return _f; }

protected:
    int _parse(const unsigned char* pos, int len) override;

    q7xxMeasureFieldsT _f;
};

class q7xxUSBMsg_GETMEASUREREPLY : public q7xxUSBMsg_MEASURE {
public:
    unsigned char rid() const override { return q7xxMsgId::GETMEASUREREPLY.rid; }
    unsigned char mid() const override { return q7xxMsgId::GETMEASUREREPLY.mid; }
};

class q7xxUSBMsg_GETMEASURE : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::GETMEASURE.rid; }
    unsigned char mid() const override { return q7xxMsgId::GETMEASURE.mid; }
};

} // namespace v2
