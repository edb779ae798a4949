// SIGTERM, SIGINT and SIGHUP as quit requests, delivered on the ordinary thread
// "rux_gas_signal" rather than inside a signal handler.
//
// block() must run on the main thread before any other thread of the program
// is made, so that every thread made later inherits the blocked mask; the
// handler covers threads that existed earlier (a library's own) by passing
// the signal to the thread through a pipe. Once stopped (or before start), a
// quit signal ends the process by its default action.
#pragma once

#include <functional>

#include "sal/thread.h"

namespace rux::impl {

class quitSignalsT {
public:
    // Blocks the quit signals on the calling thread; ignores SIGPIPE.
    static void block();

    quitSignalsT() = default;
    ~quitSignalsT() { stop(); }
    quitSignalsT(const quitSignalsT&) = delete;
    quitSignalsT& operator=(const quitSignalsT&) = delete;

    // Calls onQuit(signal) on the signal thread for each quit signal.
    bool start(std::function<void(int)> onQuit);
    // Ends the signal thread; idempotent. Not from within onQuit.
    void stop();
    // Puts the handler back where another was installed since (the console's
    // terminal restore): a quit signal is a request to quit, and the console
    // restores the terminal when it stops.
    static void reassert();

private:
    void _run();

    std::function<void(int)> _onQuit;
    threadT::handleT _thread;
};

} // namespace rux::impl
