#include "uiapp.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <mutex>
#include <sstream>
#include <vector>

#include "framereader.h"
#include "logger/level.h"
#include "msgline.h"
#include "sal/thread.h"

namespace log = rux::log;

// Log lines carry the name of the bridge step they belong to; helpers split
// off a step log under that step's name.
#define UI_LOG_AS(lev, fn)                                                                         \
    if (_log.level() < (lev)) {                                                                    \
    } else                                                                                         \
        ::rux::loggerT::logbufT(_log, (lev), (fn))
#define UI_LOG(lev) UI_LOG_AS(lev, __func__)

namespace {

using clockT = std::chrono::steady_clock;

const std::map<std::string, std::string>& knownServices() {
    static const std::map<std::string, std::string> m = {{"local", "kivsvc-drv"},
                                                         {"remote", "kivsvc-rass"}};
    return m;
}

bool isLoopback(const rux::ipv4AddressT& a) {
    return a.to_bytes()[0] == 127;
}

} // namespace

// The IPC service keeps its event handler, and may run queued events, after
// the application has gone: events reach the application only until detach().
class kivsvcUiAppT::_ipcEventHandlerT : public rux::ipcEventHandlerT {
public:
    explicit _ipcEventHandlerT(kivsvcUiAppT* app) : _app(app) {}
    void notify(const rux::ipcEventT& ev) override {
        std::lock_guard<std::mutex> g(_m);
        if (_app)
            _app->_notify(ev);
    }
    // Waits for an event being delivered; none is delivered afterwards.
    void detach() {
        std::lock_guard<std::mutex> g(_m);
        _app = nullptr;
    }

private:
    std::mutex _m;
    kivsvcUiAppT* _app;
};

kivsvcUiAppT::kivsvcUiAppT() : gasT(nodeName) {}

kivsvcUiAppT::~kivsvcUiAppT() {
    if (_handler)
        _handler->detach();
}

bool kivsvcUiAppT::parseServices(const std::string& value,
                                 std::map<std::string, std::string>& out) {
    std::map<std::string, std::string> result;
    std::istringstream is(value);
    std::string item;
    while (std::getline(is, item, ',')) {
        std::transform(item.begin(), item.end(), item.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        auto it = knownServices().find(item);
        if (it == knownServices().end())
            return false;
        result.insert(*it);
    }
    if (result.empty())
        return false;
    out = std::move(result);
    return true;
}

bool kivsvcUiAppT::_config(rux::gasCfgT& cfg) {
    cfg.appKind = 1;
    cfg.descr = "KIV local UI daemon";
    cfg.logFile = true;
    cfg.useConsole = false;
    return true;
}

bool kivsvcUiAppT::_options(std::list<optionT>& opts) {
    opts.emplace_back("services", 's', optionT::enREQUIRED,
                      "specify a comma ',' separated list of services (default = all) among:\n"
                      "\t\"local\", \"remote\"",
                      optionT::func([this](const std::string& v) {
                          _servicesGiven = true;
                          return parseServices(v, _wanted);
                      }));
    opts.emplace_back("bind", 'b', optionT::enREQUIRED, "specify bind IP:PORT for the UI socket",
                      optionT::parseVar(_bindAddr));
    opts.emplace_back("timeout", 't', optionT::enREQUIRED,
                      "timeout in milliseconds for synchronous messages",
                      optionT::parseVar(_timeout));
    return true;
}

bool kivsvcUiAppT::_version(std::string& v) {
    v = "1.4.3.14";
    return true;
}

bool kivsvcUiAppT::_init() {
    if (!_servicesGiven)
        _wanted = knownServices();
    _handler = std::make_shared<_ipcEventHandlerT>(this);
    try {
        for (auto& w : _wanted) {
            _svcCtxT ctx;
            ctx.peer = w.second;
            ctx.svc = rux::ipcServiceT::handle(w.first);
            {
                rux::lockT<rux::mutexT> g(_lock);
                _services[w.first] = ctx;
            }
            ctx.svc.setEventHandler(_handler);
        }
    } catch (const std::exception& e) {
        UI_LOG(log::EMERGENCY) << "caught exception while setting up the IPC services: " << e.what()
                               << "\n";
        return false;
    }
    return true;
}

int kivsvcUiAppT::_run() {
    if (!_init())
        return 1;
    if (!isLoopback(_bindAddr.address())) {
        UI_LOG(log::WARNING) << "UI socket bound to " << _bindAddr
                             << ": the UI port is reachable from the network, and whoever "
                                "connects may operate every device\n";
    }
    for (;;) {
        {
            rux::lockT<rux::mutexT> g(_lock);
            if (_quitFlag)
                return 0;
        }
        if (!_do_start()) {
            {
                rux::lockT<rux::mutexT> g(_lock);
                if (_quitFlag)
                    return 0; // a quit is no failure
            }
            UI_LOG(log::ERROR) << "_do_start failed, exiting\n";
            return 2;
        }

        rux::streamSocketT sock;
        rux::ipv4SockAddrT peer;
        bool accepted = _srv.accept(sock, peer);
        bool served = false;
        if (!accepted) {
            {
                rux::lockT<rux::mutexT> g(_lock);
                if (_quitFlag)
                    return 0;
            }
            UI_LOG(log::WARNING) << "error accepting a new connection\n";
            rux::lockT<rux::mutexT> g(_lock);
            if (!_quitFlag)
                _cond.wait(_lock, rux::timeT(0, 200000000));
        } else {
            UI_LOG(log::NOTICE) << "accepted new connection from " << peer << "\n";
            sock.setOption(rux::ipv4OptKeepAliveT{true, rux::timeT(60, 0)});
            {
                rux::lockT<rux::mutexT> g(_lock);
                _conn = std::make_shared<uiConnT>(sock);
                // A peer that went down (or a quit) while we accepted.
                if (!_peersReady || _quitFlag)
                    _conn->shutdown();
            }
            served = true;
        }

        if (served) {
            std::vector<std::string> names;
            {
                rux::lockT<rux::mutexT> g(_lock);
                for (auto& s : _services)
                    names.push_back(s.first);
            }
            for (auto& name : names) {
                rux::threadT::handleT t = rux::threadT::create("drv2ui_" + name);
                t.start(rux::functorT([this, name] { _do_sendback(name); }));
                rux::lockT<rux::mutexT> g(_lock);
                _services[name].thread = t;
            }
            _do_forward();
        }

        // Ends the receivers' blocked receive; their peers are reported down.
        std::vector<std::pair<rux::ipcServiceT::handleT, rux::threadT::handleT>> ends;
        {
            rux::lockT<rux::mutexT> g(_lock);
            for (auto& s : _services) {
                ends.emplace_back(s.second.svc, s.second.thread);
                s.second.thread = rux::threadT::handleT();
            }
        }
        for (auto& e : ends) {
            e.first.shutdown();
            if (e.second.valid())
                e.second->wait();
        }
        {
            rux::lockT<rux::mutexT> g(_lock);
            while (_peersReady && !_quitFlag)
                _cond.wait(_lock);
            if (_conn)
                _conn->shutdown();
            _conn.reset();
            _srv.close();
        }
    }
}

bool kivsvcUiAppT::_do_start() {
    std::vector<std::pair<std::string, rux::ipcServiceT::handleT>> svcs;
    {
        rux::lockT<rux::mutexT> g(_lock);
        if (_quitFlag)
            return false;
        for (auto& s : _services)
            svcs.emplace_back(s.first, s.second.svc);
        _binding = true;
    }
    bool ok = true;
    for (auto& s : svcs) {
        UI_LOG(log::INFO) << "binding \"" << nodeName << "\" on service \"" << s.first << "\"\n";
        try {
            int rc = s.second.bind(nodeName);
            if (rc != 0 && !_quitting()) {
                UI_LOG(log::CRITICAL) << "failed to bind \"" << nodeName << "\" on service \""
                                      << s.first << "\", err = " << rc << "\n";
                ok = false;
            }
        } catch (const std::exception& e) {
            UI_LOG(log::EMERGENCY) << "caught exception while binding \"" << nodeName
                                   << "\" on service " << s.first << ": " << e.what() << "\n";
            ok = false;
        }
    }
    {
        rux::lockT<rux::mutexT> g(_lock);
        _binding = false;
        _cond.signal();
        if (!ok || _quitFlag)
            return false;
    }

    UI_LOG(log::INFO) << "waiting for services to be ready\n";
    {
        rux::lockT<rux::mutexT> g(_lock);
        while (!_peersReady && !_quitFlag)
            _cond.wait(_lock);
        if (_quitFlag)
            return false;
    }

    rux::srvSocketT<rux::streamSocketT> srv;
    if (!srv.bind(_bindAddr, 1)) {
        UI_LOG(log::INFO) << "opening UI connection at " << _bindAddr << "\n";
        UI_LOG(log::CRITICAL) << "failed to bind UI socket at " << _bindAddr << "\n";
        return false;
    }
    rux::ipv4SockAddrT bound = _bindAddr;
    srv.name(bound); // port 0 binds an ephemeral port: show the real one
    UI_LOG(log::INFO) << "opening UI connection at " << bound << "\n";
    if (!_listening) {
        _listening = true;
        _ready();
    }
    rux::lockT<rux::mutexT> g(_lock);
    _srv = srv;
    // A peer that went down (or a quit) while we bound.
    if (!_peersReady || _quitFlag)
        _srv.shutdown(0);
    return true;
}

void kivsvcUiAppT::_do_forward() {
    std::shared_ptr<uiConnT> conn;
    {
        rux::lockT<rux::mutexT> g(_lock);
        conn = _conn;
    }
    uiFrameReaderT reader;
    // Set while an incomplete frame is buffered: when it began.
    bool partial = false;
    clockT::time_point partialSince;
    char buf[4096];

    for (;;) {
        std::unique_ptr<rux::ipcMessageT> msg;
        std::string service, node;
        int rc = reader.next(msg, service, node);
        if (rc == uiFrameReaderT::enINCOMPLETE) {
            auto now = clockT::now();
            if (reader.buffered() > 0 && !partial) {
                partial = true;
                partialSince = now;
            }
            int wait = pingMs;
            if (partial) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                partialSince + std::chrono::milliseconds(stallMs) - now)
                                .count();
                if (left <= 0) {
                    UI_LOG(log::ERROR)
                        << "UI stalled for " << stallMs / 1000 << " s inside a frame of "
                        << reader.buffered() << " bytes, closing the connection\n";
                    break;
                }
                wait = int(std::min<long long>(wait, left));
            }
            long r = conn->read(buf, sizeof buf, wait);
            if (r < 0) {
                UI_LOG(log::INFO) << "failed to read data from socket\n";
                break;
            }
            if (r > 0) {
                reader.feed(buf, size_t(r));
                continue;
            }
            if (partial && clockT::now() - partialSince < std::chrono::milliseconds(pingMs))
                continue; // woken early for the stall deadline; no silence yet
            UI_LOG(log::DEBUG) << "ping!\n";
            std::unique_ptr<rux::ipcMessageT> ping = rux::ipcMessageT::create(4, 2);
            ping->write("ping", 4);
            if (!_msg2stream(ping, "", ""))
                break;
            continue;
        }
        partial = false;
        if (rc == uiFrameReaderT::enTOO_LONG) {
            UI_LOG(log::ERROR) << "frame length " << reader.announced() << " above the limit of "
                               << msg_lineMaxPayload << " bytes\n";
            UI_LOG(log::INFO) << "failed to read data from socket\n";
            break;
        }
        if (rc == 2) {
            UI_LOG(log::ERROR) << "invalid message line format\n";
            break;
        }
        if (rc == 3) {
            UI_LOG(log::ERROR) << "unknown service name in header\n";
            break;
        }
        if (rc == 4) {
            UI_LOG(log::ERROR) << "unknown node name in header\n";
            break;
        }
        if (rc != 0) {
            UI_LOG(log::INFO) << "failed to read data from socket\n";
            break;
        }
        if (service.empty() || node.empty()) {
            UI_LOG(log::DEBUG) << "pong!\n";
            continue;
        }
        _forwardFrame(std::move(msg), service, node);
        if (conn->isShut())
            break;
    }
    conn->shutdown();
}

void kivsvcUiAppT::_forwardFrame(std::unique_ptr<rux::ipcMessageT> msg, const std::string& service,
                                 const std::string& node) {
    UI_LOG_AS(log::DEBUG, "_do_forward")
        << "received message of size " << msg->currSize() << " on service \"" << service
        << "\" for node \"" << node << "\"\n";
    rux::ipcServiceT::handleT svc;
    {
        rux::lockT<rux::mutexT> g(_lock);
        auto it = _services.find(service);
        if (it != _services.end())
            svc = it->second.svc;
    }
    if (!svc.valid()) {
        UI_LOG_AS(log::ERROR, "_do_forward")
            << "cannot forward message on service \"" << service << "\": service is disabled\n";
        return;
    }
    // A huge "timeout" would wrap the seconds (or the deadline) and fail every
    // call at once: beyond ~31 years it means no time-out at all.
    constexpr unsigned long maxSec = 1000000000;
    rux::timeT timeout(int32_t(std::min(_timeout / 1000, maxSec)),
                       int32_t((_timeout % 1000) * 1000000));
    std::unique_ptr<rux::ipcMessageT> reply;
    int rc;
    try {
        rc = svc.send(node, std::move(msg), reply, timeout);
    } catch (const std::exception& e) {
        UI_LOG_AS(log::ERROR, "_do_forward")
            << "caught exception while sending to \"" << node << "\" on service \"" << service
            << "\": " << e.what() << "\n";
        return;
    }
    if (rc != 0) {
        UI_LOG_AS(log::WARNING, "_do_forward")
            << "failed to send data to \"" << node << "\" on service \"" << service
            << "\", err = " << rc << "\n";
        return;
    }
    if (!reply) {
        UI_LOG_AS(log::ERROR, "_do_forward") << "received empty reply\n";
        return;
    }
    _msg2stream(reply, service, node);
}

void kivsvcUiAppT::_do_sendback(const std::string& service) {
    UI_LOG(log::INFO) << "receiver thread for service \"" << service << "\" started\n";
    rux::ipcServiceT::handleT svc;
    {
        rux::lockT<rux::mutexT> g(_lock);
        svc = _services[service].svc;
    }
    for (;;) {
        std::string src;
        std::unique_ptr<rux::ipcMessageT> msg;
        int rc;
        try {
            rc = svc.recv(src, msg);
        } catch (const std::exception&) {
            rc = -1;
        }
        if (rc != 0 || !msg) {
            UI_LOG(log::DEBUG) << "failed to receive data from service \"" << service << "\"\n";
            break;
        }
        bool unknownNode = false;
        if (_msg2stream(msg, service, src, &unknownNode))
            continue;
        if (!unknownNode)
            break;
        // The frame cannot name the sender; the other reports must still flow.
        UI_LOG(log::WARNING) << "dropped message of size " << msg->currSize() << " from node \""
                             << src << "\" on service \"" << service
                             << "\": the node has no code in frames\n";
    }
    UI_LOG(log::INFO) << "receiver thread for service \"" << service << "\" terminated\n";
}

bool kivsvcUiAppT::_msg2stream(const std::unique_ptr<rux::ipcMessageT>& msg,
                               const std::string& service, const std::string& node,
                               bool* unknownNode) {
    UI_LOG(log::DEBUG) << "sending message of size " << msg->currSize() << " back to UI\n";
    std::ostringstream os;
    int rc = msg_toLine(os, msg, service, node);
    if (rc == 2 && unknownNode) {
        *unknownNode = true;
        return false;
    }
    bool ok = false;
    if (rc == 0) {
        const std::string frame = os.str();
        rux::lockT<rux::mutexT> g(_lock);
        ok = _conn && _conn->writeAll(frame.data(), frame.size(), stallMs);
        if (!ok && _conn && _conn->stalled()) {
            UI_LOG(log::ERROR) << "UI took no data for " << stallMs / 1000
                               << " s, closing the connection\n";
        }
    }
    if (!ok) {
        UI_LOG(log::DEBUG) << "failed to send data via UI socket\n";
    }
    return ok;
}

bool kivsvcUiAppT::_quitting() {
    rux::lockT<rux::mutexT> g(_lock);
    return _quitFlag;
}

void kivsvcUiAppT::_do_shutdown() {
    // The caller holds _lock.
    _srv.shutdown(0);
    if (_conn)
        _conn->shutdown();
}

void kivsvcUiAppT::_notify(const rux::ipcEventT& ev) {
    bool up = ev.type == rux::ipcEventT::enUP;
    UI_LOG_AS(log::NOTICE, "notify")
        << "received connection " << (up ? "UP" : "DOWN") << " for node \"" << ev.node
        << "\" on service \"" << ev.service << "\"\n";
    rux::lockT<rux::mutexT> g(_lock);
    auto it = _services.find(ev.service);
    if (it == _services.end() || it->second.peer != ev.node) {
        UI_LOG_AS(log::INFO, "notify") << "connection event ignored\n";
        return;
    }
    if (up) {
        it->second.up = true;
        bool all = std::all_of(_services.begin(), _services.end(),
                               [](const auto& s) { return s.second.up; });
        if (all && !_peersReady) {
            _peersReady = true;
            _cond.signal();
        }
    } else if (it->second.up) {
        it->second.up = false;
        if (_peersReady) {
            _peersReady = false;
            _do_shutdown();
            _cond.signal();
        }
    }
}

void kivsvcUiAppT::_quit() {
    std::vector<rux::ipcServiceT::handleT> svcs;
    rux::lockT<rux::mutexT> g(_lock);
    _quitFlag = true;
    _do_shutdown();
    _cond.signal();
    // A bind waits for the daemon for as long as it takes: shutting the
    // services down ends it. Repeated until the bind has returned, since a
    // shutdown that comes before the bind has begun does not stop it.
    while (_binding) {
        svcs.clear();
        for (auto& s : _services)
            svcs.push_back(s.second.svc);
        _lock.unlock();
        for (auto& s : svcs)
            s.shutdown();
        _lock.lock();
        if (_binding)
            _cond.wait(_lock, rux::timeT(0, 100000000));
    }
}
