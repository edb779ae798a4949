#include "client.h"

#include <map>

#include "outbox.h"

namespace {

using kivsvc::kivmsgT;

// The device map's write lock for a look-up; unlike devdbT::wrT it changes
// nothing, so it notifies no one.
class exclusiveT {
public:
    explicit exclusiveT(devdbT& db) : _db(db) { _db.enterExclusive(); }
    ~exclusiveT() { _db.leaveExclusive(); }
    exclusiveT(const exclusiveT&) = delete;
    exclusiveT& operator=(const exclusiveT&) = delete;

private:
    devdbT& _db;
};

} // namespace

clientT::clientT(const std::string& node, rux::ipcServiceT::handleT service, rux::loggerT logger)
    : _node(node), _service(service), _logger(std::move(logger)),
      _outbox(std::make_shared<outboxT>(node, service, _logger)) {}

clientT::~clientT() {
    _outbox->close();
}

size_t clientT::_pendingReports() const {
    return _outbox->pending();
}

// ---- requests -------------------------------------------------------------

std::unique_ptr<kivmsgT> clientT::processRequest(std::unique_ptr<kivmsgT> request) {
    auto reply = std::make_unique<kivmsgT>();
    if (!request) {
        reply->set_ivk_id(-1);
        _replyAck(*reply, false);
        return reply;
    }
    reply->set_ivk_id(request->ivk_id()); // -1 when absent
    int id = -1;
    if (request->has_dev_id()) {
        id = request->dev_id();
        reply->set_dev_id(id);
    }
    rux::loggerT::logbufT(_logger, rux::log::DEBUG, "processRequest")
        << "received message:\n"
        << request->DebugString() << "\n";

    bool ok = false;
    switch (request->msg_id()) {
    case kivmsgT::registerForDeviceNotif:
        _replyAck(*reply, _register());
        break;
    case kivmsgT::unregisterForDeviceNotif:
        _replyAck(*reply, _unregister());
        break;
    case kivmsgT::command:
        if (request->has_cmd())
            ok = _command(id, *request->mutable_cmd());
        _replyAck(*reply, ok);
        break;
    case kivmsgT::setConfig:
        if (request->has_config()) {
            if (request->config().persistent())
                ok = _saveConfig(id, *request->mutable_config());
            else
                ok = _setConfig(id, *request->mutable_config());
        }
        _replyAck(*reply, ok);
        break;
    case kivmsgT::getConfig:
        if (request->has_config() && request->config().persistent())
            ok = _restoreConfig(id, *reply);
        else
            ok = _getConfig(id, *reply);
        if (!ok)
            _replyAck(*reply, false);
        break;
    case kivmsgT::getStatus:
        if (!_getStatus(id, *reply))
            _replyAck(*reply, false);
        break;
    case kivmsgT::getSvcVersion:
        _replySvcVersion(*reply);
        break;
    case kivmsgT::getMeasure:
        if (!_getMeasure(id, *reply))
            _replyAck(*reply, false);
        break;
    case kivmsgT::getBootAppData:
        if (!_getBootAppData(id, *reply))
            _replyAck(*reply, false);
        break;
    case kivmsgT::setBootAppData:
        if (request->has_boot_app_data())
            ok = _setBootAppData(id, *request->mutable_boot_app_data());
        _replyAck(*reply, ok);
        break;
    case kivmsgT::eraseFirmware:
        if (request->has_boot_app_data())
            ok = _eraseFirmware(id, *request->mutable_boot_app_data());
        _replyAck(*reply, ok);
        break;
    case kivmsgT::writeFirmware:
        if (request->has_fw_data())
            ok = _writeFirmware(id, *request->mutable_fw_data());
        _replyAck(*reply, ok);
        break;
    case kivmsgT::getFirmwareCRC:
        if (!_getFirmwareCRC(id, *reply))
            _replyAck(*reply, false);
        break;
    default:
        rux::loggerT::logbufT(_logger, rux::log::ERROR, "processRequest")
            << "received unexpected message: " << request->DebugString() << "\n";
        _replyAck(*reply, false);
        break;
    }

    rux::loggerT::logbufT(_logger, rux::log::DEBUG, "processRequest")
        << "replying: " << reply->DebugString() << "\n";
    return reply;
}

bool clientT::_command(int id, kivsvc::commandT& cmd) {
    auto dev = _getdev(id);
    if (!dev)
        return false;
    switch (cmd.cmd()) {
    case kivsvc::commandT::swReset:
        return dev->reset(kivDevT::swReset);
    case kivsvc::commandT::hwReset:
        return dev->reset(kivDevT::hwReset);
    case kivsvc::commandT::cfgReset:
        return dev->reset(kivDevT::cfgReset);
    }
    return false;
}

bool clientT::_setConfig(int id, kivsvc::configT& cfg) {
    auto dev = _getdev(id);
    return dev && dev->setConfig(cfg, false);
}

bool clientT::_saveConfig(int id, kivsvc::configT& cfg) {
    auto dev = _getdev(id);
    return dev && dev->setConfig(cfg, true);
}

bool clientT::_setBootAppData(int id, kivsvc::bootAppDataT& app) {
    auto dev = _getdev(id);
    return dev && dev->setBootAppData(app);
}

bool clientT::_eraseFirmware(int id, kivsvc::bootAppDataT& app) {
    auto dev = _getdev(id);
    return dev && dev->eraseFirmware(app);
}

bool clientT::_writeFirmware(int id, kivsvc::fwBlockT& block) {
    auto dev = _getdev(id);
    return dev && dev->writeFirmware(block);
}

// The get operations fill the payload in the reply and take it out again on
// failure, so a failed reply carries none.

bool clientT::_restoreConfig(int id, kivmsgT& reply) {
    auto dev = _getdev(id);
    if (!dev)
        return false;
    if (!dev->restoreLastSavedConfig(*reply.mutable_config())) {
        reply.clear_config();
        return false;
    }
    reply.set_msg_id(kivmsgT::reportConfig);
    return true;
}

bool clientT::_getConfig(int id, kivmsgT& reply) const {
    auto dev = _getdev(id);
    if (!dev)
        return false;
    if (!dev->getConfig(*reply.mutable_config())) {
        reply.clear_config();
        return false;
    }
    reply.set_msg_id(kivmsgT::reportConfig);
    return true;
}

bool clientT::_getStatus(int id, kivmsgT& reply) const {
    auto dev = _getdev(id);
    if (!dev)
        return false;
    if (!dev->getStatus(*reply.mutable_status())) {
        reply.clear_status();
        return false;
    }
    reply.set_msg_id(kivmsgT::reportStatus);
    return true;
}

bool clientT::_getMeasure(int id, kivmsgT& reply) const {
    auto dev = _getdev(id);
    if (!dev)
        return false;
    if (!dev->getMeasure(*reply.mutable_measure())) {
        reply.clear_measure();
        return false;
    }
    reply.set_msg_id(kivmsgT::reportMeasure);
    return true;
}

bool clientT::_getBootAppData(int id, kivmsgT& reply) const {
    auto dev = _getdev(id);
    if (!dev)
        return false;
    if (!dev->getBootAppData(*reply.mutable_boot_app_data())) {
        reply.clear_boot_app_data();
        return false;
    }
    reply.set_msg_id(kivmsgT::reportBootAppData);
    return true;
}

bool clientT::_getFirmwareCRC(int id, kivmsgT& reply) const {
    auto dev = _getdev(id);
    if (!dev)
        return false;
    if (!dev->getFirmwareCRC(*reply.mutable_boot_app_data())) {
        reply.clear_boot_app_data();
        return false;
    }
    reply.set_msg_id(kivmsgT::reportFirmwareCRC);
    return true;
}

std::shared_ptr<kivDevT> clientT::_getdev(int id) {
    if (id < 0)
        return nullptr;
    devdbT& db = *devdbT::instance();
    exclusiveT g(db);
    return db._find(id);
}

std::shared_ptr<const kivDevT> clientT::_getdev(int id) const {
    if (id < 0)
        return nullptr;
    devdbT::rdT rd;
    return rd.find(id);
}

void clientT::_replyAck(kivmsgT& reply, bool ok) {
    reply.set_msg_id(kivmsgT::ack);
    reply.mutable_reply()->set_ack(ok ? kivsvc::replyT::ok : kivsvc::replyT::failed);
}

void clientT::_replySvcVersion(kivmsgT& reply) {
    reply.set_msg_id(kivmsgT::svcVersionReply);
    reply.set_svc_version("1.4.3.14");
}

// ---- device notifications -------------------------------------------------

bool clientT::_register() {
    rux::loggerT::logbufT(_logger, rux::log::INFO, "_register")
        << "registered for device change notifications\n";
    devdbT::rdT rd;
    std::map<int, std::shared_ptr<const kivDevT>> devices;
    rd.get(devices);
    {
        rux::lockT<rux::mutexT> g(_lock);
        _registered = true;
        for (const auto& e : devices)
            _announced.insert(e.first);
    }
    // Queued under the read lock: no change can slip in before these reports.
    for (const auto& e : devices)
        _sendNotifyPresence(e.second, e.first, true);
    return true;
}

bool clientT::_unregister() {
    rux::loggerT::logbufT(_logger, rux::log::INFO, "_unregister")
        << "unregistered for device change notifications\n";
    rux::lockT<rux::mutexT> g(_lock);
    _registered = false;
    return true;
}

void clientT::notify(const devdbT& db) {
    devdbT::rdT rd(db);
    std::map<int, std::shared_ptr<const kivDevT>> current;
    rd.get(current);
    std::map<int, std::shared_ptr<const kivDevT>> gone;
    {
        rux::lockT<rux::mutexT> g(_lock);
        if (!_registered)
            return;
        for (auto it = _announced.begin(); it != _announced.end();) {
            if (current.count(*it)) {
                ++it;
                continue;
            }
            gone.emplace(*it, nullptr);
            it = _announced.erase(it);
        }
        for (auto it = current.begin(); it != current.end();) {
            if (_announced.count(it->first)) {
                it = current.erase(it);
            } else {
                _announced.insert(it->first);
                ++it;
            }
        }
    }
    for (const auto& e : gone)
        _sendNotifyPresence(nullptr, e.first, false);
    for (const auto& e : current)
        _sendNotifyPresence(e.second, e.first, true);
}

bool clientT::_sendNotifyPresence(std::shared_ptr<const kivDevT> dev, int id, bool attached) {
    rux::loggerT::logbufT(_logger, rux::log::INFO, "_sendNotifyPresence")
        << "notifying node that device id " << id << " has been "
        << (attached ? "connected" : "removed") << "\n";
    auto pb = std::make_unique<kivmsgT>();
    pb->set_msg_id(kivmsgT::reportDevice);
    pb->set_dev_id(id);
    kivsvc::reportDeviceT* rep = pb->mutable_report_device();
    rep->set_event(attached ? kivsvc::reportDeviceT::attached : kivsvc::reportDeviceT::removed);
    if (dev) {
        int model = dev->model();
        rep->set_model(kivsvc::reportDeviceT_modelT_IsValid(model)
                           ? kivsvc::reportDeviceT_modelT(model)
                           : kivsvc::reportDeviceT::unknown);
        if (!dev->snum().empty())
            rep->set_snum(dev->snum());
        if (!dev->hwver().empty())
            rep->set_hwver(dev->hwver());
        if (!dev->swver().empty())
            rep->set_swver(dev->swver());
    }
    rux::loggerT::logbufT(_logger, rux::log::DEBUG, "_sendNotifyPresence")
        << "sending unsolicited:\n"
        << pb->DebugString() << "\n";

    auto msg = msg_pb2ipc(pb, nullptr);
    if (!msg) {
        rux::loggerT::logbufT(_logger, rux::log::CRITICAL, "_sendNotifyPresence")
            << "failed to format message:\n"
            << pb->DebugString() << "\n";
        return false;
    }
    if (!_service.valid())
        throw rux::ipcExceptionT(rux::ipcExceptionT::enNO_HANDLE);
    return _outbox->post(std::move(msg));
}
