// Feeds arbitrary bytes to every datagram parser, as a peer process could. A
// datagram that parses must build back into one that parses to the same fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ipc/message.h"
#include "ipc/wire.h"

using namespace rux;
using namespace rux::impl;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

bool sameHeader(const ipcHeaderT& a, const ipcHeaderT& b) {
    return a.kind == b.kind && unsigned(a.prio) == unsigned(b.prio) && a.reply == b.reply &&
           a.syncFwd == b.syncFwd && a.srcId == b.srcId && a.dstId == b.dstId &&
           a.fwdId == b.fwdId && a.ivkId == b.ivkId;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return 0;
    // Exactly sized heap storage: any read past the length is out of bounds.
    std::unique_ptr<char[]> mem(new char[size ? size : 1]);
    if (size)
        std::memcpy(mem.get(), data, size);
    dgramT d(mem.get(), uint32_t(size), uint32_t(size));

    ipcHeaderT h;
    if (!ipcParseHeader(d, h))
        return 0;

    ipcSubscrT s;
    ipcNotifT n;
    ipcDnsT q;
    ipcHeaderT h2;
    if (ipcParseSubscr(d, h2, s)) {
        dgramT out;
        check(ipcBuildSubscr(out, h2, s));
        ipcSubscrT s2;
        ipcHeaderT h3;
        check(ipcParseSubscr(out, h3, s2));
        check(sameHeader(h2, h3) && s.type == s2.type && s.status == s2.status &&
              s.service == s2.service && s.node == s2.node);
    }
    if (ipcParseNotif(d, h2, n)) {
        dgramT out;
        check(ipcBuildNotif(out, h2.dstId, n));
        ipcNotifT n2;
        ipcHeaderT h3;
        check(ipcParseNotif(out, h3, n2));
        check(n.id == n2.id && n.up == n2.up && n.node == n2.node);
    }
    if (ipcParseDns(d, h2, q)) {
        dgramT out;
        check(ipcBuildDns(out, h2, q));
        ipcDnsT q2;
        ipcHeaderT h3;
        check(ipcParseDns(out, h3, q2));
        check(sameHeader(h2, h3) && q.id == q2.id && q.node == q2.node);
    }

    // A user message wraps the datagram; its payload is everything after the header.
    auto msg = ipcMessageT::create(dgramT(d));
    check(msg != nullptr);
    check(msg->currSize() == size - ipcHeaderT::size);
    // The stream hands back every payload byte once, whatever is put back.
    {
        ipcMessageT::ioT io(*msg);
        size_t at = 0;
        for (int c; (c = io.get()) != EOF; ++at) {
            check(at < msg->currSize() && char(c) == msg->buf()[at]);
            if (c & 1) {
                check(bool(io.unget()));
                check(!io.unget()); // never more than one byte back
                io.clear();
                check(io.get() == c);
            }
        }
        check(at == msg->currSize());
    }
    check(msg->seek(0, enSEEK_SET) == 0);
    char buf[64];
    while (msg->read(buf, sizeof buf) > 0) {
    }
    auto rep = msg->reply(8);
    check(rep && rep->_header().ivkId == h.ivkId);
    return 0;
}
