#include "rassapp.h"

#include <exception>

#include "logger/level.h"
#include "messages.pb.h"
#include "msgconv.h"

namespace log = rux::log;

#define RASS_LOG(lev)                                                                              \
    if (_log.level() < (lev)) {                                                                    \
    } else                                                                                         \
        ::rux::loggerT::logbufT(_log, (lev), __func__)

class kivsvcRassAppT::_receiverT : public rux::ipcReceiverT {
public:
    explicit _receiverT(rux::loggerT log) : _log(std::move(log)) {}

    void asyncMsg(std::unique_ptr<rux::ipcMessageT> msg, const std::string& src,
                  const std::string&) override {
        RASS_LOG(log::DEBUG) << "dropped one-way message of size " << msg->currSize()
                             << " from \"" << src << "\"\n";
    }
    std::unique_ptr<rux::ipcMessageT> syncMsg(std::unique_ptr<rux::ipcMessageT> msg,
                                              const std::string& src,
                                              const std::string&) override {
        RASS_LOG(log::INFO) << "request from \"" << src
                            << "\": no remote-assistance server is configured\n";
        return unavailable(*msg);
    }
    void fwdMsg(std::unique_ptr<rux::ipcMessageT>, const std::string&, const std::string&,
                const std::string&) override {}

private:
    rux::loggerT _log;
};

kivsvcRassAppT::kivsvcRassAppT() : gasT(nodeName) {}

std::unique_ptr<rux::ipcMessageT> kivsvcRassAppT::unavailable(const rux::ipcMessageT& request) {
    auto req = request.clone();
    std::unique_ptr<kivsvc::kivmsgT> in = msg_ipc2pb(req);
    auto out = std::make_unique<kivsvc::kivmsgT>();
    out->set_msg_id(kivsvc::kivmsgT::rassMsg);
    if (in)
        out->set_ivk_id(in->ivk_id());
    kivsvc::rassT* rass = out->mutable_rass();
    rass->set_id(kivsvc::rassT::reportStatus);
    if (in && in->has_rass())
        rass->set_session_id(in->rass().session_id());
    rass->mutable_rstatus()->set_status(kivsvc::rassStatusT::service_unavail);
    rass->mutable_rstatus()->set_details("no remote-assistance server is configured");
    return msg_pb2ipc(out, &req);
}

bool kivsvcRassAppT::_config(rux::gasCfgT& cfg) {
    cfg.appKind = 1;
    cfg.descr = "KIV remote-assistance stand-in";
    cfg.useConsole = false;
    return true;
}

bool kivsvcRassAppT::_version(std::string& v) {
    v = "1.4.3.14";
    return true;
}

int kivsvcRassAppT::_run() {
    {
        rux::lockT<rux::mutexT> g(_lock);
        if (_quitFlag)
            return 0;
        _svc = rux::ipcServiceT::handle(serviceName);
        _binding = true;
    }
    RASS_LOG(log::INFO) << "binding \"" << nodeName << "\" on service \"" << serviceName
                        << "\"\n";
    int rc;
    try {
        _svc.setReceiver(std::make_shared<_receiverT>(_log));
        rc = _svc.bind(nodeName);
    } catch (const std::exception& e) {
        RASS_LOG(log::EMERGENCY) << "caught exception while binding \"" << nodeName
                                 << "\" on service " << serviceName << ": " << e.what() << "\n";
        rc = -1;
    }
    rux::lockT<rux::mutexT> g(_lock);
    _binding = false;
    _cond.signal();
    if (_quitFlag)
        return 0;
    if (rc != 0) {
        RASS_LOG(log::CRITICAL) << "failed to bind \"" << nodeName << "\" on service \""
                                << serviceName << "\", err = " << rc << "\n";
        return 1;
    }
    RASS_LOG(log::NOTICE) << "serving \"" << nodeName << "\" on service \"" << serviceName
                          << "\"\n";
    _ready();
    while (!_quitFlag)
        _cond.wait(_lock);
    _lock.unlock();
    _svc.shutdown();
    _lock.lock();
    return 0;
}

void kivsvcRassAppT::_quit() {
    rux::lockT<rux::mutexT> g(_lock);
    _quitFlag = true;
    _cond.signal();
    // A bind that waits for the daemon ends only when the service is shut.
    while (_binding) {
        rux::ipcServiceT::handleT svc = _svc;
        _lock.unlock();
        svc.shutdown();
        _lock.lock();
        if (_binding)
            _cond.wait(_lock, rux::timeT(0, 100000000));
    }
}
