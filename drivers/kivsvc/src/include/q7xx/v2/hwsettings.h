// Hardware settings of the second meter protocol version: byte 1 holds the
// hardware configuration in its low 4 bits; byte 0 and an optional 16-bit
// value at 2 are not interpreted.
//
// Same ownership and thread rules as q7xxUSBMsgT; toCbusMsg always succeeds.
#pragma once

#include "q7xx/msgids.h"
#include "q7xx/usbmsg.h"

namespace kivsvc {
class q7xxConfigT;
}

namespace v2 {

class q7xxUSBMsg_GETHWSETTINGS : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::GETHWSETTINGS.rid; }
    unsigned char mid() const override { return q7xxMsgId::GETHWSETTINGS.mid; }
};

class q7xxUSBMsg_HWSETTINGSREPLY : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::HWSETTINGSREPLY.rid; }
    unsigned char mid() const override { return q7xxMsgId::HWSETTINGSREPLY.mid; }

    // `hardware_config` = the hwCfgT numbered by the low 4 bits of byte 1.
    bool toCbusMsg(kivsvc::q7xxConfigT& out) const;

    unsigned char settings() const { return _settings; }

protected:
    // Needs two bytes; consumes 2 of two or three, else 4.
    int _parse(const unsigned char* pos, int len) override;

private:
    unsigned char _settings = 0; // byte 1
};

} // namespace v2
