#include "ipc/wire.h"

#include <cstring>

#include "sal/assert.h"

namespace rux {
namespace impl {

namespace {

// Payload offsets.
constexpr uint32_t kSubscrType = 21;
constexpr uint32_t kSubscrStatus = 25;
constexpr uint32_t kSubscrNames = 29;
constexpr uint32_t kNotifId = 21;
constexpr uint32_t kNotifUp = 25;
constexpr uint32_t kNotifName = 26;
constexpr uint32_t kDnsId = 21;
constexpr uint32_t kDnsName = 25;
// Fixed parts beyond the names: the padded sizes the format has always had.
constexpr uint32_t kSubscrFixed = 31; // + n + m
constexpr uint32_t kNotifFixed = 30;  // + k
constexpr uint32_t kDnsFixed = 30;    // + k
constexpr uint8_t kPrioMask = 0x07;

uint32_t getU32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void putU32(unsigned char* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

const unsigned char* bytes(const dgramT& d) {
    return reinterpret_cast<const unsigned char*>(d.buf());
}

bool hasNul(const std::string& s) {
    return s.find('\0') != std::string::npos;
}

// Reads a NUL-terminated name starting at `off`; `next` receives the offset past
// the terminator. False when no terminator lies before `len`.
bool getName(const unsigned char* p, uint32_t len, uint32_t off, std::string& out, uint32_t& next) {
    if (off >= len)
        return false;
    const void* nul = std::memchr(p + off, 0, len - off);
    if (!nul)
        return false;
    uint32_t end = uint32_t(static_cast<const unsigned char*>(nul) - p);
    out.assign(reinterpret_cast<const char*>(p + off), end - off);
    next = end + 1;
    return true;
}

// A zero-filled datagram of exactly `len` bytes, position 0.
dgramT zeroed(uint32_t len) {
    dgramT d(len);
    d.trunc(len); // fresh storage is zeroed
    return d;
}

unsigned char* wbytes(dgramT& d) {
    return reinterpret_cast<unsigned char*>(d.buf());
}

// Sizes are computed in 64 bits so that absurd names cannot wrap them.
bool fits(uint64_t len) {
    return len <= UINT32_MAX;
}

} // namespace

bool ipcParseHeader(const dgramT& d, ipcHeaderT& hdr) {
    if (d.length() < ipcHeaderT::size)
        return false;
    const unsigned char* p = bytes(d);
    if (p[0] > enIPC_DNS)
        return false;
    unsigned prio = p[4] & kPrioMask;
    if (prio > ipcPrioT::maxVal)
        return false;
    hdr.kind = p[0];
    hdr.prio = ipcPrioT(prio);
    hdr.reply = (p[4] & ipcHeaderT::replyFlag) != 0;
    hdr.syncFwd = (p[4] & ipcHeaderT::syncFwdFlag) != 0;
    hdr.srcId = getU32(p + 5);
    hdr.dstId = getU32(p + 9);
    hdr.fwdId = getU32(p + 13);
    hdr.ivkId = getU32(p + 17);
    return true;
}

int ipcRawKind(const dgramT& d) {
    if (d.length() < ipcHeaderT::size)
        return -1;
    return bytes(d)[0];
}

void ipcStoreHeader(dgramT& d, const ipcHeaderT& hdr) {
    RUX_FAULT_IF(d.capacity() < ipcHeaderT::size);
    RUX_FAULT_IF(hdr.kind > enIPC_DNS);
    if (d.length() < ipcHeaderT::size)
        d.trunc(ipcHeaderT::size);
    unsigned char* p = wbytes(d);
    p[0] = hdr.kind;
    p[1] = p[2] = p[3] = 0;
    p[4] = uint8_t(unsigned(hdr.prio) | (hdr.reply ? ipcHeaderT::replyFlag : 0) |
                   (hdr.syncFwd ? ipcHeaderT::syncFwdFlag : 0));
    putU32(p + 5, hdr.srcId);
    putU32(p + 9, hdr.dstId);
    putU32(p + 13, hdr.fwdId);
    putU32(p + 17, hdr.ivkId);
}

bool ipcBuildSubscr(dgramT& out, const ipcHeaderT& hdr, const ipcSubscrT& body) {
    uint64_t len = uint64_t(kSubscrFixed) + body.service.size() + body.node.size();
    if (hasNul(body.service) || hasNul(body.node) || !fits(len))
        return false;
    dgramT d = zeroed(uint32_t(len));
    ipcHeaderT h = hdr;
    h.kind = enIPC_SUBSCR;
    ipcStoreHeader(d, h);
    unsigned char* p = wbytes(d);
    putU32(p + kSubscrType, body.type);
    putU32(p + kSubscrStatus, body.status);
    std::memcpy(p + kSubscrNames, body.service.data(), body.service.size());
    std::memcpy(p + kSubscrNames + body.service.size() + 1, body.node.data(), body.node.size());
    out = std::move(d);
    return true;
}

bool ipcParseSubscr(const dgramT& d, ipcHeaderT& hdr, ipcSubscrT& body) {
    ipcHeaderT h;
    if (!ipcParseHeader(d, h) || h.kind != enIPC_SUBSCR || d.length() < kSubscrNames)
        return false;
    const unsigned char* p = bytes(d);
    ipcSubscrT b;
    b.type = getU32(p + kSubscrType);
    b.status = getU32(p + kSubscrStatus);
    uint32_t next;
    if (!getName(p, d.length(), kSubscrNames, b.service, next) ||
        !getName(p, d.length(), next, b.node, next))
        return false;
    hdr = h;
    body = std::move(b);
    return true;
}

bool ipcBuildAttach(dgramT& out, const std::string& service, const std::string& node) {
    ipcSubscrT body;
    body.type = ipcSubscrT::enATTACH;
    body.service = service;
    body.node = node;
    return ipcBuildSubscr(out, ipcHeaderT(), body);
}

bool ipcBuildAliasRequest(dgramT& out, uint32_t type, const std::string& service,
                          const std::string& name, uint32_t srcId, uint32_t ivkId) {
    ipcHeaderT hdr;
    hdr.srcId = srcId;
    hdr.ivkId = ivkId;
    ipcSubscrT body;
    body.type = type;
    body.service = service;
    body.node = name;
    return ipcBuildSubscr(out, hdr, body);
}

bool ipcBuildSubscrResponse(dgramT& out, const ipcHeaderT& request, const ipcSubscrT& body,
                            uint32_t status, uint32_t dstId) {
    ipcHeaderT hdr;
    hdr.reply = true;
    hdr.ivkId = request.ivkId;
    hdr.dstId = dstId;
    ipcSubscrT b = body;
    b.status = status;
    return ipcBuildSubscr(out, hdr, b);
}

bool ipcBuildNotif(dgramT& out, uint32_t dstId, const ipcNotifT& body) {
    uint64_t len = uint64_t(kNotifFixed) + body.node.size();
    if (hasNul(body.node) || !fits(len))
        return false;
    dgramT d = zeroed(uint32_t(len));
    ipcHeaderT hdr;
    hdr.kind = enIPC_NOTIF;
    hdr.dstId = dstId;
    ipcStoreHeader(d, hdr);
    unsigned char* p = wbytes(d);
    putU32(p + kNotifId, body.id);
    p[kNotifUp] = body.up ? 1 : 0;
    std::memcpy(p + kNotifName, body.node.data(), body.node.size());
    out = std::move(d);
    return true;
}

bool ipcParseNotif(const dgramT& d, ipcHeaderT& hdr, ipcNotifT& body) {
    ipcHeaderT h;
    if (!ipcParseHeader(d, h) || h.kind != enIPC_NOTIF || d.length() < kNotifName)
        return false;
    const unsigned char* p = bytes(d);
    if (p[kNotifUp] > 1)
        return false;
    ipcNotifT b;
    b.id = getU32(p + kNotifId);
    b.up = p[kNotifUp] == 1;
    uint32_t next;
    if (!getName(p, d.length(), kNotifName, b.node, next))
        return false;
    hdr = h;
    body = std::move(b);
    return true;
}

bool ipcBuildDns(dgramT& out, const ipcHeaderT& hdr, const ipcDnsT& body) {
    uint64_t len = uint64_t(kDnsFixed) + body.node.size();
    if (hasNul(body.node) || !fits(len))
        return false;
    dgramT d = zeroed(uint32_t(len));
    ipcHeaderT h = hdr;
    h.kind = enIPC_DNS;
    ipcStoreHeader(d, h);
    unsigned char* p = wbytes(d);
    putU32(p + kDnsId, body.id);
    std::memcpy(p + kDnsName, body.node.data(), body.node.size());
    out = std::move(d);
    return true;
}

bool ipcParseDns(const dgramT& d, ipcHeaderT& hdr, ipcDnsT& body) {
    ipcHeaderT h;
    if (!ipcParseHeader(d, h) || h.kind != enIPC_DNS || d.length() < kDnsName)
        return false;
    const unsigned char* p = bytes(d);
    ipcDnsT b;
    b.id = getU32(p + kDnsId);
    uint32_t next;
    if (!getName(p, d.length(), kDnsName, b.node, next))
        return false;
    hdr = h;
    body = std::move(b);
    return true;
}

bool ipcBuildDnsResponse(dgramT& out, const ipcHeaderT& request, const ipcDnsT& answer) {
    ipcHeaderT hdr = request;
    hdr.reply = true;
    hdr.dstId = request.srcId;
    return ipcBuildDns(out, hdr, answer);
}

} // namespace impl
} // namespace rux
