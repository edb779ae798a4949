// The operator console of one application: the "rux" system menu on the
// application's root menu, the standard-input/output console on the thread
// "rux_gas_console", and the telnet console server. Owned by gasT.
//
// Thread-safety: setup(), start() and stop() run on the skeleton's thread;
// stop() may also run on any other thread but a console thread, and more than
// once.
// Failure: setup() and start() return false; the skeleton turns that into its
// exit codes.
#pragma once

#include <memory>

#include "gas/app.h"

namespace rux {

class cliMenuT;
class cliOutputT;
class cliSharedOutputT;
class gasTelnetSrvT;

namespace impl {

class stdioConsoleT;

class gasConsoleT {
public:
    explicit gasConsoleT(gasT& app);
    ~gasConsoleT(); // calls stop()
    gasConsoleT(const gasConsoleT&) = delete;
    gasConsoleT& operator=(const gasConsoleT&) = delete;

    // Phase "initialize console": menus, the console output, the server.
    bool setup(const gasCfgT& cfg);
    // The standard console's output (a null terminal when it is off); log
    // lines written into it never split the operator's own line.
    std::shared_ptr<cliOutputT> output() const;
    bool stdioOn() const { return _stdioOn; }
    // Phase "start console": the stdio console thread and the telnet server.
    bool start(const gasCfgT& cfg);
    // Stops the telnet server (joining its sessions), ends the stdio console
    // thread and restores the terminal.
    void stop();

    std::shared_ptr<cliMenuT> root() const { return _root; }
    std::shared_ptr<gasTelnetSrvT> server() const;

private:
    gasT& _app;
    std::shared_ptr<cliMenuT> _root;
    std::shared_ptr<cliOutputT> _out;
    std::shared_ptr<cliSharedOutputT> _shared; // the stdio output when on
    std::unique_ptr<stdioConsoleT> _stdio;
    std::shared_ptr<gasTelnetSrvT> _srv;
    mutable mutexT _mtx; // _srv, read by console commands
    bool _stdioOn = false;
};

} // namespace impl
} // namespace rux
