#include "service_waitset.h"

#include <cerrno>
#include <utility>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "sal/assert.h"

namespace rux {
namespace impl {

waitSetT::waitSetT() {
    _ep = ::epoll_create1(EPOLL_CLOEXEC);
    _ev = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    RUX_OS_CHECK(_ep >= 0 && _ev >= 0);
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u32 = enWOKEN;
    RUX_OS_CHECK(::epoll_ctl(_ep, EPOLL_CTL_ADD, _ev, &e) == 0);
}

waitSetT::~waitSetT() {
    ::close(_ep);
    ::close(_ev);
}

namespace {

bool addSocket(int ep, int fd) {
    epoll_event e{};
    e.events = EPOLLIN | EPOLLEXCLUSIVE;
    e.data.u32 = waitSetT::enSOCKET;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e) == 0)
        return true;
    if (errno != EEXIST)
        return false; // out of memory or of epoll watches
    ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
    return ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e) == 0;
}

} // namespace

bool waitSetT::arm(int fd, uint64_t c) {
    // The old socket left the set when it was closed: its number may name
    // another file by now and is not touched.
    _fd = -1;
    conn = 0;
    if (!addSocket(_ep, fd))
        return false;
    _fd = fd;
    conn = c;
    return true;
}

bool waitSetT::rearm() {
    if (_fd < 0 || conn == 0)
        return true;
    ::epoll_ctl(_ep, EPOLL_CTL_DEL, _fd, nullptr);
    if (addSocket(_ep, _fd))
        return true;
    _fd = -1;
    conn = 0;
    return false;
}

void waitSetT::disarm() {
    if (_fd >= 0 && conn != 0)
        ::epoll_ctl(_ep, EPOLL_CTL_DEL, _fd, nullptr);
    _fd = -1;
    conn = 0;
}

int waitSetT::wait(int ms) {
    epoll_event ev[2];
    int n = ::epoll_wait(_ep, ev, 2, ms);
    int r = 0;
    for (int i = 0; i < n; ++i) {
        r |= int(ev[i].data.u32);
        if (ev[i].data.u32 == enWOKEN) {
            uint64_t v;
            ssize_t k = ::read(_ev, &v, sizeof v);
            (void)k;
        }
    }
    return r;
}

void waitSetT::wake() {
    uint64_t one = 1;
    ssize_t r = ::write(_ev, &one, sizeof one);
    (void)r; // a counter that is already set wakes as well
}

const std::shared_ptr<waitSetT>& threadWaitSet(const void* owner) {
    // Few services per thread: a short list beats a map.
    thread_local std::vector<std::pair<const void*, std::shared_ptr<waitSetT>>> sets;
    for (auto& s : sets)
        if (s.first == owner)
            return s.second;
    sets.emplace_back(owner, std::make_shared<waitSetT>());
    return sets.back().second;
}

} // namespace impl
} // namespace rux
