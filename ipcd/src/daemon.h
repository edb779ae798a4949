// ipcdT: the daemon's main loop. It listens at the daemon address, waits for
// the attach request of every accepted connection (all at once, each for at
// most 2000 ms, at most 64 of them; the oldest is dropped beyond), validates
// it, creates the service it names on first use and hands the node to that
// service's thread without waiting for it.
//
// One process-wide object (instance(), released by cleanup()). run() is called
// once, on the thread that then runs the loop; quit() may be called from any
// thread (and from a signal handler: it only stores a flag and writes an
// eventfd) and makes run() return promptly, after every service thread ended.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "ipc/startupcfg.h"
#include "logger/logger.h"
#include "logline.h"
#include "sal/mutex.h"
#include "sal/socket.h"
#include "sal/time.h"
#include "service.h"

namespace rux {

class ipcdT {
public:
    static ipcdT* instance();
    static void cleanup();
    // quit() of the instance, safe against a cleanup() running meanwhile.
    static void quitInstance();

    // Binds the daemon address and serves until quit(); false when the
    // address cannot be bound. `ready` (if set) is called once bound.
    bool run(const startupCfgT* cfg, const std::function<void()>& ready = {});
    void quit();

    // Binds the listening socket.
    bool _init();

private:
    ipcdT();
    ~ipcdT();

    struct pendingT {
        seqSocketT conn;
        timeT deadline;
    };

    void _accept();
    // Reads the attach request of `p`; true when `p` is done with (attached
    // or dropped).
    bool _attach(pendingT& p);
    void _drop(std::list<pendingT>::iterator it);
    void _logLimited(int level, const std::string& text);

    static mutexT& _imtx(); // guards _instance
    static ipcdT* _instance;

    srvSocketT<seqSocketT> _srv;
    std::atomic<bool> _quit{false};
    int _wake = -1; // eventfd written by quit()
    int _ep = -1;   // listener, wake (null), pending connections (by pointer)
    const startupCfgT* _cfg = nullptr;
    std::list<pendingT> _pending; // accept order, which is deadline order
    std::unordered_map<std::string, std::shared_ptr<ipcdServiceT>> _services;
    loggerT _log;
    ipcd::repeatLimitT _limit;
};

} // namespace rux
