// usbdrv::usbDevT: the USB side shared by every device a USB driver serves
// (meters, bootloaders): the database identifier, the connection, the USB
// address, and the driver's request list through which requests travel.
//
// Filled by the driver thread during identification, before the device enters
// the database, and only read afterwards. exchange() may be called from any
// client thread; it blocks until the driver thread has completed or failed the
// exchange. A device outlives its driver safely: the request list is shared,
// and once the driver has ended every exchange fails at once.
#pragma once

#include <memory>

#include "kivdev.h"
#include "sal/socket.h"
#include "sal/usbhid.h"
#include "usbdrv/exchange.h"
#include "usbdrv/reqlist.h"

namespace usbdrv {

class usbDevT : public kivDevT {
public:
    // Database identifier; -1 until the device has been entered.
    int id() const { return _id; }
    void id(int v) { _id = v; }

    const std::shared_ptr<rux::seqSocketT>& connection() const { return _conn; }
    const rux::usbHidSockAddrT& address() const { return _addr; }
    // Given once by the driver thread when identification is done.
    void link(std::shared_ptr<rux::seqSocketT> conn, const rux::usbHidSockAddrT& addr,
              std::shared_ptr<reqListT> requests);

    // Sends the request of `ex` and waits for its reply; true when completed.
    // False at once when the device is not (or no longer) served.
    bool exchange(std::shared_ptr<exchangeT> ex) const;

    // The key the request list knows this device by.
    reqListT::devKeyT key() const { return static_cast<const usbDevT*>(this); }

private:
    int _id = -1;
    std::shared_ptr<rux::seqSocketT> _conn;
    rux::usbHidSockAddrT _addr;
    std::shared_ptr<reqListT> _requests;
};

} // namespace usbdrv
