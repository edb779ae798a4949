// uiConnT: the accepted UI connection, read and written with deadlines.
//
// The bridge must never wait on the UI for ever: reads wait at most the time
// they are given, writes give up when the UI has not taken the bytes by their
// deadline, and shutdown() wakes both at once (from any thread). A write that
// failed for any reason shuts the connection down, so that the reader ends too
// and the UI slot is freed.
//
// Threads: one reader (the forwarding thread) and any number of writers; the
// caller serialises writers (whole frames under its lock). Errors are return
// values; nothing throws.
#pragma once

#include <atomic>
#include <cstddef>

#include "sal/socket.h"

class uiConnT {
public:
    static constexpr int sendBufferSize = 64 * 1024;

    explicit uiConnT(rux::streamSocketT sock);
    ~uiConnT();
    uiConnT(const uiConnT&) = delete;
    uiConnT& operator=(const uiConnT&) = delete;

    // Bytes read (> 0), 0 when none came within `ms` milliseconds, -1 at end
    // of stream, on error or after shutdown().
    long read(char* buf, size_t n, int ms);
    // All of the bytes within `ms` milliseconds; false otherwise.
    bool writeAll(const char* p, size_t n, int ms);
    void shutdown();
    bool isShut() const { return _shut; }
    // A write gave up because the UI had not taken its bytes in time.
    bool stalled() const { return _stalled; }

private:
    rux::streamSocketT _sock;
    int _fd;
    std::atomic<bool> _shut{false};
    std::atomic<bool> _stalled{false};
};
