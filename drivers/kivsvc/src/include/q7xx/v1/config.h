// Messages of the first meter protocol version (Q720 meters with a software
// version byte below 4): configuration and hardware settings only.
//
// Configuration payload (61 bytes written, 50 read): as the second version's
// up to byte 33, except that the cut-off threshold (23) and the output
// threshold (42) are read as well as written, bytes 25 and 26 are the minimum
// k gain (units of 0.04) and maximum k gain (units of 0.0025), the 4 mA
// adjustment sits at 34 and the 20 mA adjustment at 36, and there is no custom
// diameter and no sensor type.
// Hardware settings: byte 1 holds the pipe size (bits 1-3, inverted) and the
// output type (bit 0: frequency when set, else current).
//
// Same ownership and thread rules as q7xxUSBMsgT. toCbusMsg always succeeds;
// fromCbusMsg fails on a client value the meter cannot store, after which the
// object must not be sent.
#pragma once

#include "q7xx/cfgfields.h"
#include "q7xx/msgids.h"
#include "q7xx/usbmsg.h"

namespace kivsvc {
class q7xxConfigT;
}

namespace v1 {

class q720USBMsg_CONFIG : public q7xxUSBMsgT {
public:
    static constexpr int formatSize = 61;
    static constexpr int parseSize = 50;

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

    q7xxCfgFieldsT _f;
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

class q720USBMsg_CONFIGREPLY : public q720USBMsg_CONFIG {
public:
    explicit q720USBMsg_CONFIGREPLY(bool saved = false) : _saved(saved) {}
    unsigned char rid() const override { return q7xxMsgId::CONFIGREPLY(_saved).rid; }
    unsigned char mid() const override { return q7xxMsgId::CONFIGREPLY(_saved).mid; }

private:
    bool _saved;
};

class q720USBMsg_GETCFG : public q7xxUSBMsgT {
public:
    explicit q720USBMsg_GETCFG(bool saved = false) : _saved(saved) {}
    unsigned char rid() const override { return q7xxMsgId::GETCFG(_saved).rid; }
    unsigned char mid() const override { return q7xxMsgId::GETCFG(_saved).mid; }

private:
    bool _saved;
};

class q720USBMsg_GETHWSETTINGS : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::GETHWSETTINGS.rid; }
    unsigned char mid() const override { return q7xxMsgId::GETHWSETTINGS.mid; }
};

class q720USBMsg_HWSETTINGSREPLY : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::HWSETTINGSREPLY.rid; }
    unsigned char mid() const override { return q7xxMsgId::HWSETTINGSREPLY.mid; }

    // `hardware_config` from bits 1-3 of byte 1, `out_type` from bit 0.
    bool toCbusMsg(kivsvc::q7xxConfigT& out) const;

    unsigned char settings() const { return _settings; }

protected:
    // Needs two bytes; consumes 2 of two or three, else 4.
    int _parse(const unsigned char* pos, int len) override;

private:
    unsigned char _settings = 0; // byte 1
};

} // namespace v1
