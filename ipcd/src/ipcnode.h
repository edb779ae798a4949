// ipcNodeT: one name of a service in the daemon, a connected primary node or a
// secondary name served by one.
//
// A primary node owns the connection it attached on; a secondary name has no
// connection and names its owner in `pid`. The daemon keeps a few facts about
// the connection beside the name: whether it is watched for reading, how much
// of what it sent still waits in the service's queues, and whether it has gone
// (its queued datagrams are still routed; the name is released once they are
// out). Owned by the service thread once handed over; never shared between
// threads otherwise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sal/socket.h"

namespace rux {

class ipcNodeT : public seqSocketT, public std::enable_shared_from_this<ipcNodeT> {
public:
    ipcNodeT(const seqSocketT& conn, std::string nodeName, uint32_t parent)
        : seqSocketT(conn), name(std::move(nodeName)), pid(parent) {}

    bool primary() const { return pid == 0; }
    // The connection's descriptor; -1 for a secondary name or once closed.
    int fd() const { return nativeHandle(); }

    std::string name;
    uint32_t id = 0;
    uint32_t pid = 0; // 0: primary; else the id of the owning primary node

    // Service-thread bookkeeping of a primary node.
    bool watched = false;     // in the service's read set
    bool paused = false;      // not read until its queued bytes drain
    bool gone = false;        // disconnected (or cut off); nothing more is sent to it
    bool closed = false;      // its disconnection has been handled
    bool released = false;    // its slot has been emptied
    uint32_t queuedBytes = 0; // of its datagrams waiting in the queues
    uint32_t queuedCount = 0;
};

} // namespace rux
