// Configuration messages of the second meter protocol version.
//
// Payload (61 bytes written, 60 read): byte 0 kept as read, serial number
// 1-17, direction, direction mode, power-line filter, filter width and
// sensitivity 18-22, cut-off threshold 23 (written only), flow scale 24,
// bytes 25-26 kept as read, 27 compensation curve (Q720 layout) or sensor type
// (Q710 layout), decPPL 28, pulse digits 29, volume unit 30, digital output
// mode 31, sensor gain 32, 20 mA adjustment 34, 4 mA adjustment 36, PPL
// mantissa 38, output threshold 42 (written only), pulse length 46, custom
// diameter 50; all little-endian and unsigned.
//
// Same ownership and thread rules as q7xxUSBMsgT. toCbusMsg always succeeds;
// fromCbusMsg fails on a client value the meter cannot store (see q7xxCfgFromCbus),
// after which the object must not be sent.
#pragma once

#include "q7xx/cfgfields.h"
#include "q7xx/msgids.h"
#include "q7xx/usbmsg.h"

namespace kivsvc {
class q7xxConfigT;
}

namespace v2 {

class q7xxUSBMsg_CONFIG : public q7xxUSBMsgT {
public:
    static constexpr int formatSize = 61;
    static constexpr int parseSize = 60;

    bool toCbusMsg(kivsvc::q7xxConfigT& out) const;
    bool fromCbusMsg(const kivsvc::q7xxConfigT& in);
    // Whether fromCbusMsg could store the client's values, as far as that is
    // known without the meter's configuration; logs only refusals.
    static bool checkCbusMsg(const kivsvc::q7xxConfigT& in);

    q7xxCfgFieldsT& fields() { return _f; }
    const q7xxCfgFieldsT& fields() const { return _f; }

protected:
    int _format(unsigned char* pos) const override;
    int _parse(const unsigned char* pos, int len) override;
    // Byte 27 of the model's layout.
    virtual unsigned char _byte27() const = 0;
    virtual void _byte27(unsigned char b) = 0;

    q7xxCfgFieldsT _f;
};

// Q710 layout: byte 27 is the sensor type. The formatter logs the sensor type
// and the PPL value at WARNING.
class q710USBMsg_CONFIG : public q7xxUSBMsg_CONFIG {
protected:
    int _format(unsigned char* pos) const override;
    unsigned char _byte27() const override { return _f.sensorType; }
    void _byte27(unsigned char b) override { _f.sensorType = b; }
};

// Q720 layout (also the Q850's): byte 27 is the compensation curve.
class q720USBMsg_CONFIG : public q7xxUSBMsg_CONFIG {
protected:
    unsigned char _byte27() const override { return _f.compCurve; }
    void _byte27(unsigned char b) override { _f.compCurve = b; }
};

// Writes a configuration; persistent: store it in the meter's memory.
class q710USBMsg_SETCFG : public q710USBMsg_CONFIG {
public:
    q710USBMsg_SETCFG(const q710USBMsg_CONFIG& cfg, bool persistent)
        : q710USBMsg_CONFIG(cfg), _persistent(persistent) {}
    unsigned char rid() const override { return q7xxMsgId::SETCFG(_persistent).rid; }
    unsigned char mid() const override { return q7xxMsgId::SETCFG(_persistent).mid; }

private:
    bool _persistent;
};

class q720USBMsg_SETCFG : public q720USBMsg_CONFIG {
public:
    q720USBMsg_SETCFG(const q720USBMsg_CONFIG& cfg, bool persistent)
        : q720USBMsg_CONFIG(cfg), _persistent(persistent) {}
    unsigned char rid() const override { return q7xxMsgId::SETCFG(_persistent).rid; }
    unsigned char mid() const override { return q7xxMsgId::SETCFG(_persistent).mid; }

private:
    bool _persistent;
};

// The configuration the meter reports; saved: the one it last stored.
class q710USBMsg_CONFIGREPLY : public q710USBMsg_CONFIG {
public:
    explicit q710USBMsg_CONFIGREPLY(bool saved = false) : _saved(saved) {}
    unsigned char rid() const override { return q7xxMsgId::CONFIGREPLY(_saved).rid; }
    unsigned char mid() const override { return q7xxMsgId::CONFIGREPLY(_saved).mid; }

private:
    bool _saved;
};

class q720USBMsg_CONFIGREPLY : public q720USBMsg_CONFIG {
public:
    explicit q720USBMsg_CONFIGREPLY(bool saved = false) : _saved(saved) {}
    unsigned char rid() const override { return q7xxMsgId::CONFIGREPLY(_saved).rid; }
    unsigned char mid() const override { return q7xxMsgId::CONFIGREPLY(_saved).mid; }

private:
    bool _saved;
};

// Asks for the configuration in use, or (saved) the one last stored.
class q7xxUSBMsg_GETCFG : public q7xxUSBMsgT {
public:
    explicit q7xxUSBMsg_GETCFG(bool saved = false) : _saved(saved) {}
    unsigned char rid() const override { return q7xxMsgId::GETCFG(_saved).rid; }
    unsigned char mid() const override { return q7xxMsgId::GETCFG(_saved).mid; }

private:
    bool _saved;
};

} // namespace v2
