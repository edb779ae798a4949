// clientT: the device service's session with one client node.
//
// Carries out the node's decoded requests on the devices of the database and
// builds the replies; once the node has registered for device notifications it
// sends the node an unsolicited reportDevice for every device attached or
// removed: per database change first the removals, then the attachments, each
// in increasing identifier order, and a device announced as attached at most
// once between two removals.
//
// Held by shared pointer, by the service's client map and, as an observer, by
// the device database. processRequest runs on the IPC receiver thread, notify
// on whichever thread changed the database; both may run at once. The
// session's lock guards the registration state. Reports are decided under the
// database's read lock, so they follow the order of the changes, and are sent
// by the session's outbox thread, so a node that does not read (or a daemon
// restart) never holds up the database, its drivers or other clients.
// Failure: every request gets a reply (a failed ack when the device is missing
// or refuses); failed reports are logged and not retried. An empty service
// handle throws rux::ipcExceptionT when a report is due.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "devdb.h"
#include "ipc/service.h"
#include "kivsvc_common.h"
#include "observer.h"
#include "rux_logger_xface.h"
#include "sal/mutex.h"

class outboxT;

class clientT final : public observerT {
public:
    // `logger` is bound to the node name.
    clientT(const std::string& node, rux::ipcServiceT::handleT service, rux::loggerT logger);
    clientT(const std::string& node, rux::ipcServiceT::handleT service)
        : clientT(node, service, rux::loggerT(node)) {}
    ~clientT();
    clientT(const clientT&) = delete;
    clientT& operator=(const clientT&) = delete;

    // Never empty.
    std::unique_ptr<kivsvc::kivmsgT> processRequest(std::unique_ptr<kivsvc::kivmsgT> request);
    void notify(const devdbT& db) override;

    const std::string& node() const { return _node; }
    // Reports queued or being sent.
    size_t _pendingReports() const;

private:
    bool _command(int id, kivsvc::commandT& cmd);
    bool _setConfig(int id, kivsvc::configT& cfg);
    bool _saveConfig(int id, kivsvc::configT& cfg);
    bool _setBootAppData(int id, kivsvc::bootAppDataT& app);
    bool _eraseFirmware(int id, kivsvc::bootAppDataT& app);
    bool _writeFirmware(int id, kivsvc::fwBlockT& block);
    bool _restoreConfig(int id, kivsvc::kivmsgT& reply);
    bool _getConfig(int id, kivsvc::kivmsgT& reply) const;
    bool _getStatus(int id, kivsvc::kivmsgT& reply) const;
    bool _getMeasure(int id, kivsvc::kivmsgT& reply) const;
    bool _getBootAppData(int id, kivsvc::kivmsgT& reply) const;
    bool _getFirmwareCRC(int id, kivsvc::kivmsgT& reply) const;

    // Looked up under the write lock (operations that change the device) or
    // the read lock; the lock is released before returning.
    std::shared_ptr<kivDevT> _getdev(int id);
    std::shared_ptr<const kivDevT> _getdev(int id) const;

    static void _replyAck(kivsvc::kivmsgT& reply, bool ok);
    static void _replySvcVersion(kivsvc::kivmsgT& reply);

    bool _register();
    bool _unregister();
    // Builds and queues one report; false when it could not be built or queued.
    bool _sendNotifyPresence(std::shared_ptr<const kivDevT> dev, int id, bool attached);

    const std::string _node;
    rux::ipcServiceT::handleT _service;
    rux::loggerT _logger;
    bool _registered = false;
    std::set<int> _announced;  // devices the node was told are attached
    mutable rux::mutexT _lock; // guards _registered and _announced
    std::shared_ptr<outboxT> _outbox;
};
