// ipcdServiceT: one IPC service of the daemon and the thread that serves it.
//
// The service thread does all reading, queuing, routing and notifying for the
// service (ipcdRouterT): it waits on one epoll set holding every attached node
// and a control event, reads one datagram per ready node into a reused buffer,
// routes it at once when nothing more urgent waits or is held, and otherwise
// queues it by priority (holdQueueT). A node with too much queued is not read
// until it drains. Sending applies the service's congestion policy when a
// node's connection cannot take a datagram: DROP loses it (never a control
// datagram, whose node is cut off after the kill time-out instead), KILL waits
// up to the kill time-out and then cuts the node off, WAIT waits for as long as
// it takes. Every wait also ends on the node's hang-up and on quit().
//
// addNode and quit may be called from any thread and never wait for the
// service thread. Destruction asks the thread to end and joins it.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "holdqueue.h"
#include "router.h"
#include "sal/mutex.h"
#include "sal/thread.h"

namespace rux {

class ipcdServiceT : public ipcdRouterT {
public:
    // Starts the service thread; returns once it runs. Null when the
    // operating system refuses the thread's resources.
    static std::shared_ptr<ipcdServiceT> create(const std::string& name,
                                                const startupCfgT::serviceInfoT* info);
    ~ipcdServiceT() override;

    // Hands a primary node with its connection to the service thread, which
    // attaches it. False (the node untouched) when too many wait already.
    bool addNode(std::shared_ptr<ipcNodeT> node);
    // Asks the service thread to end soon, whatever it is waiting for.
    void quit();

private:
    ipcdServiceT(const std::string& name, const startupCfgT::serviceInfoT& info);

    void _run();
    // Takes the handed-over nodes; false when the service is to end.
    bool _handleCtrl();
    // Reads one datagram of `node`; false when the connection has ended.
    // `alone`: no other node was read in this wake-up, so a datagram that
    // nothing more urgent holds back may be routed without queuing.
    bool _schedule(const std::shared_ptr<ipcNodeT>& node, bool alone);
    // Routes queued datagrams as far as priorities and holds allow.
    void _dispatch();

    bool _deliverMsg(const dgramT& d, ipcNodeT& node, bool control) override;
    using ipcdRouterT::_deliverMsg;
    void _watch(ipcNodeT& node) override;
    bool _handleCongestion(const dgramT& d, ipcNodeT& node, bool control);
    // 1 writable, 0 time-out, -1 hang-up or error, -2 quit. ms < 0: no limit.
    int _waitWritable(ipcNodeT& node, int ms);

    // Shuts the connection both ways; it is handled as disconnected next.
    void _cutOff(ipcNodeT& node);
    // Handles every connection cut off meanwhile.
    void _reap();
    void _disconnect(const std::shared_ptr<ipcNodeT>& node);
    void _pause(ipcNodeT& node, bool pause);
    // One of the node's datagrams has left the queues.
    void _unqueued(ipcNodeT& node, uint32_t cost);

    int _ep = -1;  // epoll set: nodes (by pointer) and the control event (null)
    int _ctl = -1; // eventfd: hand-over or quit
    std::atomic<bool> _quit{false};
    bool _ctrlPending = false; // the control event was consumed by a congestion wait

    mutexT _hmtx;                                     // guards _handover
    std::vector<std::shared_ptr<ipcNodeT>> _handover; // accepted, not yet attached

    ipcd::holdQueueT _queue;
    // Until when the queues are held back: a hand-over that stalls on a
    // congested node must not push the next dispatch further out.
    timeT _holdUntil;
    std::unique_ptr<char[]> _rbuf;
    std::vector<std::shared_ptr<ipcNodeT>> _dead; // cut off, not yet handled
    threadT::handleT _thread;
};

} // namespace rux
