#include "uiconn.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace {

using clockT = std::chrono::steady_clock;

int msLeft(clockT::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clockT::now()).count();
    return left < 0 ? 0 : int(left);
}

} // namespace

uiConnT::uiConnT(rux::streamSocketT sock) : _sock(std::move(sock)), _fd(_sock.nativeHandle()) {
    // A fixed send buffer, so that a UI that stops reading is noticed after
    // a frame or two's worth of queued bytes rather than megabytes of stale
    // replies (the kernel would grow the buffer up to tcp_wmem's maximum).
    int size = sendBufferSize;
    // Frames go out whole in one write: Nagle's algorithm would only hold a
    // reply back behind the acknowledgement of the frame before it.
    int one = 1;
    if (_fd >= 0) {
        ::setsockopt(_fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
}

uiConnT::~uiConnT() {
    _sock.close();
}

long uiConnT::read(char* buf, size_t n, int ms) {
    auto end = clockT::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (_shut || _fd < 0)
            return -1;
        ssize_t r = ::recv(_fd, buf, n, 0);
        if (r > 0)
            return long(r);
        if (r == 0)
            return -1;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        int left = msLeft(end);
        if (left == 0)
            return 0;
        pollfd p{_fd, POLLIN, 0};
        if (::poll(&p, 1, left) < 0 && errno != EINTR)
            return -1;
    }
}

bool uiConnT::writeAll(const char* p, size_t n, int ms) {
    auto end = clockT::now() + std::chrono::milliseconds(ms);
    size_t done = 0;
    while (done < n) {
        if (_shut || _fd < 0)
            return false;
        ssize_t w = ::send(_fd, p + done, n - done, MSG_NOSIGNAL);
        if (w > 0) {
            done += size_t(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            break;
        int left = msLeft(end);
        if (left == 0) {
            _stalled = true; // the UI stopped reading
            break;
        }
        pollfd q{_fd, POLLOUT, 0};
        if (::poll(&q, 1, left) < 0 && errno != EINTR)
            break;
    }
    if (done == n)
        return true;
    shutdown();
    return false;
}

void uiConnT::shutdown() {
    _shut = true;
    // Wakes a reader or writer waiting in poll: the socket turns readable
    // (end of stream) and writable (error) at once.
    _sock.shutdown(3);
}
