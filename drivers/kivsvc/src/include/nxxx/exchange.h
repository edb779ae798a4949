// nxxxExchangeT: one bootloader request report and the reply it awaits, as
// the driver machinery (usbdrv::reqListT) carries them.
//
// A received report is this request's reply only when its report id, its
// message id without the failure bit AND the sequence number it echoes are
// the request's: after a time-out, a late acknowledgement of one firmware
// block must never acknowledge the next. A report that differs only in its
// sequence number is logged (WARNING, log ID "driver") and left unmatched; a
// matching report with the failure bit fails the request; a matching report
// too short to hold the sequence number fails it too (parse refuses it).
//
// Holds the two messages by shared pointer; the requester keeps its own
// pointers and reads the reply after the exchange completed. Same thread
// rules as usbdrv::exchangeT (match and parse run on the driver thread under
// the request list's lock).
#pragma once

#include <memory>

#include "nxxx/usbmsg.h"
#include "usbdrv/exchange.h"

class nxxxExchangeT : public usbdrv::exchangeT {
public:
    // `reply` empty: nothing is awaited once the request has been sent.
    // `timeout` zero: the driver's reply time-out.
    nxxxExchangeT(std::shared_ptr<nxxxUSBMsgT> request, std::shared_ptr<nxxxUSBMsgT> reply,
                  const rux::timeT& timeout = rux::timeT());

    int format(unsigned char* buf, std::size_t size) override;
    bool expectsReply() const override { return _reply != nullptr; }
    unsigned char replyRid() const override;
    unsigned char replyMid() const override;
    matchT match(const unsigned char* report, std::size_t len) const override;
    bool parse(const unsigned char* report, std::size_t len) override;
    rux::timeT timeout() const override { return _timeout; }
    // The echoed sequence number: a timed-out request holds nothing back.
    bool repliesNameRequest() const override { return true; }

private:
    std::shared_ptr<nxxxUSBMsgT> _request;
    std::shared_ptr<nxxxUSBMsgT> _reply;
    rux::timeT _timeout;
};
