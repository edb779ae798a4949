// Client sessions reporting devices to real nodes over a real rux_ipcd: the
// device service's side is this process's "local" service, its clients are
// raw connections to the daemon.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include "client.h"
#include "devdb.h"
#include "ipc/names.h"
#include "ipc/service.h"
#include "ipc/wire.h"
#include "q720sim.h"
#include "rux_logger_xface.h"
#include "rux_testsupport.h"
#include "sal/socket.h"

namespace {

using kivsvc::kivmsgT;
using kivsvc::reportDeviceT;
using rux::test::msT;
using rux::test::processT;
using rux::test::tempDirT;
using namespace rux::impl;
using rux::dgramT;

// What a node was told: "+3" attached, "-3" removed.
using reportsT = std::vector<std::string>;

std::string cfgText(const std::string& defaults) {
    return "[SERVICES]\ns1 = local\n[DEFAULTS]\n" + defaults + "[local]\n";
}

// One rux_ipcd for the whole run, in a private runtime directory, and this
// process bound as the device service on "local".
class daemonT {
public:
    // WAIT stalls the service while a node does not read, and one queued
    // message per priority makes a stalled sender wait at once: the harshest
    // setting for whoever sends.
    static constexpr const char* cfg = "QUEUE_DIM = 1\nCONGESTION = WAIT\nLOG_LEV = WARNING\n";

    daemonT() {
        _cfgPath = _dir.sub("rux_ipc.cfg");
        std::ofstream(_cfgPath) << cfgText(cfg);
        setenv("RUX_RUNTIME_DIR", _dir.path().c_str(), 1);
        setenv("rux_ipc_config", _cfgPath.c_str(), 1);
    }

    bool start() {
        processT::optionsT o;
        o.argv = {RUX_IPCD, "-c", _cfgPath, "-D", "console", "-G", _dir.path()};
        o.env["RUX_RUNTIME_DIR"] = _dir.path();
        o.env["HOME"] = _dir.path();
        o.notify = true;
        _proc = std::make_unique<processT>(o);
        return _proc->start() && _proc->waitForNotify("READY=1");
    }
    bool stop() { return _proc->signal(SIGTERM) && _proc->wait(); }

private:
    tempDirT _dir;
    std::string _cfgPath;
    std::unique_ptr<processT> _proc;
};

// Nodes of "local" as this process's service sees them come and go.
class presenceT : public rux::ipcEventHandlerT {
public:
    void notify(const rux::ipcEventT& ev) override {
        std::lock_guard<std::mutex> g(_m);
        if (ev.type == rux::ipcEventT::enUP)
            _up.insert(ev.node);
        else
            _up.erase(ev.node);
        _cv.notify_all();
    }
    bool wait(const std::string& node, bool up) {
        std::unique_lock<std::mutex> g(_m);
        return _cv.wait_for(g, std::chrono::seconds(10),
                            [&] { return _up.count(node) == (up ? 1u : 0u); });
    }

private:
    std::mutex _m;
    std::condition_variable _cv;
    std::set<std::string> _up;
};

daemonT* g_daemon;
std::shared_ptr<presenceT> g_presence;
// The service object lives as long as the process; a plain global pointer
// keeps it visibly reachable for the leak checker after the service table is
// gone at exit.
rux::ipcServiceT* g_service;

class environmentT : public ::testing::Environment {
public:
    void SetUp() override {
        g_daemon = new daemonT;
        ASSERT_TRUE(g_daemon->start());
        auto svc = rux::ipcServiceT::handle("local");
        g_service = svc.operator->();
        g_presence = std::make_shared<presenceT>();
        svc.setEventHandler(g_presence);
        ASSERT_EQ(svc.bind("kivsvc-drv"), 0);
    }
};

const auto* g_env = ::testing::AddGlobalTestEnvironment(new environmentT);

// True once the session's sender has handed every report to the service (and
// logged any failure).
bool drained(const clientT& c) {
    for (int i = 0; i < 1000 && c._pendingReports() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return c._pendingReports() == 0;
}

// A client node: a raw connection to the daemon that reads the reports sent
// to it on a thread of its own (or, when `reading` is false, never reads).
class nodeT {
public:
    explicit nodeT(const std::string& name, bool reading = true) : _name(name) {
        dgramT d;
        ipcHeaderT h;
        ipcSubscrT s;
        EXPECT_TRUE(_conn.connect(daemonAddr));
        EXPECT_TRUE(ipcBuildAttach(d, "local", name));
        EXPECT_TRUE(_conn.send(d, daemonAddr));
        rux::unixSockAddrT from;
        EXPECT_TRUE(_conn.recv(d, from) && ipcParseSubscr(d, h, s) &&
                    s.status == ipcSubscrT::enACCEPTED);
        if (reading)
            _reader = std::thread(&nodeT::_read, this);
        EXPECT_TRUE(g_presence->wait(name, true));
        client = std::make_shared<clientT>(name, rux::ipcServiceT::handle("local"));
        devdbT::instance()->add(client);
    }
    ~nodeT() {
        devdbT::instance()->remove(client);
        _stop = true;
        if (_reader.joinable())
            _reader.join();
        _conn.close();
    }

    std::unique_ptr<kivmsgT> request(kivmsgT::msgIdT id) {
        auto m = std::make_unique<kivmsgT>();
        m->set_msg_id(id);
        return client->processRequest(std::move(m));
    }

    // Waits until `n` reports arrived; all of them, in order.
    reportsT waitReports(size_t n) {
        std::unique_lock<std::mutex> g(_m);
        _cv.wait_for(g, std::chrono::seconds(10), [&] { return _reports.size() >= n; });
        return _reports;
    }
    // The full reports (for their fields).
    std::vector<kivmsgT> messages() {
        std::lock_guard<std::mutex> g(_m);
        return _msgs;
    }
    // True when no report beyond the first `n` arrives before the client's
    // queue is empty and a round trip through the daemon has passed.
    bool noMoreThan(size_t n) {
        auto probe = std::make_unique<kivmsgT>();
        probe->set_msg_id(kivmsgT::noop);
        // A marker sent after everything queued: once it arrives, so has all else.
        EXPECT_TRUE(drained(*client));
        auto msg = msg_pb2ipc(probe, nullptr);
        EXPECT_EQ(rux::ipcServiceT::handle("local").send(_name, std::move(msg)), 0);
        std::unique_lock<std::mutex> g(_m);
        _cv.wait_for(g, std::chrono::seconds(10), [&] { return _markers > 0; });
        --_markers;
        return _reports.size() == n;
    }

    std::shared_ptr<clientT> client;

private:
    void _read() {
        std::vector<char> buf(1 << 20);
        while (!_stop) {
            pollfd p{_conn.nativeHandle(), POLLIN, 0};
            if (::poll(&p, 1, 50) != 1)
                continue;
            ssize_t r = ::recv(p.fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (r <= 0)
                return;
            dgramT d{uint32_t(r)};
            d.write(buf.data(), uint32_t(r));
            if (ipcRawKind(d) != enIPC_USER)
                continue;
            auto msg = rux::ipcMessageT::create(std::move(d));
            auto pb = msg ? msg_ipc2pb(msg) : nullptr;
            std::lock_guard<std::mutex> g(_m);
            if (!pb) {
                _reports.push_back("undecodable");
            } else if (pb->msg_id() == kivmsgT::noop) {
                ++_markers;
            } else {
                bool attached = pb->report_device().event() == reportDeviceT::attached;
                _reports.push_back((attached ? "+" : "-") + std::to_string(pb->dev_id()));
                _msgs.push_back(*pb);
            }
            _cv.notify_all();
        }
    }

    std::string _name;
    rux::seqSocketT _conn;
    std::thread _reader;
    std::atomic<bool> _stop{false};
    std::mutex _m;
    std::condition_variable _cv;
    reportsT _reports;
    std::vector<kivmsgT> _msgs;
    int _markers = 0;
};

std::shared_ptr<kivDevT> meter(const std::string& snum, const std::string& hwver = "h",
                               const std::string& swver = "s") {
    return std::make_shared<q720simT>(reportDeviceT::Q720, snum, hwver, swver);
}

// Runs `fn` on a thread of its own; true when it returned within `seconds`.
// A call that hangs is left behind rather than hanging the test too.
template <class F> bool finishesWithin(F fn, int seconds) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> f = done->get_future();
    std::thread([fn, done]() mutable {
        fn();
        done->set_value();
    }).detach();
    return f.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
}

std::string plus(int id) {
    return "+" + std::to_string(id);
}
std::string minus(int id) {
    return "-" + std::to_string(id);
}

// Devices added by a test, removed again at its end.
struct devicesT {
    std::vector<int> ids;
    int add(std::shared_ptr<kivDevT> dev) {
        devdbT::wrT wr;
        ids.push_back(wr.add(std::move(dev)));
        return ids.back();
    }
    ~devicesT() {
        devdbT::wrT wr;
        for (int id : ids)
            wr.remove(id);
    }
};

TEST(clientT, RegistrationAnnouncesCurrentDevicesInOrder) {
    devicesT devs;
    int a = devs.add(meter("A", "hw1", "sw1"));
    auto bare = meter("");
    bare->hwver("");
    bare->swver("");
    int b = devs.add(bare);
    nodeT ui("ui-register");
    auto ack = ui.request(kivmsgT::registerForDeviceNotif);
    EXPECT_EQ(ack->msg_id(), kivmsgT::ack);
    EXPECT_EQ(ack->reply().ack(), kivsvc::replyT::ok);
    EXPECT_EQ(ui.waitReports(2), (reportsT{plus(a), plus(b)}));

    auto msgs = ui.messages();
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_FALSE(msgs[0].has_ivk_id());
    EXPECT_EQ(msgs[0].report_device().model(), reportDeviceT::Q720);
    EXPECT_EQ(msgs[0].report_device().snum(), "A");
    EXPECT_EQ(msgs[0].report_device().hwver(), "hw1");
    EXPECT_EQ(msgs[0].report_device().swver(), "sw1");
    // Empty texts are left out; the model is always there.
    EXPECT_FALSE(msgs[1].report_device().has_snum());
    EXPECT_FALSE(msgs[1].report_device().has_hwver());
    EXPECT_FALSE(msgs[1].report_device().has_swver());
    EXPECT_TRUE(msgs[1].report_device().has_model());
}

TEST(clientT, RemovalsComeBeforeAttachmentsOfOneChange) {
    devicesT devs;
    int a = devs.add(meter("A"));
    int b = devs.add(meter("B"));
    nodeT ui("ui-order");
    ui.request(kivmsgT::registerForDeviceNotif);
    ASSERT_EQ(ui.waitReports(2).size(), 2u);

    int c, d;
    {
        devdbT::wrT wr;
        c = wr.add(meter("C"));
        wr.remove(b);
        d = wr.add(meter("D"));
        wr.remove(a);
    }
    devs.ids.push_back(c);
    devs.ids.push_back(d);
    EXPECT_EQ(ui.waitReports(6),
              (reportsT{plus(a), plus(b), minus(a), minus(b), plus(c), plus(d)}));
    auto removed = ui.messages()[2];
    EXPECT_EQ(removed.report_device().event(), reportDeviceT::removed);
    EXPECT_FALSE(removed.report_device().has_model());
    EXPECT_FALSE(removed.report_device().has_snum());

    // A change that leaves this client's view alone sends nothing more.
    { devdbT::wrT wr; }
    EXPECT_TRUE(ui.noMoreThan(6));
}

TEST(clientT, UnregisteredClientHearsNothingAndRegisteringAgainAnnouncesAll) {
    devicesT devs;
    int a = devs.add(meter("A"));
    nodeT ui("ui-again");
    // Not registered yet: changes are not reported.
    int b = devs.add(meter("B"));
    EXPECT_TRUE(ui.noMoreThan(0));

    ui.request(kivmsgT::registerForDeviceNotif);
    ASSERT_EQ(ui.waitReports(2), (reportsT{plus(a), plus(b)}));
    auto ack = ui.request(kivmsgT::unregisterForDeviceNotif);
    EXPECT_EQ(ack->reply().ack(), kivsvc::replyT::ok);
    int c = devs.add(meter("C"));
    {
        devdbT::wrT wr;
        wr.remove(a);
    }
    EXPECT_TRUE(ui.noMoreThan(2));

    // Every current device again; the one that went while unregistered is
    // reported removed at the next change.
    ui.request(kivmsgT::registerForDeviceNotif);
    EXPECT_EQ(ui.waitReports(4), (reportsT{plus(a), plus(b), plus(b), plus(c)}));
    { devdbT::wrT wr; }
    EXPECT_EQ(ui.waitReports(5), (reportsT{plus(a), plus(b), plus(b), plus(c), minus(a)}));
    EXPECT_TRUE(ui.noMoreThan(5));
}

// A node that never reads stalls the daemon's service (WAIT) and then every
// send to it; the database, its drivers and other sessions carry on.
TEST(clientT, NodeThatDoesNotReadBlocksNeitherDriversNorRequests) {
    nodeT stuck("ui-stuck", false);
    stuck.request(kivmsgT::registerForDeviceNotif);

    // The driver's side: every device change notifies the stuck session.
    ASSERT_TRUE(finishesWithin(
        [] {
            for (int i = 0; i < 3000; ++i) {
                int id;
                {
                    devdbT::wrT wr;
                    id = wr.add(meter("X"));
                }
                devdbT::wrT wr;
                wr.remove(id);
            }
        },
        60));

    // The stalled session still answers requests (they run on the device
    // service's receiver thread, not on its sender).
    devicesT devs;
    int a = devs.add(meter("A"));
    auto reply = std::make_shared<std::unique_ptr<kivmsgT>>();
    auto client = stuck.client;
    ASSERT_TRUE(finishesWithin(
        [client, reply, a] {
            kivmsgT m;
            m.set_msg_id(kivmsgT::getStatus);
            m.set_dev_id(a);
            *reply = client->processRequest(std::make_unique<kivmsgT>(m));
        },
        60));
    EXPECT_EQ((*reply)->msg_id(), kivmsgT::reportStatus);
    EXPECT_GT(stuck.client->_pendingReports(), 0u);
}

// While the daemon is away every send waits for it to come back; device
// changes go on meanwhile, and sessions made after its return are served.
TEST(clientT, DaemonRestartBlocksNeitherDriversNorRequests) {
    devicesT devs;
    int a = devs.add(meter("A"));
    {
        nodeT ui("ui-before");
        ui.request(kivmsgT::registerForDeviceNotif);
        ASSERT_EQ(ui.waitReports(1), (reportsT{plus(a)}));

        ASSERT_TRUE(g_daemon->stop());
        ASSERT_TRUE(g_presence->wait("ui-before", false));
        ASSERT_TRUE(finishesWithin(
            [] {
                for (int i = 0; i < 100; ++i) {
                    int id;
                    {
                        devdbT::wrT wr;
                        id = wr.add(meter("Y"));
                    }
                    devdbT::wrT wr;
                    wr.remove(id);
                }
            },
            60));
        EXPECT_EQ(ui.request(kivmsgT::getSvcVersion)->svc_version(), "1.4.3.14");
    }
    ASSERT_TRUE(g_daemon->start());
    nodeT after("ui-after");
    after.request(kivmsgT::registerForDeviceNotif);
    EXPECT_EQ(after.waitReports(1), (reportsT{plus(a)}));
}

// A report to a node the service does not know is logged and dropped; the
// device stays announced, so the next change does not repeat it.
TEST(clientT, FailedReportIsLoggedAndNotRetried) {
    std::ostringstream os;
    rux::loggerT log("nobody-here");
    log.setLogDev(std::make_shared<rux::streamLogDevT>("capture", os));
    log.level(rux::log::DEBUG);
    log.printTime(false);
    devicesT devs;
    int a = devs.add(meter("A"));
    {
        auto client = std::make_shared<clientT>("nobody-here", rux::ipcServiceT::handle("local"));
        devdbT::instance()->add(client);
        auto m = std::make_unique<kivmsgT>();
        m->set_msg_id(kivmsgT::registerForDeviceNotif);
        EXPECT_EQ(client->processRequest(std::move(m))->reply().ack(), kivsvc::replyT::ok);
        EXPECT_TRUE(drained(*client));
        { devdbT::wrT wr; }
        EXPECT_TRUE(drained(*client));
        devdbT::instance()->remove(client);
    }
    log.resetLogDev();
    std::string text = os.str();
    EXPECT_NE(text.find("INF nobody-here -> { _register } registered for device change "
                        "notifications\n"),
              std::string::npos);
    EXPECT_NE(
        text.find("INF nobody-here -> { _sendNotifyPresence } notifying node that device id " +
                  std::to_string(a) + " has been connected\n"),
        std::string::npos);
    EXPECT_NE(text.find("DBG nobody-here -> { _sendNotifyPresence } sending unsolicited:\n"
                        "msg_id: reportDevice\n"),
              std::string::npos);
    size_t first =
        text.find("ERR nobody-here -> { _sendNotifyPresence } failed to send unsolicited!\n");
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("unsolicited!", first + 60), std::string::npos) << text;
}

} // namespace
