#include "q7xx/v2/hwsettings.h"

#include "messages.pb.h"

namespace v2 {

int q7xxUSBMsg_HWSETTINGSREPLY::_parse(const unsigned char* pos, int len) {
    if (len < 2)
        return -1;
    _settings = pos[1];
    return len < 4 ? 2 : 4; // the 16-bit value at 2 is not interpreted
}

bool q7xxUSBMsg_HWSETTINGSREPLY::toCbusMsg(kivsvc::q7xxConfigT& out) const {
    // Every number 0 to 15 is a hwCfgT (LOCKED to USB).
    out.set_hardware_config(static_cast<kivsvc::hwCfgT>(_settings & 0x0F));
    return true;
}

} // namespace v2
