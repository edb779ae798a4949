#include "router.h"

#include <sstream>

#include "limits.h"

namespace rux {

using namespace impl;
using ipcd::maxNameLen;
using ipcd::maxNames;

namespace {

// Byte 4 of the header: the priority in bits 0-2.
constexpr uint32_t kFlagsAt = 4;

// Fixed parts of the control payloads beyond their names.
constexpr uint32_t kSubscrFixed = 31;
constexpr uint32_t kDnsFixed = 30;

} // namespace

ipcdRouterT::ipcdRouterT(const std::string& service, const startupCfgT::serviceInfoT& info)
    : _table(1), _name(service), _info(info), _log(service), _limit(ipcd::repeatWindowSec) {
    _log.level(info.logLevel);
    _debug = info.logLevel >= log::DEBUG;
}

void ipcdRouterT::_logLimited(int level, const char* function, const std::string& text) {
    ipcd::logLimited(_log, _limit, level, function, text);
}

ipcNodeT* ipcdRouterT::_slot(uint32_t id) const {
    return id < _table.size() ? _table[id].get() : nullptr;
}

bool ipcdRouterT::_accept(const dgramT& d, const ipcNodeT& from, unsigned& prio) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(d.buf());
    if (d.length() < ipcHeaderT::size) {
        std::ostringstream s;
        s << "datagram of " << d.length() << " bytes from node \"" << from.name
          << "\" is shorter than a header --> discarding";
        _logLimited(log::WARNING, "_schedule", s.str());
        return false;
    }
    unsigned kind = p[0];
    if (kind != enIPC_USER && kind != enIPC_SUBSCR && kind != enIPC_DNS) {
        // Presence notifications travel from the daemon only.
        std::ostringstream s;
        s << "unexpected message type (" << kind << ") --> discarding";
        _logLimited(log::ERROR, "_dispatch", s.str());
        return false;
    }
    unsigned pr = p[kFlagsAt] & 0x07;
    if (pr > ipcPrioT::maxVal) {
        std::ostringstream s;
        s << "datagram with invalid priority " << pr << " from node \"" << from.name
          << "\" --> discarding";
        _logLimited(log::WARNING, "_schedule", s.str());
        return false;
    }
    bool ok = true;
    ipcHeaderT h;
    if (kind == enIPC_SUBSCR) {
        ipcSubscrT b;
        ok = ipcParseSubscr(d, h, b) &&
             d.length() == kSubscrFixed + b.service.size() + b.node.size();
    } else if (kind == enIPC_DNS) {
        ipcDnsT b;
        ok = ipcParseDns(d, h, b) && d.length() == kDnsFixed + b.node.size();
    }
    if (!ok) {
        std::ostringstream s;
        s << "malformed message of type " << kind << " (" << d.length() << " bytes) from node \""
          << from.name << "\" --> discarding";
        _logLimited(log::WARNING, "_schedule", s.str());
        return false;
    }
    prio = pr;
    return true;
}

void ipcdRouterT::_route(const dgramT& d, ipcNodeT& from) {
    ipcHeaderT h;
    if (!ipcParseHeader(d, h)) {
        // _accept let it in; nothing else produces a datagram here.
        return;
    }
    switch (h.kind) {
    case enIPC_USER:
        _handleUserMsg(d, h, from);
        break;
    case enIPC_SUBSCR:
        _handleSubscrMsg(d, h, from);
        break;
    case enIPC_DNS:
        _handleDnsMsg(d, h, from);
        break;
    default: {
        std::ostringstream s;
        s << "unexpected message type (" << unsigned(h.kind) << ") --> discarding";
        _logLimited(log::ERROR, "_dispatch", s.str());
    }
    }
}

void ipcdRouterT::_handleUserMsg(const dgramT& d, const ipcHeaderT& h, ipcNodeT& from) {
    ipcNodeT* src = _slot(h.srcId);
    ipcNodeT* dst = _slot(h.dstId);
    if (!src || !dst) {
        std::ostringstream s;
        s << "can't deliver user message with unknown source (" << h.srcId << ") --> destination ("
          << h.dstId << ")";
        _logLimited(log::WARNING, "_handleUserMsg", s.str());
        return;
    }
    // A node speaks for itself and its own secondary names, and forwards only
    // as itself.
    bool srcOk = h.srcId == from.id || (!src->primary() && src->pid == from.id);
    bool fwdOk = h.fwdId == 0 || h.fwdId == from.id;
    if (!srcOk || !fwdOk) {
        std::ostringstream s;
        s << "refused message from node \"" << from.name << "\" (id = " << from.id
          << ") claiming source " << h.srcId << " and forwarder " << h.fwdId << " --> discarding";
        _logLimited(log::WARNING, "_handleUserMsg", s.str());
        return;
    }
    if (_debug) {
        loggerT::logbufT line(_log, log::DEBUG, "_handleUserMsg");
        line << "received message from \"" << src->name << "\" to \"" << dst->name << "\"";
        if (h.fwdId != 0) {
            ipcNodeT* fwd = _slot(h.fwdId);
            line << " via forwarder \"" << (fwd ? fwd->name : std::string()) << "\" (" << h.fwdId
                 << ")";
        }
        line << ", reply = " << (h.reply ? "y" : "n") << ", ivkId = " << h.ivkId << "\n";
    }
    if (h.fwdId != 0 && src->primary()) {
        _logLimited(log::WARNING, "_handleUserMsg",
                    "received forwarded message from a primary node --> discarding");
        return;
    }
    ipcNodeT* target = dst;
    if (!dst->primary()) {
        ipcNodeT* owner = _slot(dst->pid);
        if (!owner) {
            std::ostringstream s;
            s << "can't resolve parent of secondary node name \"" << dst->name
              << "\", id = " << dst->id << ", pid = " << dst->pid << " --> discarding message";
            _logLimited(log::WARNING, "_handleUserMsg", s.str());
            return;
        }
        IPCD_LOG(_log, log::DEBUG, "_handleUserMsg")
            << "redirecting message for secondary node \"" << dst->name
            << "\" to forwarding node \"" << owner->name << "\"\n";
        target = owner;
    }
    _deliverMsg(d, *target, false);
}

void ipcdRouterT::_handleSubscrMsg(const dgramT& d, const ipcHeaderT& h, ipcNodeT& from) {
    ipcHeaderT hh;
    ipcSubscrT body;
    if (!ipcParseSubscr(d, hh, body))
        return;
    if (h.srcId != from.id) {
        std::ostringstream s;
        s << "refused subscription request from node \"" << from.name << "\" (id = " << from.id
          << ") on behalf of node " << h.srcId << " --> discarding";
        _logLimited(log::WARNING, "_handleSubscrMsg", s.str());
        return;
    }
    if (body.service != _name) {
        std::ostringstream s;
        s << "wrong service name \"" << body.service << "\"";
        _logLimited(log::CRITICAL, "_handleSubscrMsg", s.str());
        return;
    }
    if (body.type == ipcSubscrT::enBIND) {
        IPCD_LOG(_log, log::INFO, "_handleSubscrMsg")
            << "binding secondary node name \"" << body.node << "\"\n";
        if (body.node.empty() || body.node.size() > maxNameLen) {
            std::ostringstream s;
            s << "invalid secondary node name of " << body.node.size() << " characters from node \""
              << from.name << "\"";
            _logLimited(log::ERROR, "_handleSubscrMsg", s.str());
            dgramT out;
            if (ipcBuildSubscrResponse(out, h, body, ipcSubscrT::enINVALID, 0))
                _deliverMsg(out, from, true);
            return;
        }
        auto node = std::make_shared<ipcNodeT>(seqSocketT(), body.node, from.id);
        _doAddNode(node, h.ivkId);
        return;
    }
    if (body.type == ipcSubscrT::enUNBIND) {
        IPCD_LOG(_log, log::INFO, "_handleSubscrMsg")
            << "unbinding secondary node name \"" << body.node << "\"\n";
        uint32_t status = ipcSubscrT::enACCEPTED;
        auto it = _names.find(body.node);
        ipcNodeT* node = it == _names.end() ? nullptr : _slot(it->second);
        if (!node) {
            IPCD_LOG(_log, log::WARNING, "_handleSubscrMsg")
                << "unbinding not registered node name \"" << body.node << "\"\n";
        } else if (node->primary()) {
            IPCD_LOG(_log, log::ERROR, "_handleSubscrMsg")
                << "can't unbind primary node name \"" << body.node << "\"\n";
            status = ipcSubscrT::enREFUSED;
        } else if (node->pid != from.id) {
            IPCD_LOG(_log, log::ERROR, "_handleSubscrMsg")
                << "can't unbind node name \"" << body.node
                << "\", permission denied (caller = " << from.id << ", expected = " << node->pid
                << ")\n";
            status = ipcSubscrT::enREFUSED;
        } else {
            std::shared_ptr<ipcNodeT> keep = _table[node->id];
            _broadcastNodePresence(*keep, false);
            _table[keep->id].reset();
        }
        dgramT out;
        if (ipcBuildSubscrResponse(out, h, body, status, from.id))
            _deliverMsg(out, from, true);
        return;
    }
    std::ostringstream s;
    s << "unexpected subscription message from already registered node \"" << from.name
      << "\" --> discarding";
    _logLimited(log::ERROR, "_handleSubscrMsg", s.str());
}

void ipcdRouterT::_handleDnsMsg(const dgramT& d, const ipcHeaderT& h, ipcNodeT& from) {
    ipcHeaderT hh;
    ipcDnsT req;
    if (!ipcParseDns(d, hh, req))
        return;
    if (h.srcId != from.id) {
        std::ostringstream s;
        s << "refused name lookup from node \"" << from.name << "\" (id = " << from.id
          << ") on behalf of node " << h.srcId << " --> discarding";
        _logLimited(log::WARNING, "_handleDnsMsg", s.str());
        return;
    }
    ipcDnsT ans;
    if (req.id != 0) {
        ans.id = req.id;
        if (ipcNodeT* n = _slot(req.id))
            ans.node = n->name;
    } else {
        auto it = _names.find(req.node);
        ans.id = it == _names.end() ? 0 : it->second;
    }
    dgramT out;
    if (ipcBuildDnsResponse(out, h, ans))
        _deliverMsg(out, from, true);
}

bool ipcdRouterT::_doAddNode(const std::shared_ptr<ipcNodeT>& node, uint32_t ivkId) {
    ipcHeaderT req;
    req.ivkId = ivkId;
    ipcSubscrT body;
    body.type = node->primary() ? ipcSubscrT::enATTACH : ipcSubscrT::enBIND;
    body.service = _name;
    body.node = node->name;

    bool ok = false;
    auto it = _names.find(node->name);
    if (it != _names.end()) {
        node->id = it->second;
        ipcNodeT* held = _slot(node->id);
        if (held && held->primary() && held->gone && node->primary()) {
            // The connection it came back on replaces one whose last datagrams
            // were still on their way: that one is finished first.
            _releaseNode(_table[node->id]);
            held = nullptr;
        }
        ok = !held || (!held->primary() && node->primary());
    } else if (_table.size() > maxNames) {
        std::ostringstream s;
        s << "can't add node \"" << node->name << "\": the service already holds " << maxNames
          << " names";
        _logLimited(log::ERROR, "_doAddNode", s.str());
    } else {
        node->id = uint32_t(_table.size());
        _table.emplace_back();
        _names.emplace(node->name, node->id);
        ok = true;
    }

    uint32_t status = ok ? ipcSubscrT::enACCEPTED : ipcSubscrT::enREFUSED;
    if (ok) {
        // A secondary name in the slot goes without a word to its owner.
        _table[node->id] = node;
        if (node->primary())
            _watch(*node);
        IPCD_LOG(_log, log::NOTICE, "_doAddNode") << "added node " << node->name << "\n";
        _broadcastNodePresence(*node, true);
    } else if (node->id != 0 && _slot(node->id)) {
        std::ostringstream s;
        s << "can't add node \"" << node->name
          << "\" because name is already registered by another node";
        _logLimited(log::ERROR, "_doAddNode", s.str());
    }

    dgramT out;
    if (ipcBuildSubscrResponse(out, req, body, status, ok ? node->id : 0)) {
        if (node->primary())
            _deliverMsg(out, *node, true);
        else
            _deliverMsg(out, node->pid, true);
    }
    if (ok && node->primary() && !node->gone)
        _sendSnapshot(*node);
    return ok;
}

void ipcdRouterT::_releaseNode(std::shared_ptr<ipcNodeT> node) {
    if (!node || node->released)
        return;
    node->released = true;
    if (_slot(node->id) != node.get())
        return;
    _removeSiblings(*node);
    _broadcastNodePresence(*node, false);
    _table[node->id].reset();
}

bool ipcdRouterT::_notifyNodePresence(const ipcNodeT& node, bool up, ipcNodeT& target) {
    if (!target.primary() || target.gone)
        return true;
    IPCD_LOG(_log, log::DEBUG, "_notifyNodePresence")
        << "notifying node \"" << target.name << "\" that node \"" << node.name
        << "\" (id = " << node.id << ") is now " << (up ? "UP" : "DOWN") << "\n";
    dgramT out;
    if (!ipcBuildNotif(out, target.id, ipcNotifT{node.id, up, node.name}))
        return false;
    return _deliverMsg(out, target, true);
}

void ipcdRouterT::_sendSnapshot(ipcNodeT& node) {
    for (size_t i = 1; i < _table.size() && !node.gone; ++i) {
        std::shared_ptr<ipcNodeT> other = _table[i];
        if (other && other.get() != &node && other->pid != node.id)
            _notifyNodePresence(*other, true, node);
    }
}

void ipcdRouterT::_broadcastNodePresence(const ipcNodeT& node, bool up) {
    for (size_t i = 1; i < _table.size(); ++i) {
        std::shared_ptr<ipcNodeT> target = _table[i];
        if (target && target.get() != &node && target->id != node.pid)
            _notifyNodePresence(node, up, *target);
    }
}

void ipcdRouterT::_removeSiblings(const ipcNodeT& node) {
    for (size_t i = 1; i < _table.size(); ++i) {
        std::shared_ptr<ipcNodeT> sib = _table[i];
        if (sib && !sib->primary() && sib->pid == node.id) {
            _broadcastNodePresence(*sib, false);
            _table[i].reset();
        }
    }
}

bool ipcdRouterT::_deliverMsg(const dgramT& d, uint32_t id, bool control) {
    ipcNodeT* node = _slot(id);
    return node && _deliverMsg(d, *node, control);
}

} // namespace rux
