#include "nxxx/commands.h"

#include <memory>

#include "nxxx/msgs.h"
#include "nxxx/usbdev.h"

bool nxxxCmdBootGetAppData::execute(kivsvc::bootAppDataT& out, const nxxxUsbDevT& dev) {
    auto reply = std::make_shared<nxxxUSBMsg_BOOTGETAPPDATAREPLY>();
    return dev.syncMessage(std::make_shared<nxxxUSBMsg_BOOTGETAPPDATA>(), reply) &&
           reply->toCbusMsg(out);
}

bool nxxxCmdBootSetAppData::execute(const kivsvc::bootAppDataT& in, nxxxUsbDevT& dev) {
    auto request = std::make_shared<nxxxUSBMsg_BOOTSETAPPDATA>();
    return request->fromCbusMsg(in) &&
           dev.syncMessage(request, std::make_shared<nxxxUSBMsg_BOOTSETAPPDATAREPLY>());
}

bool nxxxCmdBootEraseFirmware::execute(const kivsvc::bootAppDataT& in, nxxxUsbDevT& dev) {
    auto request = std::make_shared<nxxxUSBMsg_BOOTERASEFW>();
    return request->fromCbusMsg(in) &&
           dev.syncMessage(request, std::make_shared<nxxxUSBMsg_BOOTERASEFWREPLY>(),
                           dev.eraseTimeout());
}

bool nxxxCmdBootWriteFirmware::execute(const kivsvc::fwBlockT& in, nxxxUsbDevT& dev) {
    auto request = std::make_shared<nxxxUSBMsg_BOOTWRITEFW>();
    return request->fromCbusMsg(in) &&
           dev.syncMessage(request, std::make_shared<nxxxUSBMsg_BOOTWRITEFWREPLY>());
}

bool nxxxCmdBootGetCRC::execute(kivsvc::bootAppDataT& out, const nxxxUsbDevT& dev) {
    auto reply = std::make_shared<nxxxUSBMsg_BOOTGETCRCREPLY>();
    return dev.syncMessage(std::make_shared<nxxxUSBMsg_BOOTGETCRC>(), reply) &&
           reply->toCbusMsg(out);
}
