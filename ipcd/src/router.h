// ipcdRouterT: the names and the routing of one IPC service.
//
// Holds the node table (indexed by node id; a name keeps its id for the life of
// the service, so a node that comes back gets its old id) and the name map, and
// handles the datagrams nodes send: user messages are forwarded unchanged to
// their destination (or to the owner of a secondary name), subscription
// requests bind and unbind secondary names, lookups are answered. Every primary
// node learns when another node of the service comes up or goes down.
//
// The router trusts nothing a datagram says about its sender: each one is
// checked against the connection it came from (its own id, its secondary
// names), and malformed or spoofed datagrams are logged and dropped without
// disturbing anyone. The connection side (reading, queuing, sending with the
// congestion policy) belongs to the derived service; the router reaches it
// through _deliverMsg and _watch only.
//
// Not thread-safe: one service thread does everything.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "ipc/startupcfg.h"
#include "ipc/wire.h"
#include "ipcnode.h"
#include "logger/logger.h"
#include "logline.h"
#include "sal/dgram.h"

namespace rux {

class ipcdRouterT {
public:
    ipcdRouterT(const std::string& service, const startupCfgT::serviceInfoT& info);
    virtual ~ipcdRouterT() = default;
    ipcdRouterT(const ipcdRouterT&) = delete;
    ipcdRouterT& operator=(const ipcdRouterT&) = delete;

    const std::string& name() const { return _name; }

    // Checks a datagram just read from `from` (length, kind, priority, the
    // layout of control payloads); false after logging why it is dropped.
    // `prio` receives its priority.
    bool _accept(const dgramT& d, const ipcNodeT& from, unsigned& prio);
    // Routes an accepted datagram by kind.
    void _route(const dgramT& d, ipcNodeT& from);

    // Attaches a name: a primary node handed over with its connection (ivkId 0),
    // or a secondary name bound by its owner. Answers the node (or the owner)
    // and tells the others. False when the name is refused.
    bool _doAddNode(const std::shared_ptr<ipcNodeT>& node, uint32_t ivkId);
    // A primary node is gone for good: its secondary names are released, the
    // others are told it is down, its slot is emptied (the id stays its name's).
    // Nothing happens if the slot already holds another node.
    void _releaseNode(std::shared_ptr<ipcNodeT> node);

    // The node in slot `id`, or null (id 0, outside the table, empty slot).
    ipcNodeT* _slot(uint32_t id) const;
    size_t _tableSize() const { return _table.size(); }

protected:
    // Sends `d` on the node's connection under the congestion policy. Control
    // datagrams (the daemon's answers and presence notifications) are never
    // dropped by the policy. False when it was not delivered.
    virtual bool _deliverMsg(const dgramT& d, ipcNodeT& node, bool control) = 0;
    // A primary node has been attached: read from it from now on.
    virtual void _watch(ipcNodeT& node) = 0;

    void _handleUserMsg(const dgramT& d, const impl::ipcHeaderT& h, ipcNodeT& from);
    void _handleSubscrMsg(const dgramT& d, const impl::ipcHeaderT& h, ipcNodeT& from);
    void _handleDnsMsg(const dgramT& d, const impl::ipcHeaderT& h, ipcNodeT& from);
    bool _notifyNodePresence(const ipcNodeT& node, bool up, ipcNodeT& target);
    void _sendSnapshot(ipcNodeT& node);
    void _broadcastNodePresence(const ipcNodeT& node, bool up);
    void _removeSiblings(const ipcNodeT& node);
    bool _deliverMsg(const dgramT& d, uint32_t id, bool control);

    // One line of `level`, written at most once per window when it repeats.
    void _logLimited(int level, const char* function, const std::string& text);

    std::vector<std::shared_ptr<ipcNodeT>> _table; // by id; slot 0 never used
    std::unordered_map<std::string, uint32_t> _names;
    std::string _name;
    const startupCfgT::serviceInfoT& _info;
    loggerT _log;
    // Whether per-message debug lines are wanted; the service refreshes it
    // once per wake-up rather than asking the logger for every message.
    bool _debug = false;
    ipcd::repeatLimitT _limit;
};

} // namespace rux
