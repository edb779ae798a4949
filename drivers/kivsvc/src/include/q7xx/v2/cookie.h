// The cookie of the second meter protocol version: 60 bytes of text kept by
// the meter, holding the pipe diameter text (`diam`), NUL-padded.
//
// Same ownership and thread rules as q7xxUSBMsgT. The conversions never fail.
#pragma once

#include <array>

#include "q7xx/msgids.h"
#include "q7xx/usbmsg.h"

namespace kivsvc {
class q7xxConfigT;
}

namespace v2 {

class q7xxUSBMsg_COOKIE : public q7xxUSBMsgT {
public:
    static constexpr int size = 60;

    // `diam` = the 60 bytes, NUL padding included.
    bool toCbusMsg(kivsvc::q7xxConfigT& out) const;
    // With `diam`: the cookie becomes `diam` up to its first NUL, at most 59
    // bytes, NUL-padded. Without it the cookie stays as read.
    bool fromCbusMsg(const kivsvc::q7xxConfigT& in);

    std::array<unsigned char, size>& bytes() { return _text; }
    const std::array<unsigned char, size>& bytes() const { return _text; }

protected:
    int _format(unsigned char* pos) const override;
    int _parse(const unsigned char* pos, int len) override;

    std::array<unsigned char, size> _text{};
};

// Writes the cookie; no reply.
class q7xxUSBMsg_SETCOOKIE : public q7xxUSBMsg_COOKIE {
public:
    explicit q7xxUSBMsg_SETCOOKIE(const q7xxUSBMsg_COOKIE& c) : q7xxUSBMsg_COOKIE(c) {}
    unsigned char rid() const override { return q7xxMsgId::SETCOOKIE.rid; }
    unsigned char mid() const override { return q7xxMsgId::SETCOOKIE.mid; }
};

class q7xxUSBMsg_COOKIEREPLY : public q7xxUSBMsg_COOKIE {
public:
    unsigned char rid() const override { return q7xxMsgId::COOKIEREPLY.rid; }
    unsigned char mid() const override { return q7xxMsgId::COOKIEREPLY.mid; }
};

class q7xxUSBMsg_GETCOOKIE : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::GETCOOKIE.rid; }
    unsigned char mid() const override { return q7xxMsgId::GETCOOKIE.mid; }
};

} // namespace v2
