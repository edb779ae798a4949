#include "devclient.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "msgconv.h"
#include "sal/time.h"

namespace kivcli {

// Learns when the device service's node comes up and goes down.
struct devClientT::eventsT : rux::ipcEventHandlerT {
    void notify(const rux::ipcEventT& e) override {
        if (e.node != driverNode)
            return;
        std::lock_guard<std::mutex> g(mtx);
        if (e.type == rux::ipcEventT::enUP)
            up = true;
        else if (up)
            down = true;
        cv.notify_all();
    }
    std::mutex mtx;
    std::condition_variable cv;
    bool up = false;
    bool bindDone = false;
    int bindResult = -1;
    std::atomic<bool> down{false};
};

deviceT deviceOf(const kivsvc::kivmsgT& report) {
    deviceT d;
    d.id = report.dev_id();
    const auto& r = report.report_device();
    d.model = r.model();
    d.snum = r.snum().substr(0, r.snum().find('\0'));
    d.hwver = r.hwver();
    d.swver = r.swver();
    return d;
}

bool acked(const kivsvc::kivmsgT& reply) {
    return reply.msg_id() == kivsvc::kivmsgT::ack && reply.has_reply() &&
           reply.reply().ack() == kivsvc::replyT::ok;
}

devClientT::~devClientT() {
    close();
}

bool devClientT::driverGone() const {
    return _events && _events->down.load();
}

resultT devClientT::connect(long waitMs) {
    _svc = rux::ipcServiceT::handle(serviceName);
    _events = std::make_shared<eventsT>();
    _svc.setEventHandler(_events);
    // The bind waits for the daemon without limit; it runs aside so that the
    // wait here can end at the deadline.
    auto ev = _events;
    auto svc = _svc;
    const std::string node = "kivsvc-cli-" + std::to_string(::getpid());
    std::thread binder([ev, svc, node]() mutable {
        int r = svc.bind(node);
        std::lock_guard<std::mutex> g(ev->mtx);
        ev->bindDone = true;
        ev->bindResult = r;
        ev->cv.notify_all();
    });
    bool ok;
    {
        std::unique_lock<std::mutex> g(_events->mtx);
        ok = _events->cv.wait_for(g, std::chrono::milliseconds(waitMs), [&] {
            return (_events->bindDone && _events->bindResult != 0) ||
                   (_events->bindDone && _events->up);
        });
        ok = ok && _events->bindResult == 0;
    }
    if (!ok)
        _svc.shutdown(); // ends a bind still waiting for the daemon
    binder.join();
    _bound = true;
    return ok ? resultT::ok : resultT::unreachable;
}

void devClientT::close() {
    if (_bound) {
        _svc.shutdown();
        _bound = false;
    }
}

resultT devClientT::call(kivsvc::kivmsgT& request, kivsvc::kivmsgT& reply) {
    request.set_ivk_id(++_ivk);
    auto pb = std::make_unique<kivsvc::kivmsgT>(request);
    auto msg = msg_pb2ipc(pb, nullptr);
    if (!msg)
        return resultT::badReply; // a request too large for one message
    std::unique_ptr<rux::ipcMessageT> answer;
    int r = _svc.send(driverNode, std::move(msg), answer, rux::timeT::fromMs(_timeoutMs));
    if (r == 2)
        return resultT::timedOut;
    if (r != 0 || !answer)
        return resultT::unreachable;
    auto decoded = msg_ipc2pb(answer);
    if (!decoded)
        return resultT::badReply;
    reply = std::move(*decoded);
    return resultT::ok;
}

resultT devClientT::call(kivsvc::kivmsgT::msgIdT id, int devId, kivsvc::kivmsgT& reply) {
    kivsvc::kivmsgT request;
    request.set_msg_id(id);
    if (devId >= 0)
        request.set_dev_id(devId);
    return call(request, reply);
}

resultT devClientT::devices(std::map<int, deviceT>& out, bool stay,
                            const std::function<bool(const deviceT&)>& enough) {
    kivsvc::kivmsgT reply;
    resultT r = call(kivsvc::kivmsgT::registerForDeviceNotif, -1, reply);
    if (r != resultT::ok)
        return r;
    kivsvc::kivmsgT report;
    while (nextReport(report, quietMs)) {
        deviceT d = deviceOf(report);
        if (report.report_device().event() == kivsvc::reportDeviceT::attached) {
            out[d.id] = d;
            if (enough && enough(d))
                break;
        } else {
            out.erase(d.id);
        }
    }
    if (!stay)
        r = call(kivsvc::kivmsgT::unregisterForDeviceNotif, -1, reply);
    return r;
}

bool devClientT::nextReport(kivsvc::kivmsgT& report, long ms) {
    for (;;) {
        std::string src;
        std::unique_ptr<rux::ipcMessageT> msg;
        if (_svc.recv(src, msg, rux::timeT::fromMs(ms)) != 0 || !msg)
            return false;
        auto pb = msg_ipc2pb(msg);
        if (pb && src == driverNode && pb->msg_id() == kivsvc::kivmsgT::reportDevice &&
            pb->has_report_device()) {
            report = std::move(*pb);
            return true;
        }
        // Anything else is no business of this client: dropped.
    }
}

} // namespace kivcli
