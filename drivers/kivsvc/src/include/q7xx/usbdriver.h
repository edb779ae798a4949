// q7xxUsbDriverT: serves every q7xx flow meter of one USB vendor and product.
//
// Its thread ("kivsvc-q7xx-usb-drv") identifies each meter that is plugged in
// (identification reply: model name and versions; then the serial number),
// picks the protocol factory for model and version, and enters the meter into
// the device database; unplugging removes it. Unparsable or unknown
// identification replies still enter the meter, as a q7xxUnkT; a meter that
// does not answer an identification step within 5 s is not entered.
// Everything else (requests, time-outs, thread rules, destruction) is
// usbdrv::hidDriverT's.
#pragma once

#include <cstdint>
#include <memory>

#include "q7xx/basicmsgs.h"
#include "q7xx/protoselect.h"
#include "q7xx/usbdev.h"
#include "usbdrv/hiddriver.h"

class q7xxUsbDriverT : public usbdrv::hidDriverT {
public:
    q7xxUsbDriverT(uint16_t vendor, uint16_t product);
    ~q7xxUsbDriverT() override;

    // See q7xxUsbDevT::syncMessage.
    bool syncMessage(const q7xxUsbDevT& dev, std::shared_ptr<q7xxUSBMsgT> request,
                     std::shared_ptr<q7xxUSBMsgT> reply);

    // Model and protocol version of an identification reply (name compared
    // on 15 bytes, the 14 characters and the NUL); false for any other name.
    static bool identify(const q7xxUSBMsg_IDREPLY& id, int& model, q7xxProtoT& proto);

protected:
    std::shared_ptr<usbdrv::usbDevT> _handshake(std::shared_ptr<rux::seqSocketT> conn,
                                                const rux::usbHidSockAddrT& addr) override;
    void _logAttached(const usbdrv::usbDevT& dev) override;
};
