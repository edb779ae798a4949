#include "nxxx/exchange.h"

#include <climits>

#include "rux_logger_xface.h"
#include "sal/assert.h"

using rux::loggerT;
namespace log = rux::log;

nxxxExchangeT::nxxxExchangeT(std::shared_ptr<nxxxUSBMsgT> request,
                             std::shared_ptr<nxxxUSBMsgT> reply, const rux::timeT& timeout)
    : _request(std::move(request)), _reply(std::move(reply)), _timeout(timeout) {
    RUX_FAULT_IF(_request == nullptr);
}

int nxxxExchangeT::format(unsigned char* buf, std::size_t size) {
    return _request->formatReport(buf, size);
}

unsigned char nxxxExchangeT::replyRid() const {
    return _reply ? _reply->rid() : 0;
}

unsigned char nxxxExchangeT::replyMid() const {
    return _reply ? _reply->mid() : 0;
}

usbdrv::exchangeT::matchT nxxxExchangeT::match(const unsigned char* report, std::size_t len) const {
    if (!_reply || len < 2)
        return enNO;
    loggerT log("driver");
    loggerT::logbufT(log, log::INFO, "operator()")
        << "Waiter rid:" << unsigned(_reply->rid()) << " mid:" << unsigned(_reply->mid()) << "\n";
    if (report[0] != _reply->rid() || (report[1] & ~nxxxUSBMsgT::failedBit) != _reply->mid())
        return enNO;
    const bool failed = (report[1] & nxxxUSBMsgT::failedBit) != 0;
    // Too short to say whose it is; taking it fails the request (parse refuses
    // it), which is what a short reply deserves.
    if (len < static_cast<std::size_t>(nxxxUSBMsgT::headerSize))
        return failed ? enFAILED : enYES;
    if (report[3] != _request->seq()) {
        loggerT::logbufT(log, log::WARNING, "match")
            << "reply sequence number " << unsigned(report[3]) << " does not match request "
            << unsigned(_request->seq()) << "\n";
        return enNO;
    }
    return failed ? enFAILED : enYES;
}

bool nxxxExchangeT::parse(const unsigned char* report, std::size_t len) {
    if (!_reply || len > static_cast<std::size_t>(INT_MAX))
        return false;
    return _reply->parse(report, static_cast<int>(len));
}
