// The q7xx meter messages that every protocol version shares: identification,
// serial number and the three resets.
//
// Requests and resets carry an empty payload (a 3-byte frame). The two replies
// decode their payload in parse(); their getters are valid after parse()
// returned true. Same ownership and thread rules as q7xxUSBMsgT.
#pragma once

#include <array>
#include <string>

#include "q7xx/msgids.h"
#include "q7xx/usbmsg.h"

// Identify request.
class q7xxUSBMsg_IDREQ : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::IDREQ.rid; }
    unsigned char mid() const override { return q7xxMsgId::IDREQ.mid; }
};

// Identify reply: hardware and software version bytes and the model name.
class q7xxUSBMsg_IDREPLY : public q7xxUSBMsgT {
public:
    static constexpr int payloadSize = 20;
    static constexpr int nameSize = 17;

    unsigned char rid() const override { return q7xxMsgId::IDREPLY.rid; }
    unsigned char mid() const override { return q7xxMsgId::IDREPLY.mid; }

    unsigned char first() const { return _first; }
    unsigned char hwver() const { return _hwver; }
    unsigned char swver() const { return _swver; }
    // The name field as received: ASCII, NUL-padded, possibly without any NUL.
    const std::array<unsigned char, nameSize>& rawName() const { return _name; }
    // The name up to its first NUL (all 17 bytes when there is none).
    std::string name() const;

protected:
    int _parse(const unsigned char* pos, int len) override;

private:
    unsigned char _first = 0; // not interpreted, kept for diagnostics
    unsigned char _hwver = 0;
    unsigned char _swver = 0;
    std::array<unsigned char, nameSize> _name{};
};

// Serial number request.
class q7xxUSBMsg_SNUMREQ : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::SNUMREQ.rid; }
    unsigned char mid() const override { return q7xxMsgId::SNUMREQ.mid; }
};

// Serial number reply: 17 raw bytes. The meter pads the report and keeps its
// last 5 bytes out of the checksum, so the consumed count is the available
// payload less 5, taken from each report's own length.
class q7xxUSBMsg_SNUMREPLY : public q7xxUSBMsgT {
public:
    static constexpr int payloadSize = 18;
    static constexpr int snumSize = 17;
    // Trailing payload bytes the checksum does not cover.
    static constexpr int uncheckedTail = 5;

    unsigned char rid() const override { return q7xxMsgId::SNUMREPLY.rid; }
    unsigned char mid() const override { return q7xxMsgId::SNUMREPLY.mid; }

    unsigned char first() const { return _first; }
    // The 17 serial-number bytes as received (bytes, not text).
    const std::string& snum() const { return _snum; }

protected:
    int _parse(const unsigned char* pos, int len) override;

private:
    unsigned char _first = 0; // not interpreted
    std::string _snum;
};

// Software reset; the meter does not answer.
class q7xxUSBMsg_SWRESET : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::SWRESET.rid; }
    unsigned char mid() const override { return q7xxMsgId::SWRESET.mid; }
};

// Hardware reset; the meter does not answer.
class q7xxUSBMsg_HWRESET : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::HWRESET.rid; }
    unsigned char mid() const override { return q7xxMsgId::HWRESET.mid; }
};

// Configuration reset to factory defaults; the meter does not answer.
class q7xxUSBMsg_CFGRESET : public q7xxUSBMsgT {
public:
    unsigned char rid() const override { return q7xxMsgId::CFGRESET.rid; }
    unsigned char mid() const override { return q7xxMsgId::CFGRESET.mid; }
};
