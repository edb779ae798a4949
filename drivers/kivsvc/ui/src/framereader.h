// uiFrameReaderT: cuts the bytes received from the user interface into
// control-bus frames (msgline.h), without ever blocking.
//
// The bridge reads whatever the socket has into feed() and then takes every
// complete frame with next() before it waits for more input, so that frames
// that arrived in one TCP segment are all answered at once. A frame is decoded
// only once all of its bytes are buffered; what is wrong with it is known as
// early as the bytes allow: a wrong magic from its first differing byte, an
// over-long length from its header, before anything is allocated for it.
//
// Memory: the buffer never holds more than one frame's header and payload
// plus what the caller feeds while next() says a frame is incomplete.
// One reader belongs to one thread; no locking.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "ipc/message.h"

class uiFrameReaderT {
public:
    // next() results besides msg_fromLine's 0..4.
    enum { enINCOMPLETE = -1, enTOO_LONG = 5 };

    void feed(const char* bytes, size_t n);

    // The next buffered frame, consumed: msg_fromLine's result (0, 2, 3, 4),
    // enTOO_LONG for a length above msg_lineMaxPayload (`msg` untouched), or
    // enINCOMPLETE while the frame's bytes are not all there yet. After any
    // result other than 0 and enINCOMPLETE the stream is out of step: the
    // caller drops the connection.
    int next(std::unique_ptr<rux::ipcMessageT>& msg, std::string& service, std::string& node);

    // Bytes of a frame not yet complete.
    size_t buffered() const { return _buf.size() - _pos; }
    // Payload length announced by the incomplete frame's header (0 before the
    // header is in).
    unsigned long announced() const;

private:
    std::string _buf;
    size_t _pos = 0; // start of the first unconsumed frame in _buf
};

