#include "usbdrv/usbdev.h"

namespace usbdrv {

void usbDevT::link(std::shared_ptr<rux::seqSocketT> conn, const rux::usbHidSockAddrT& addr,
                   std::shared_ptr<reqListT> requests) {
    _conn = std::move(conn);
    _addr = addr;
    _requests = std::move(requests);
}

bool usbDevT::exchange(std::shared_ptr<exchangeT> ex) const {
    return _requests && _requests->submit(key(), std::move(ex));
}

} // namespace usbdrv
