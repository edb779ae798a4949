// The IPC datagram format shared by the client library and the daemon.
//
// Every datagram starts with a packed 21-byte little-endian header (kind, flags
// with priority, reply and syncFwd, the source, destination, forwarder and
// invocation ids) followed by a kind-dependent payload. The builders and parsers
// below are the only code that knows the byte layout; they work byte by byte and
// never read outside [0, length) of the datagram they are given.
//
// Parsers return false for anything malformed: a datagram shorter than its
// header or than its kind's fixed part, a kind other than 0..3 (or not the one
// expected), a priority of 5 to 7, a name that is not NUL-terminated inside the
// datagram, a presence flag other than 0 or 1. Bytes after the last terminator
// are ignored. Builders return false for a name that holds a NUL character and
// otherwise produce the exact sizes: 31 + n + m bytes for a subscription, 30 + k
// for a presence notification or a name lookup, with every unused byte zero.
// Stateless functions; thread-safe on distinct datagrams.
#pragma once

#include <cstdint>
#include <string>

#include "ipc/prio.h"
#include "sal/dgram.h"

namespace rux {
namespace impl {

enum ipcKindT {
    enIPC_USER = 0,   // user message
    enIPC_SUBSCR = 1, // attach, bind or unbind, and the daemon's answers
    enIPC_NOTIF = 2,  // presence notification from the daemon
    enIPC_DNS = 3,    // name lookup
};

struct ipcHeaderT {
    static constexpr uint32_t size = 21;
    // Flag bits of byte 4 above the priority.
    static constexpr uint8_t replyFlag = 0x08;
    static constexpr uint8_t syncFwdFlag = 0x10;

    uint8_t kind = enIPC_USER;
    ipcPrioT prio;        // 0 most urgent .. 4
    bool reply = false;   // answer to a synchronous call
    bool syncFwd = false; // request forwarded synchronously for a secondary name
    uint32_t srcId = 0;   // sender, or the secondary name it sends for
    uint32_t dstId = 0;   // addressee
    uint32_t fwdId = 0;   // forwarding node; 0 when not forwarded
    uint32_t ivkId = 0;   // invocation id; 0 when no reply is expected
};

// Reads and validates the header of `d`.
bool ipcParseHeader(const dgramT& d, ipcHeaderT& hdr);
// The kind byte of `d` as it arrived, for reporting a datagram the parsers
// refuse or a kind its receiver does not handle; -1 when `d` is shorter than a
// header.
int ipcRawKind(const dgramT& d);
// Writes the header over the first 21 bytes of `d`, whose capacity must hold them
// (a framework assertion otherwise); the length grows to 21 if shorter and the
// position is left alone.
void ipcStoreHeader(dgramT& d, const ipcHeaderT& hdr);

// Subscription payload (kind 1).
struct ipcSubscrT {
    enum typeT { enATTACH = 0, enBIND = 1, enUNBIND = 2 };
    enum statusT { enACCEPTED = 0, enINVALID = 1, enREFUSED = 2 };

    uint32_t type = enATTACH;
    uint32_t status = enACCEPTED; // 0 in requests
    std::string service;
    std::string node; // primary name (attach) or secondary name (bind, unbind)
};

// `out` becomes a fresh datagram of exactly 31 + n + m bytes; the header's kind
// is forced to 1.
bool ipcBuildSubscr(dgramT& out, const ipcHeaderT& hdr, const ipcSubscrT& body);
bool ipcParseSubscr(const dgramT& d, ipcHeaderT& hdr, ipcSubscrT& body);

// The attach request a node sends first on a new connection.
bool ipcBuildAttach(dgramT& out, const std::string& service, const std::string& node);
// A bind (type 1) or unbind (type 2) request from node `srcId`, answered to `ivkId`.
bool ipcBuildAliasRequest(dgramT& out, uint32_t type, const std::string& service,
                          const std::string& name, uint32_t srcId, uint32_t ivkId);
// The daemon's answer to `request`: reply set, ivkId copied, type and names
// repeated, the given status and dstId.
bool ipcBuildSubscrResponse(dgramT& out, const ipcHeaderT& request, const ipcSubscrT& body,
                            uint32_t status, uint32_t dstId);

// Presence notification payload (kind 2).
struct ipcNotifT {
    uint32_t id = 0;  // node whose state changed
    bool up = false;  // true: connected
    std::string node; // its name
};

// `out` becomes the 30 + k byte notification for recipient `dstId`; every other
// header field is zero.
bool ipcBuildNotif(dgramT& out, uint32_t dstId, const ipcNotifT& body);
bool ipcParseNotif(const dgramT& d, ipcHeaderT& hdr, ipcNotifT& body);

// Name lookup payload (kind 3).
struct ipcDnsT {
    uint32_t id = 0;  // id to look up (0: by name), or the id found
    std::string node; // name to look up, or the name found
};

// `out` becomes a 30 + k byte lookup datagram; the header's kind is forced to 3.
bool ipcBuildDns(dgramT& out, const ipcHeaderT& hdr, const ipcDnsT& body);
bool ipcParseDns(const dgramT& d, ipcHeaderT& hdr, ipcDnsT& body);
// The daemon's answer to `request`: header repeated with reply set and dstId the
// requester's srcId.
bool ipcBuildDnsResponse(dgramT& out, const ipcHeaderT& request, const ipcDnsT& answer);

} // namespace impl
} // namespace rux
