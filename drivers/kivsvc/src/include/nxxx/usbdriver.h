// nxxxUsbDriverT: serves every device of one USB vendor and product that runs
// its bootloader (product 0x0002 under the meters' vendor ids).
//
// Its thread ("kivsvc-nxxx-usb-drv") identifies each device that is plugged
// in with one identification request: the name "NBOOT" makes an nbootT
// (model NBOOT, hardware version as two hexadecimal digits, software version
// as eight), an unparsable reply or any other name an nxxxUnkT; a device that
// does not answer within 5 s is not entered. Replies are matched by report
// id, message id and the echoed sequence number (nxxxExchangeT); a reply with
// the failure bit fails its request and is logged ("command failed from
// device "). Everything else (requests, time-outs, thread rules, destruction)
// is usbdrv::hidDriverT's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "nxxx/msgs.h"
#include "nxxx/usbdev.h"
#include "usbdrv/hiddriver.h"

class nxxxUsbDriverT : public usbdrv::hidDriverT {
public:
    nxxxUsbDriverT(uint16_t vendor, uint16_t product);
    ~nxxxUsbDriverT() override;

    // See nxxxUsbDevT::syncMessage.
    bool syncMessage(const nxxxUsbDevT& dev, std::shared_ptr<nxxxUSBMsgT> request,
                     std::shared_ptr<nxxxUSBMsgT> reply);

    // Time-out of an erase on devices identified from now on (initially 30 s;
    // never shorter than the reply time-out). Any thread.
    void eraseTimeout(const rux::timeT& t) { _eraseTimeoutMs = t.ms(); }

    // The device an identification reply describes: nbootT for "NBOOT"
    // (compared with its NUL), else nxxxUnkT. Logs at INFO the serial number,
    // or at ERROR the unknown model, on log ID "driver".
    static std::shared_ptr<nxxxUsbDevT> identify(const nxxxUSBMsg_DEVIDREPLY& id,
                                                 rux::loggerT& log);

protected:
    std::shared_ptr<usbdrv::usbDevT> _handshake(std::shared_ptr<rux::seqSocketT> conn,
                                                const rux::usbHidSockAddrT& addr) override;
    void _logAttached(const usbdrv::usbDevT& dev) override;
    void _reportSeen(const usbdrv::usbDevT& dev, const unsigned char* report,
                     std::size_t len) override;

private:
    std::atomic<int64_t> _eraseTimeoutMs{30000};
};
