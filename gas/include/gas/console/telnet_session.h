// gasTelnetSessionT: one operator connected over telnet.
//
// Runs a console session on the server's root menu over the accepted socket,
// on the thread "rux_gas_telnet_session [<peer>]"; the session identifier is
// that thread's identifier. The session takes itself out of its server's map
// when its thread ends.
// Ownership: held by shared pointer (the server's map and the thread itself),
// so it is never freed while its thread runs; it holds its server.
// Thread-safety: shutdown() may be called from any thread; wait()
// from any thread but the session's own.
// Failure: start() returns false for a closed socket or empty menu.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "cli/elem.h"
#include "sal/socket.h"
#include "sal/thread.h"

namespace rux {

class gasTelnetSrvT;

class gasTelnetSessionT : public std::enable_shared_from_this<gasTelnetSessionT> {
public:
    gasTelnetSessionT(std::string name, std::shared_ptr<gasTelnetSrvT> srv);
    ~gasTelnetSessionT();
    gasTelnetSessionT(const gasTelnetSessionT&) = delete;
    gasTelnetSessionT& operator=(const gasTelnetSessionT&) = delete;

    // Starts the thread; returns once it runs.
    bool start(streamSocketT sock, std::shared_ptr<cliMenuT> root);

    const std::string& name() const { return _name; }
    uint32_t sid() const { return _sid.load(); }
    // The calling thread is this session's thread.
    bool current() const;

    // Ends the session: from another thread at once (both directions of the
    // socket are shut down), on its own thread once the command it runs has
    // returned and its reply has gone out.
    void shutdown();
    // Returns once the thread has ended; never on the session's own thread.
    void wait();

private:
    void _run();

    const std::string _name;
    std::shared_ptr<gasTelnetSrvT> _srv;
    std::shared_ptr<cliMenuT> _root;
    streamSocketT _sock;
    threadT::handleT _thread;
    std::atomic<uint32_t> _sid{0};
    std::atomic<bool> _closing{false}; // shutdown() was called
    std::atomic<bool> _killed{false};  // ... from another thread
};

} // namespace rux
