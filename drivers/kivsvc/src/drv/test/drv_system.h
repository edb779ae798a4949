// The device service as its users run it: rux_ipcd, kivsvc-emu and kivsvc-drv
// in child processes sharing a private runtime and emulation directory, and a
// client node in the test process built on the IPC client library.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <memory>
#include <string>
#include <vector>

#include "ipc/service.h"
#include "kivsvc_common.h"
#include "rux_testsupport.h"

namespace drvtest {

using rux::test::msT;
using rux::test::processT;

class systemT {
public:
    systemT() {
        _home = _dir.sub("home", true);
        _run = _dir.sub("run", true);
        _emu = _dir.sub("emu", true);
        _logs = _dir.sub("log", true);
        // The client node of the test process finds the daemon here too.
        setenv("RUX_RUNTIME_DIR", _run.c_str(), 1);
        setenv("RUX_HID_EMU_DIR", _emu.c_str(), 1);
    }

    std::map<std::string, std::string> env() const {
        return {{"HOME", _home}, {"RUX_RUNTIME_DIR", _run}, {"RUX_HID_EMU_DIR", _emu}};
    }

    // rux_ipcd, ready.
    bool startDaemon() {
        processT::optionsT o;
        o.argv = {RUX_IPCD, "-c", RUX_IPC_CFG, "-D", "console", "-L", "info", "-G", _logs};
        o.env = env();
        o.notify = true;
        ipcd = std::make_unique<processT>(o);
        return ipcd->start() && ipcd->waitForNotify("READY=1");
    }

    // kivsvc-emu with a meter of each protocol version and a bootloader, all
    // plugged in once it is ready.
    bool startEmulator() {
        processT::optionsT o;
        o.argv = {KIVSVC_EMU, "-m", "Q8.20 MAGMETER,SN000201,5", "-m",
                  "Q7.20 MAGMETER,SN000102,2", "-D", "console", "-L", "info", "-G", _logs};
        o.env = env();
        o.notify = true;
        o.stdinPipe = true;
        emu = std::make_unique<processT>(o);
        if (!emu->start() || !emu->waitForNotify("READY=1") ||
            !emu->waitForOutput("plugged meter2"))
            return false;
        return emuCommand("boot add BL000003", "plugged boot3");
    }

    // A line typed at the emulator's console; waits for `answer`.
    bool emuCommand(const std::string& line, const std::string& answer) {
        size_t from = emu->output().size();
        return emu->writeInput(line + "\r") && emu->waitForOutput(answer, msT(10000), from);
    }

    // kivsvc-drv, ready (bound on the IPC service), with its telnet console
    // on a free port.
    bool startDriver(std::vector<std::string> extra = {}, bool waitReady = true) {
        processT::optionsT o;
        o.argv = {KIVSVC_DRV, "-D", "console", "-L", "debug", "-B", "127.0.0.1:0", "-G", _logs};
        o.argv.insert(o.argv.end(), extra.begin(), extra.end());
        o.env = env();
        o.notify = true;
        drv = std::make_unique<processT>(o);
        if (!drv->start())
            return false;
        if (!drv->waitForOutput("telnet server listening on"))
            return false;
        telnetPort = rux::test::portAfter(drv->output(), "telnet server listening on");
        return !waitReady || drv->waitForNotify("READY=1");
    }

    // The whole system with every emulated device identified by the service.
    bool startAll() {
        return startDaemon() && startEmulator() && startDriver() &&
               drv->waitForOutput("SN000201") && drv->waitForOutput("SN000102") &&
               drv->waitForOutput("BL000003");
    }

    rux::test::tempDirT _dir;
    std::string _home, _run, _emu, _logs;
    std::unique_ptr<processT> ipcd, emu, drv;
    uint16_t telnetPort = 0;
};

// A client node of service "local", pulling what it receives.
class clientNodeT {
public:
    // Bound, and the device service's node known (calls before that find no
    // destination).
    explicit clientNodeT(const std::string& name) : svc(rux::ipcServiceT::handle("local")) {
        auto ev = std::make_shared<eventsT>();
        svc.setEventHandler(ev);
        bound = svc.bind(name) == 0;
        std::unique_lock<std::mutex> g(ev->mtx);
        bound = bound && ev->cv.wait_for(g, std::chrono::seconds(10), [&] { return ev->drvUp; });
    }
    ~clientNodeT() { svc.shutdown(); }

    // A synchronous request to the device service; empty when it got no reply.
    std::unique_ptr<kivsvc::kivmsgT> call(kivsvc::kivmsgT request, int* result = nullptr) {
        auto pb = std::make_unique<kivsvc::kivmsgT>(std::move(request));
        auto msg = msg_pb2ipc(pb, nullptr);
        std::unique_ptr<rux::ipcMessageT> reply;
        int r = svc.send("kivsvc-drv", std::move(msg), reply, rux::timeT::fromMs(10000));
        if (result)
            *result = r;
        if (r != 0 || !reply)
            return nullptr;
        return msg_ipc2pb(reply);
    }

    std::unique_ptr<kivsvc::kivmsgT> call(kivsvc::kivmsgT::msgIdT id, int devId = -1) {
        kivsvc::kivmsgT m;
        m.set_msg_id(id);
        m.set_ivk_id(++_ivk);
        m.set_dev_id(devId);
        return call(m);
    }

    // The next one-way message from the device service; empty after `ms`.
    std::unique_ptr<kivsvc::kivmsgT> next(int ms = 10000) {
        std::string src;
        std::unique_ptr<rux::ipcMessageT> msg;
        if (svc.recv(src, msg, rux::timeT::fromMs(ms)) != 0 || !msg)
            return nullptr;
        return msg_ipc2pb(msg);
    }

    rux::ipcServiceT::handleT svc;
    bool bound = false;

private:
    struct eventsT : rux::ipcEventHandlerT {
        void notify(const rux::ipcEventT& e) override {
            std::lock_guard<std::mutex> g(mtx);
            if (e.node == "kivsvc-drv")
                drvUp = e.type == rux::ipcEventT::enUP;
            cv.notify_all();
        }
        std::mutex mtx;
        std::condition_variable cv;
        bool drvUp = false;
    };

    int _ivk = 0;
};

inline bool acked(const std::unique_ptr<kivsvc::kivmsgT>& r) {
    return r && r->msg_id() == kivsvc::kivmsgT::ack && r->has_reply() &&
           r->reply().ack() == kivsvc::replyT::ok;
}

} // namespace drvtest
