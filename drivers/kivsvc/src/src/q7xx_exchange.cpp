#include "q7xx/exchange.h"

#include <climits>

#include "sal/assert.h"

q7xxExchangeT::q7xxExchangeT(std::shared_ptr<q7xxUSBMsgT> request,
                             std::shared_ptr<q7xxUSBMsgT> reply, const rux::timeT& timeout)
    : _request(std::move(request)), _reply(std::move(reply)), _timeout(timeout) {
    RUX_FAULT_IF(_request == nullptr);
}

int q7xxExchangeT::format(unsigned char* buf, std::size_t size) {
    return _request->formatReport(buf, size);
}

unsigned char q7xxExchangeT::replyRid() const {
    return _reply ? _reply->rid() : 0;
}

unsigned char q7xxExchangeT::replyMid() const {
    return _reply ? _reply->mid() : 0;
}

usbdrv::exchangeT::matchT q7xxExchangeT::match(const unsigned char* report, std::size_t len) const {
    if (!_reply || len < 2)
        return enNO;
    return report[0] == _reply->rid() && report[1] == _reply->mid() ? enYES : enNO;
}

bool q7xxExchangeT::parse(const unsigned char* report, std::size_t len) {
    if (!_reply || len > static_cast<std::size_t>(INT_MAX))
        return false;
    return _reply->parse(report, static_cast<int>(len));
}
