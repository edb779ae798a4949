// The datagrams of an attach and a presence notification crossing a real
// sequenced-packet connection at the daemon's address.
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include "ipc/message.h"
#include "ipc/names.h"
#include "ipc/wire.h"
#include "sal/socket.h"

using namespace rux;
using namespace rux::impl;

namespace {

// Private runtime directory so that parallel tests never share the daemon name.
class runtimeDirT {
public:
    runtimeDirT() {
        char tmpl[] = "/tmp/rux_ipc_xchg_XXXXXX";
        _dir = mkdtemp(tmpl);
        setenv("RUX_RUNTIME_DIR", _dir.c_str(), 1);
    }
    ~runtimeDirT() {
        std::string cmd = "rm -rf '" + _dir + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << _dir;
    }

private:
    std::string _dir;
};

} // namespace

TEST(IpcNames, WellKnownNames) {
    EXPECT_STREQ(g_ipcd_name, "rux_ipcd");
    EXPECT_EQ(daemonAddr.name(), "rux_ipcd");
    EXPECT_EQ(daemonAddr.type(), 1u);
    EXPECT_EQ(namelessAddr.name(), "nameless");
    EXPECT_EQ(nodeName_INVALID, "");
}

TEST(IpcExchange, AttachAndNotificationOverTheDaemonSocket) {
    runtimeDirT rt;
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(daemonAddr, 4));

    std::string seen;
    seqSocketT conn;
    std::thread daemon([&] {
        seqSocketT node;
        unixSockAddrT peer;
        if (!srv.accept(node, peer))
            return;
        dgramT in;
        unixSockAddrT from;
        ipcHeaderT h;
        ipcSubscrT s;
        if (!node.recv(in, from) || !ipcParseSubscr(in, h, s))
            return;
        seen = s.service + ":" + s.node;
        dgramT out;
        if (ipcBuildSubscrResponse(out, h, s, ipcSubscrT::enACCEPTED, 3))
            node.send(out, peer);
        ipcNotifT n;
        n.id = 4;
        n.up = true;
        n.node = "kivsvc-ui";
        if (ipcBuildNotif(out, 3, n))
            node.send(out, peer);
        // A user message travels unchanged, header included.
        ipcMessageT msg(5, 1);
        ipcHeaderT uh = msg._header();
        uh.srcId = 4;
        uh.dstId = 3;
        uh.ivkId = 21;
        msg._header(uh);
        msg.write("hello", 5);
        node.send(msg._dgram(), peer);
        // Wait for the node to close so that no send is lost on teardown.
        node.recv(in, from);
    });

    // However the test ends, the daemon thread is woken and joined.
    struct joinT {
        std::thread& t;
        srvSocketT<seqSocketT>& srv;
        seqSocketT& conn;
        void finish() {
            if (!t.joinable())
                return;
            conn.shutdown(3);
            srv.shutdown(3);
            t.join();
        }
        ~joinT() { finish(); }
    } joiner{daemon, srv, conn};

    ASSERT_TRUE(conn.connect(daemonAddr));
    dgramT attach;
    ASSERT_TRUE(ipcBuildAttach(attach, "local", "kivsvc-drv"));
    ASSERT_TRUE(conn.send(attach, daemonAddr));

    dgramT in;
    unixSockAddrT from;
    ipcHeaderT h;
    ASSERT_TRUE(conn.recv(in, from));
    ipcSubscrT resp;
    ASSERT_TRUE(ipcParseSubscr(in, h, resp));
    EXPECT_TRUE(h.reply);
    EXPECT_EQ(h.dstId, 3u);
    EXPECT_EQ(resp.status, 0u);
    EXPECT_EQ(resp.node, "kivsvc-drv");

    ASSERT_TRUE(conn.recv(in, from));
    EXPECT_EQ(in.length(), 30u + 9);
    ipcNotifT n;
    ASSERT_TRUE(ipcParseNotif(in, h, n));
    EXPECT_EQ(n.id, 4u);
    EXPECT_TRUE(n.up);
    EXPECT_EQ(n.node, "kivsvc-ui");

    ASSERT_TRUE(conn.recv(in, from));
    auto msg = ipcMessageT::create(std::move(in));
    ASSERT_TRUE(msg);
    EXPECT_EQ(std::string(msg->buf(), msg->currSize()), "hello");
    EXPECT_TRUE(msg->wantReply());
    EXPECT_EQ(unsigned(msg->priority()), 1u);
    EXPECT_EQ(msg->_header().srcId, 4u);

    joiner.finish();
    EXPECT_EQ(seen, "local:kivsvc-drv");
}
