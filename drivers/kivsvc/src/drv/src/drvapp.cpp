#include "drvapp.h"

#include <exception>

#include "msgconv.h"
#include "nxxx/usbdriver.h"
#include "q7xx/usbdriver.h"
#include "simdriver.h"

using rux::lockT;
using rux::loggerT;
using rux::mutexT;
namespace log = rux::log;

namespace {

constexpr uint16_t vendorA = 0xA7B3;
constexpr uint16_t vendorB = 0x0483;
constexpr uint16_t meterProduct = 0x0001;
constexpr uint16_t bootProduct = 0x0002;

// How often a quit re-sends the shut-down while the bind has not yet noticed it.
const rux::timeT quitRetry = rux::timeT::fromMs(50);

} // namespace

struct kivsvcDrvAppT::gateT {
    mutexT lock;
    rux::condT left; // the last call inside has left
    bool closed = false;
    int inside = 0;
};

// One IPC callback's stay inside the application; false once it has ended.
class kivsvcDrvAppT::passT {
public:
    explicit passT(const std::shared_ptr<gateT>& gate) : _gate(*gate) {
        lockT<mutexT> g(_gate.lock);
        _open = !_gate.closed;
        if (_open)
            ++_gate.inside;
    }
    ~passT() {
        if (!_open)
            return;
        lockT<mutexT> g(_gate.lock);
        if (--_gate.inside == 0)
            _gate.left.signal();
    }
    passT(const passT&) = delete;
    passT& operator=(const passT&) = delete;
    explicit operator bool() const { return _open; }

private:
    gateT& _gate;
    bool _open;
};

kivsvcDrvAppT::kivsvcDrvAppT() : gasT(nodeName), _gate(std::make_shared<gateT>()) {}

kivsvcDrvAppT::~kivsvcDrvAppT() {
    {
        lockT<mutexT> g(_gate->lock);
        _gate->closed = true;
        while (_gate->inside > 0)
            _gate->left.wait(_gate->lock);
    }
    // The device database outlives the application: its sessions leave it.
    for (auto& c : _clients)
        devdbT::instance()->remove(c.second);
    _clients.clear();
    _meterA.reset();
    _meterB.reset();
    _bootA.reset();
    _bootB.reset();
}

bool kivsvcDrvAppT::_config(rux::gasCfgT& cfg) {
    cfg.appKind = 1;
    cfg.descr = "KIV Q7.xx Device Driver";
    cfg.logFile = true;
    cfg.consTelnet = true;
    cfg.consStdio = false;
    cfg.consBind = rux::ipv4SockAddrT(rux::ipv4AddressT::loopback(), 62427);
    return true;
}

bool kivsvcDrvAppT::_options(std::list<optionT>& opts) {
    opts.emplace_back("simulation", 's', optionT::enNONE,
                      "enable simulator instead of real driver",
                      optionT::setVar(_simulation, true));
    return true;
}

bool kivsvcDrvAppT::_version(std::string& v) {
    v = versionText;
    return true;
}

bool kivsvcDrvAppT::_init(const rux::gasCfgT&) {
    if (_simulation)
        _meterA = std::make_unique<simDriverT>();
    else
        _meterA = std::make_unique<q7xxUsbDriverT>(vendorA, meterProduct);
    _meterB = std::make_unique<q7xxUsbDriverT>(vendorB, meterProduct);
    _bootB = std::make_unique<nxxxUsbDriverT>(vendorB, bootProduct);
    _bootA = std::make_unique<nxxxUsbDriverT>(vendorA, bootProduct);

    for (driverT* d : {_meterA.get(), _meterB.get(), _bootA.get(), _bootB.get()})
        if (!d->start())
            return false;
    return true;
}

int kivsvcDrvAppT::_run() {
    _logger = loggerT(name());
    loggerT::logbufT(_logger, log::DEBUG, "_run") << "initializing\n";

    if (!_init()) {
        lockT<mutexT> g(_lock);
        return _quitFlag ? 0 : 1;
    }
    _ready();
    loggerT::logbufT(_logger, log::NOTICE, "_run")
        << "started using driver \"" << _bootA->_name() << "\"\n";
    {
        lockT<mutexT> g(_lock);
        while (!_quitFlag)
            _quitCond.wait(_lock);
    }
    loggerT::logbufT(_logger, log::NOTICE, "_run") << "shutting down\n";
    _service.shutdown();
    return 0;
}

void kivsvcDrvAppT::_quit() {
    lockT<mutexT> g(_lock);
    _quitFlag = true;
    _quitCond.signal();
    // A bind waits for the daemon for as long as it takes: shut the service
    // down until the bind has returned. More than one round only when the
    // shut-down came before the bind had started its connection.
    while (_binding) {
        rux::ipcServiceT::handleT svc = _service;
        _lock.unlock();
        svc.shutdown();
        _lock.lock();
        if (_binding)
            _quitCond.wait(_lock, quitRetry);
    }
}

bool kivsvcDrvAppT::_init() {
    const std::string name = nodeName;
    try {
        {
            lockT<mutexT> g(_lock);
            if (_quitFlag)
                return false;
            _service = rux::ipcServiceT::handle(serviceName);
            _binding = true;
        }
        _service.setEventHandler(std::make_shared<eventHandlerT>(this));
        _service.setReceiver(std::make_shared<receiverT>(this));
        const int err = _service.bind(name);
        lockT<mutexT> g(_lock);
        _binding = false;
        _quitCond.signal();
        if (_quitFlag)
            return false;
        if (err != 0) {
            loggerT::logbufT(_logger, log::CRITICAL, "_init")
                << "failed to bind \"" << name << "\" on service \"" << serviceName
                << "\", err = " << err << "\n";
            return false;
        }
        return true;
    } catch (const std::exception& e) {
        {
            lockT<mutexT> g(_lock);
            _binding = false;
            _quitCond.signal();
        }
        loggerT::logbufT(_logger, log::EMERGENCY, "_init")
            << "caught exception while binding \"" << name << "\" on service local: " << e.what()
            << "\n";
        return false;
    }
}

std::shared_ptr<clientT> kivsvcDrvAppT::_client(const std::string& node) {
    lockT<mutexT> g(_lock);
    auto it = _clients.find(node);
    return it == _clients.end() ? nullptr : it->second;
}

void kivsvcDrvAppT::_up(const std::string& node, const std::string& service) {
    loggerT::logbufT(_logger, log::NOTICE, "notify")
        << "received connection UP from \"" << node << "\" on service \"" << service << "\"\n";
    auto client =
        std::make_shared<clientT>(node, rux::ipcServiceT::handle(service), loggerT(node));
    devdbT::instance()->add(client);
    std::shared_ptr<clientT> earlier;
    {
        lockT<mutexT> g(_lock);
        auto& slot = _clients[node];
        earlier = std::move(slot);
        slot = client;
    }
    // The replaced session would otherwise report every change a second time.
    if (earlier)
        devdbT::instance()->remove(earlier);
}

void kivsvcDrvAppT::_down(const std::string& node, const std::string& service) {
    loggerT::logbufT(_logger, log::NOTICE, "notify")
        << "received connection DOWN from \"" << node << "\" on service \"" << service << "\"\n";
    std::shared_ptr<clientT> client;
    {
        lockT<mutexT> g(_lock);
        auto it = _clients.find(node);
        if (it == _clients.end())
            return;
        client = std::move(it->second);
        _clients.erase(it);
    }
    // Outside the application lock: removal waits for the database's mutex,
    // which a notifying driver thread may hold while it reports to sessions.
    devdbT::instance()->remove(client);
}

// ---- IPC callbacks ----------------------------------------------------------

void kivsvcDrvAppT::receiverT::asyncMsg(std::unique_ptr<rux::ipcMessageT>, const std::string&,
                                        const std::string&) {
    // One-way messages carry nothing the device service acts on.
}

std::unique_ptr<rux::ipcMessageT> kivsvcDrvAppT::receiverT::syncMsg(
    std::unique_ptr<rux::ipcMessageT> msg, const std::string& node, const std::string& service) {
    passT pass(_gate);
    if (!pass)
        return nullptr;
    std::shared_ptr<clientT> client = _app->_client(node);
    if (!client) {
        loggerT::logbufT(_app->_logger, log::WARNING, "syncMsg")
            << "received message from unregistered client \"" << node << "' on service \""
            << service << "\"\n";
        return nullptr;
    }
    std::unique_ptr<kivsvc::kivmsgT> request = msg_ipc2pb(msg);
    if (!request) {
        loggerT::logbufT(_app->_logger, log::ERROR, "syncMsg")
            << "failed to parse input message of size " << msg->currSize() << "\n";
        return nullptr;
    }
    std::unique_ptr<kivsvc::kivmsgT> reply = client->processRequest(std::move(request));
    std::unique_ptr<rux::ipcMessageT> out = msg_pb2ipc(reply, &msg);
    if (!out) {
        loggerT::logbufT(_app->_logger, log::CRITICAL, "syncMsg") << "failed to format message\n";
        return nullptr;
    }
    return out;
}

void kivsvcDrvAppT::receiverT::fwdMsg(std::unique_ptr<rux::ipcMessageT>, const std::string& src,
                                      const std::string& dst, const std::string& service) {
    passT pass(_gate);
    if (!pass)
        return;
    loggerT::logbufT(_app->_logger, log::ERROR, "fwdMsg")
        << "dropped message forwarded from \"" << src << "\" to \"" << dst << "\" on service \""
        << service << "\": the device service takes no forwarded messages\n";
}

void kivsvcDrvAppT::eventHandlerT::notify(const rux::ipcEventT& event) {
    passT pass(_gate);
    if (!pass)
        return;
    if (event.type == rux::ipcEventT::enUP)
        _app->_up(event.node, event.service);
    else if (event.type == rux::ipcEventT::enDOWN)
        _app->_down(event.node, event.service);
}
