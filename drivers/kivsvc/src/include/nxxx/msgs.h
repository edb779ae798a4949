// The bootloader's messages: identification, firmware blocks, erase, the
// application record and the firmware checksum, with their conversions from
// and to the client schema (kivsvc::bootAppDataT, kivsvc::fwBlockT).
//
// Requests are made, filled (fromCbusMsg or the setters) and formatted;
// replies are parsed and read (getters, toCbusMsg). Getters of a reply are
// valid after parse() returned true. A conversion returns false when the
// client's message cannot become a request; nothing is sent then. Same
// ownership and thread rules as nxxxUSBMsgT.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "nxxx/usbmsg.h"

namespace kivsvc {
class bootAppDataT;
class fwBlockT;
} // namespace kivsvc

namespace nxxxMsgId {
constexpr unsigned char ridIdent = 1; // report id of the identification request
constexpr unsigned char ridBoot = 2;  // report id of every other request
constexpr unsigned char DEVID = 0;
constexpr unsigned char WRITEFW = 1;
constexpr unsigned char ERASEFW = 2;
constexpr unsigned char SETAPPDATA = 3;
constexpr unsigned char GETAPPDATA = 4;
constexpr unsigned char GETCRC = 5;
} // namespace nxxxMsgId

// The bootloader's record of the installed application, in wire order.
struct nxxxAppRecordT {
    static constexpr int size = 28;
    uint32_t magic = 0;
    uint32_t state = 0;
    uint32_t offset = 0;
    uint32_t len = 0;
    uint32_t crc32 = 0;
    uint32_t version = 0;
    uint32_t code = 0;
};

// Identification request.
class nxxxUSBMsg_DEVIDREQ : public nxxxUSBMsgT {
public:
    unsigned char rid() const override { return nxxxMsgId::ridIdent; }
    unsigned char mid() const override { return nxxxMsgId::DEVID; }
};

// Identification reply: hardware version, software version, name, serial.
class nxxxUSBMsg_DEVIDREPLY : public nxxxUSBMsgT {
public:
    // A reply parses once its whole payload is there, the 45 bytes and no
    // more: a report that holds the complete identification is not refused
    // for lacking a byte past it.
    static constexpr int payloadSize = 45;
    static constexpr int nameSize = 16;
    static constexpr int snumSize = 24;

    unsigned char rid() const override { return replyRid; }
    unsigned char mid() const override { return nxxxMsgId::DEVID; }

    unsigned char hwver() const { return _hwver; }
    uint32_t swver() const { return _swver; }
    // The 16 name bytes and a terminating NUL.
    const std::array<char, nameSize + 1>& rawName() const { return _name; }
    // The name up to its first NUL.
    std::string name() const;
    // The 24 serial-number bytes and a terminating NUL.
    const std::array<char, snumSize + 1>& rawSnum() const { return _snum; }

protected:
    int _parse(const unsigned char* pos, int len) override;

private:
    unsigned char _hwver = 0;
    uint32_t _swver = 0;
    std::array<char, nameSize + 1> _name{};
    std::array<char, snumSize + 1> _snum{};
};

// One firmware block: the target offset and at most maxData bytes.
class nxxxUSBMsg_BOOTWRITEFW : public nxxxUSBMsgT {
public:
    static constexpr std::size_t maxData = 56;

    unsigned char rid() const override { return nxxxMsgId::ridBoot; }
    unsigned char mid() const override { return nxxxMsgId::WRITEFW; }

    // False (and nothing changed) for a block of more than maxData bytes.
    bool fromCbusMsg(const kivsvc::fwBlockT& block);
    bool set(uint32_t offset, const unsigned char* data, std::size_t len);
    uint32_t offset() const { return _offset; }
    const std::vector<unsigned char>& data() const { return _data; }

protected:
    int _format(unsigned char* pos) const override;

private:
    uint32_t _offset = 0;
    std::vector<unsigned char> _data;
};

// Erase of the application area: offset and length.
class nxxxUSBMsg_BOOTERASEFW : public nxxxUSBMsgT {
public:
    static constexpr int payloadSize = 8;

    nxxxUSBMsg_BOOTERASEFW() { _bsz = payloadSize; }
    unsigned char rid() const override { return nxxxMsgId::ridBoot; }
    unsigned char mid() const override { return nxxxMsgId::ERASEFW; }

    // False when `offset` or `len` is absent: the device would erase a range
    // nobody chose.
    bool fromCbusMsg(const kivsvc::bootAppDataT& app);
    void set(uint32_t offset, uint32_t len) {
        _offset = offset;
        _len = len;
    }
    uint32_t offset() const { return _offset; }
    uint32_t len() const { return _len; }

protected:
    int _format(unsigned char* pos) const override;

private:
    uint32_t _offset = 0;
    uint32_t _len = 0;
};

// Writes the application record; fields absent from the client's message
// are sent as 0.
class nxxxUSBMsg_BOOTSETAPPDATA : public nxxxUSBMsgT {
public:
    nxxxUSBMsg_BOOTSETAPPDATA() { _bsz = nxxxAppRecordT::size; }
    unsigned char rid() const override { return nxxxMsgId::ridBoot; }
    unsigned char mid() const override { return nxxxMsgId::SETAPPDATA; }

    bool fromCbusMsg(const kivsvc::bootAppDataT& app);
    nxxxAppRecordT& record() { return _rec; }
    const nxxxAppRecordT& record() const { return _rec; }

protected:
    int _format(unsigned char* pos) const override;

private:
    nxxxAppRecordT _rec;
};

class nxxxUSBMsg_BOOTGETAPPDATA : public nxxxUSBMsgT {
public:
    unsigned char rid() const override { return nxxxMsgId::ridBoot; }
    unsigned char mid() const override { return nxxxMsgId::GETAPPDATA; }
};

class nxxxUSBMsg_BOOTGETAPPDATAREPLY : public nxxxUSBMsgT {
public:
    unsigned char rid() const override { return replyRid; }
    unsigned char mid() const override { return nxxxMsgId::GETAPPDATA; }

    // Sets all seven fields of `app`.
    bool toCbusMsg(kivsvc::bootAppDataT& app) const;
    const nxxxAppRecordT& record() const { return _rec; }

protected:
    int _parse(const unsigned char* pos, int len) override;

private:
    nxxxAppRecordT _rec;
};

class nxxxUSBMsg_BOOTGETCRC : public nxxxUSBMsgT {
public:
    unsigned char rid() const override { return nxxxMsgId::ridBoot; }
    unsigned char mid() const override { return nxxxMsgId::GETCRC; }
};

class nxxxUSBMsg_BOOTGETCRCREPLY : public nxxxUSBMsgT {
public:
    unsigned char rid() const override { return replyRid; }
    unsigned char mid() const override { return nxxxMsgId::GETCRC; }

    // Sets `crc32` of `app` and nothing else.
    bool toCbusMsg(kivsvc::bootAppDataT& app) const;
    uint32_t crc() const { return _crc; }

protected:
    int _parse(const unsigned char* pos, int len) override;

private:
    uint32_t _crc = 0;
};

// The replies that carry no payload.
class nxxxUSBMsg_BOOTWRITEFWREPLY : public nxxxUSBMsgT {
public:
    unsigned char rid() const override { return replyRid; }
    unsigned char mid() const override { return nxxxMsgId::WRITEFW; }
};

class nxxxUSBMsg_BOOTERASEFWREPLY : public nxxxUSBMsgT {
public:
    unsigned char rid() const override { return replyRid; }
    unsigned char mid() const override { return nxxxMsgId::ERASEFW; }
};

class nxxxUSBMsg_BOOTSETAPPDATAREPLY : public nxxxUSBMsgT {
public:
    unsigned char rid() const override { return replyRid; }
    unsigned char mid() const override { return nxxxMsgId::SETAPPDATA; }
};
