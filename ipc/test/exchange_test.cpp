// Datagrams crossing a real sequenced-packet connection at the daemon's address.
#include <cstdlib>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <stdlib.h>

#include "ipc/message.h"
#include "ipc/names.h"
#include "ipc/wire.h"
#include "sal/socket.h"

using namespace rux;
using namespace rux::impl;

TEST(IpcNames, WellKnownNames) {
    EXPECT_EQ(daemonAddr, unixSockAddrT("rux_ipcd", 1));
    EXPECT_STREQ(g_ipcd_name, "rux_ipcd");
    EXPECT_EQ(namelessAddr.name(), "nameless");
    EXPECT_EQ(nodeName_INVALID, "");
}

TEST(IpcExchange, AttachNotificationAndUserMessage) {
    // A private runtime directory keeps parallel tests off each other's daemon.
    char tmpl[] = "/tmp/rux_ipc_xchg_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    setenv("RUX_RUNTIME_DIR", tmpl, 1);
    srvSocketT<seqSocketT> srv;
    ASSERT_TRUE(srv.bind(daemonAddr, 4));

    std::string seen; // read after the join only
    seqSocketT conn;
    std::thread daemon([&] {
        seqSocketT node;
        unixSockAddrT peer, from;
        dgramT in, out;
        ipcHeaderT h;
        ipcSubscrT s;
        if (!srv.accept(node, peer) || !node.recv(in, from) || !ipcParseSubscr(in, h, s))
            return;
        seen = s.service + ":" + s.node;
        if (ipcBuildSubscrResponse(out, h, s, ipcSubscrT::enACCEPTED, 3))
            node.send(out, peer);
        if (ipcBuildNotif(out, 3, ipcNotifT{4, true, "kivsvc-ui"}))
            node.send(out, peer);
        ipcMessageT msg(5, 1);
        h = ipcHeaderT();
        h.prio = 1;
        h.srcId = 4;
        h.ivkId = 21;
        msg._header(h);
        msg.write("hello", 5);
        node.send(msg._dgram(), peer);
        node.recv(in, from); // until the node closes, so that nothing is lost
    });
    // However the test ends, the daemon thread is woken and joined.
    auto finish = [&] {
        if (daemon.joinable()) {
            conn.shutdown(3);
            srv.shutdown(3);
            daemon.join();
        }
    };
    struct guardT {
        decltype(finish)& f;
        ~guardT() { f(); }
    } guard{finish};

    dgramT in;
    unixSockAddrT from;
    ipcHeaderT h;
    ASSERT_TRUE(conn.connect(daemonAddr));
    ASSERT_TRUE(ipcBuildAttach(in, "local", "kivsvc-drv"));
    ASSERT_TRUE(conn.send(in, daemonAddr));

    ipcSubscrT resp;
    ASSERT_TRUE(conn.recv(in, from));
    ASSERT_TRUE(ipcParseSubscr(in, h, resp));
    EXPECT_TRUE(h.reply);
    EXPECT_EQ(h.dstId, 3u);
    EXPECT_EQ(resp.node, "kivsvc-drv");

    ipcNotifT n;
    ASSERT_TRUE(conn.recv(in, from));
    EXPECT_EQ(in.length(), 30u + 9);
    ASSERT_TRUE(ipcParseNotif(in, h, n));
    EXPECT_EQ(n.node, "kivsvc-ui");

    ASSERT_TRUE(conn.recv(in, from));
    auto msg = ipcMessageT::create(std::move(in));
    ASSERT_TRUE(msg);
    EXPECT_EQ(std::string(msg->buf(), msg->currSize()), "hello");
    EXPECT_TRUE(msg->wantReply());
    EXPECT_EQ(unsigned(msg->priority()), 1u);

    finish();
    EXPECT_EQ(seen, "local:kivsvc-drv");
    std::system((std::string("rm -rf ") + tmpl).c_str());
}
