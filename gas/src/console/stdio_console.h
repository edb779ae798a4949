// The console on the process's own standard input and output, run on the
// thread "rux_gas_console" until standard input ends or stop() is called.
//
// Input is read from descriptor 0 with poll(), together with a wake-up pipe,
// so stop() ends a thread blocked waiting for a key. A terminal is in raw mode
// while the console runs (cliInitOsConsole); otherwise a line feed ends a line.
// Each key operation runs holding the output's lock, so log lines posted to
// the output never split the operator's line.
#pragma once

#include <memory>

#include "cli/elem.h"
#include "gas/console/shared_output.h"
#include "sal/thread.h"

namespace rux::impl {

class stdioConsoleT {
public:
    stdioConsoleT(std::shared_ptr<cliMenuT> root, std::shared_ptr<cliSharedOutputT> out);
    ~stdioConsoleT(); // stop()

    bool start();
    // Ends the thread and waits for it (not on the console thread itself).
    void stop();

private:
    void _run();

    std::shared_ptr<cliMenuT> _root;
    std::shared_ptr<cliSharedOutputT> _out;
    threadT::handleT _thread;
    int _wake[2] = {-1, -1};
};

} // namespace rux::impl
