// gasTelnetSrvT: the telnet console server of an application.
//
// Listens on one IPv4 address (backlog 1) and runs each accepted connection as
// a gasTelnetSessionT on a thread of its own, at most maxSessions at a time; a
// connection beyond that is told so in one line and closed. A failed accept is
// retried after a short pause until the server stops. The session map is
// guarded by the server's mutex.
// Ownership: made with create() and held by shared pointer; each session holds
// its server until its thread has ended. stop() (also run by the destructor)
// shuts down every session and waits for their threads.
// Thread-safety: every operation may be called from any thread; stop() called
// on a session's own thread waits for all the others, and that session ends
// as soon as its current command returns.
// Failure: start() returns false when the address cannot be bound.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/elem.h"
#include "logger/logger.h"
#include "sal/address.h"
#include "sal/cond.h"
#include "sal/mutex.h"
#include "sal/socket.h"
#include "sal/thread.h"

namespace rux {

class gasTelnetSessionT;

class gasTelnetSrvT : public std::enable_shared_from_this<gasTelnetSrvT> {
public:
    static constexpr std::size_t maxSessions = 16;
    // Pause before accepting again after a failed accept.
    static constexpr int retryMs = 100;

    struct sessionInfoT {
        uint32_t sid;
        std::string peer;
    };

    static std::shared_ptr<gasTelnetSrvT> create();
    ~gasTelnetSrvT();
    gasTelnetSrvT(const gasTelnetSrvT&) = delete;
    gasTelnetSrvT& operator=(const gasTelnetSrvT&) = delete;

    // Binds, starts the server thread and returns once it runs. A port of 0
    // binds an ephemeral port; address() then tells which.
    bool start(const ipv4SockAddrT& addr, std::shared_ptr<cliMenuT> root);
    void stop();

    bool running() const;
    ipv4SockAddrT address() const;

    // Live sessions, by identifier.
    std::vector<sessionInfoT> sessions() const;
    std::shared_ptr<gasTelnetSessionT> session(uint32_t sid) const;
    // The session running on the calling thread, or empty.
    std::shared_ptr<gasTelnetSessionT> current() const;
    // Shuts the session down (after its current command when it is the
    // caller's own); false when there is no such session.
    bool kill(uint32_t sid);

private:
    friend class gasTelnetSessionT;
    gasTelnetSrvT();

    void _run();
    void _accepted(streamSocketT sock, const ipv4SockAddrT& peer);
    void _remove(uint32_t sid, const gasTelnetSessionT* s);

    loggerT _log;
    mutable mutexT _mtx;
    condT _cond; // wakes a retry pause when stopping
    ipv4SockAddrT _addr;
    std::shared_ptr<cliMenuT> _root;
    srvSocketT<streamSocketT> _listener;
    threadT::handleT _thread;
    std::map<uint32_t, std::shared_ptr<gasTelnetSessionT>> _sessions;
    bool _running = false;
    bool _stopping = false;
};

} // namespace rux
