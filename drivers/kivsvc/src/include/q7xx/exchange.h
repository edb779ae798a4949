// q7xxExchangeT: one meter request report and the reply it awaits, as the
// driver machinery (usbdrv::reqListT) carries them.
//
// Matching compares the report id and message id of a received report with
// those of the reply object; parse is the reply's own (checksum included).
// Holds the two messages by shared pointer; the requester keeps its own
// pointers and reads the reply after the exchange completed. Same thread rules
// as usbdrv::exchangeT.
#pragma once

#include <memory>

#include "q7xx/usbmsg.h"
#include "usbdrv/exchange.h"

class q7xxExchangeT : public usbdrv::exchangeT {
public:
    // `reply` empty: nothing is awaited once the request has been sent.
    q7xxExchangeT(std::shared_ptr<q7xxUSBMsgT> request, std::shared_ptr<q7xxUSBMsgT> reply,
                  const rux::timeT& timeout = rux::timeT());

    int format(unsigned char* buf, std::size_t size) override;
    bool expectsReply() const override { return _reply != nullptr; }
    unsigned char replyRid() const override;
    unsigned char replyMid() const override;
    matchT match(const unsigned char* report, std::size_t len) const override;
    bool parse(const unsigned char* report, std::size_t len) override;
    rux::timeT timeout() const override { return _timeout; }

private:
    std::shared_ptr<q7xxUSBMsgT> _request;
    std::shared_ptr<q7xxUSBMsgT> _reply;
    rux::timeT _timeout;
};
