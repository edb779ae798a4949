// usbdrv::wakePipeT: the in-process pipe on which requesting threads wake a
// driver thread that sleeps in its poller.
//
// The read end is bound to a fresh nameless pipe address, the write end
// connected to it. wake() may be called from any thread (writes are
// serialised by the socket layer); drain() and reader() belong to the driver
// thread. A byte means "look at the request list"; its value is not read.
// Failure to make the pipe is an operating-system fault (RUX_OS_CHECK).
#pragma once

#include "sal/socket.h"

namespace usbdrv {

class wakePipeT {
public:
    wakePipeT();
    ~wakePipeT();
    wakePipeT(const wakePipeT&) = delete;
    wakePipeT& operator=(const wakePipeT&) = delete;

    // Writes one byte; false once the pipe is closed.
    bool wake();
    // Reads every byte that is there, without waiting.
    void drain();
    // The read end, for the driver's poller.
    rux::streamSocketT& reader() { return _rd; }

private:
    rux::streamSocketT _rd;
    rux::streamSocketT _wr;
};

} // namespace usbdrv
