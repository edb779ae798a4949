// Transports over file descriptors: sockets (TCP, UDP, local stream and
// sequenced-packet), anonymous pipes, and the mapping of local names to
// socket files in the runtime directory.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "sal/socket.h"
#include "sal/time.h"
#include "sockctx.h"

namespace rux {
namespace impl {

namespace {

bool wouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK;
}

long availFd(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0 || (p.revents & (POLLERR | POLLNVAL)))
        return -1;
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) < 0)
        return -1;
    return n;
}

class sockFactoryT final : public opFactoryT {
public:
    long readSome(socketContextT& c, void* b, size_t n) override {
        ssize_t r = ::recv(c.fd, b, n, MSG_DONTWAIT);
        if (r >= 0)
            return r;
        return wouldBlock(errno) ? ioAGAIN : ioFAIL;
    }

    long writeSome(socketContextT& c, const void* b, size_t n) override {
        ssize_t r = ::send(c.fd, b, n, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (r >= 0)
            return r;
        return wouldBlock(errno) ? ioAGAIN : ioFAIL;
    }

    long recvMsg(socketContextT& c, dgramT& d, sockaddr_storage* from) override {
        if (!c.isMessage()) {
            errno = EOPNOTSUPP;
            return ioFAIL;
        }
        socklen_t fromLen = sizeof(sockaddr_storage);
        sockaddr* fp = reinterpret_cast<sockaddr*>(from);
        // The size of the next message, without taking it.
        ssize_t len = ::recvfrom(c.fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT, fp,
                                 from ? &fromLen : nullptr);
        if (len < 0)
            return wouldBlock(errno) ? ioAGAIN : ioFAIL;
        if (c.kind == socketContextT::enUDP && size_t(len) > ipv4DgramSz()) {
            ::recv(c.fd, nullptr, 0, MSG_DONTWAIT); // drop it
            errno = EMSGSIZE;
            return ioFAIL;
        }
        if (len == 0) {
            // Local: the peer closed (empty messages are never sent). UDP: an
            // empty datagram, taken from the queue.
            if (c.kind == socketContextT::enUDP)
                ::recv(c.fd, nullptr, 0, MSG_DONTWAIT);
            d = dgramT(0);
            return 1;
        }
        adaptReadSize(c, size_t(len));
        dgramT m{uint32_t(len)};
        // Length first: growing it after the receive would zero-fill the bytes.
        m.trunc(uint32_t(len));
        fromLen = sizeof(sockaddr_storage);
        ssize_t r =
            ::recvfrom(c.fd, m.buf(), size_t(len), MSG_DONTWAIT, fp, from ? &fromLen : nullptr);
        if (r < 0)
            return wouldBlock(errno) ? ioAGAIN : ioFAIL; // another reader took it
        m.trunc(uint32_t(r));
        d = std::move(m);
        return 1;
    }

    long sendMsg(socketContextT& c, const dgramT& d, const sockaddr* to, socklen_t toLen) override {
        if ((c.kind == socketContextT::enUDP && d.length() > ipv4DgramSz()) ||
            (c.kind == socketContextT::enLOCAL_SEQ && d.length() > localMsgMax)) {
            errno = EMSGSIZE;
            return ioFAIL;
        }
        ssize_t r =
            ::sendto(c.fd, d.buf(), d.length(), MSG_DONTWAIT | MSG_NOSIGNAL, to, to ? toLen : 0);
        if (r >= 0)
            return 1;
        return wouldBlock(errno) || errno == ENOBUFS ? ioAGAIN : ioFAIL;
    }

    long avail(socketContextT& c) override {
        int peer = takePeer(c, false);
        if (peer <= 0)
            return peer;
        if (!c.isMessage())
            return availFd(c.fd);
        // FIONREAD counts every queued message; the next one alone is wanted.
        ssize_t len = ::recv(c.fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (len >= 0)
            return len;
        return wouldBlock(errno) ? 0 : -1;
    }

    long accept(socketContextT& c, ctxPtrT& out, sockaddr_storage* peer) override {
        for (;;) {
            socklen_t len = sizeof(sockaddr_storage);
            int fd = ::accept4(c.fd, reinterpret_cast<sockaddr*>(peer), peer ? &len : nullptr,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                out = std::make_shared<socketContextT>(fd, c.factory, c.kind);
                out->name = c.name;
                out->namedPipe = c.namedPipe;
                out->connected = true;
                return 1;
            }
            // A client that gave up before we took it: take the next one.
            if (errno == ECONNABORTED || errno == EPROTO || errno == EINTR)
                continue;
            return wouldBlock(errno) ? ioAGAIN : ioFAIL;
        }
    }

    bool shutdown(socketContextT& c, int how) override {
        int m = how == 2 ? SHUT_WR : how == 3 ? SHUT_RDWR : SHUT_RD;
        int r = ::shutdown(c.fd, m);
        // A listener has nothing to shut in the kernel's view; waking its
        // accepts is what counts.
        return r == 0 || c.listening;
    }
};

// Writes to a pipe without the process-wide SIGPIPE when the reader is gone.
ssize_t pipeWrite(int fd, const void* b, size_t n) {
    sigset_t pipeSet, old;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &old);
    sigset_t pending;
    sigpending(&pending);
    bool wasPending = sigismember(&pending, SIGPIPE);
    ssize_t r = ::write(fd, b, n);
    int e = errno;
    if (r < 0 && e == EPIPE && !wasPending) {
        timespec zero{0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = e;
    return r;
}

class pipeFactoryT final : public opFactoryT {
public:
    long readSome(socketContextT& c, void* b, size_t n) override {
        ssize_t r = ::read(c.fd, b, n);
        if (r >= 0)
            return r;
        return wouldBlock(errno) ? ioAGAIN : ioFAIL;
    }
    long writeSome(socketContextT& c, const void* b, size_t n) override {
        ssize_t r = pipeWrite(c.fd, b, n);
        if (r >= 0)
            return r;
        return wouldBlock(errno) ? ioAGAIN : ioFAIL;
    }
    long recvMsg(socketContextT&, dgramT&, sockaddr_storage*) override {
        errno = EOPNOTSUPP;
        return ioFAIL;
    }
    long sendMsg(socketContextT&, const dgramT&, const sockaddr*, socklen_t) override {
        errno = EOPNOTSUPP;
        return ioFAIL;
    }
    long avail(socketContextT& c) override { return availFd(c.fd); }
    long accept(socketContextT&, ctxPtrT&, sockaddr_storage*) override {
        errno = EOPNOTSUPP;
        return ioFAIL;
    }
    bool shutdown(socketContextT&, int) override { return true; }
};

// Makes `dir` and its missing parents; the new ones get mode 0700.
bool makeDirs(const std::string& dir) {
    struct stat st;
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !makeDirs(dir.substr(0, slash)))
        return false;
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// FNV-1a, 64 bits: stable across processes and builds.
uint64_t fnv1a(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return h;
}

mutexT g_bindMtx; // serialises the stale-socket check and bind in this process

struct pipeEndT {
    int writeFd = -1; // -1 once a writer took it
};
mutexT g_pipeMtx;
std::map<std::string, pipeEndT>& pipes() {
    static auto* m = new std::map<std::string, pipeEndT>;
    return *m;
}

// The read end of an anonymous pipe; withdraws its name when it goes.
struct pipeReadCtxT : socketContextT {
    using socketContextT::socketContextT;
    ~pipeReadCtxT() override {
        lockT<mutexT> g(g_pipeMtx);
        auto it = pipes().find(name);
        if (it != pipes().end()) {
            if (it->second.writeFd >= 0)
                ::close(it->second.writeFd);
            pipes().erase(it);
        }
    }
};

} // namespace

std::shared_ptr<opFactoryT> sockFactory() {
    static auto f = std::make_shared<sockFactoryT>();
    return f;
}

std::shared_ptr<opFactoryT> pipeFactory() {
    static auto f = std::make_shared<pipeFactoryT>();
    return f;
}

bool runtimeDir(std::string& dir) {
    const char* env = std::getenv("RUX_RUNTIME_DIR");
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    bool shared = false; // /tmp: someone else may have made it first
    if (env && *env) {
        dir = env;
    } else if (::geteuid() == 0) {
        dir = "/run/rux";
    } else if (xdg && *xdg) {
        dir = std::string(xdg) + "/rux";
    } else {
        dir = "/tmp/rux-" + std::to_string(::geteuid());
        shared = true;
    }
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (!makeDirs(dir))
        return false;
    if (shared) {
        struct stat st;
        if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & 077)) {
            errno = EACCES;
            return false;
        }
    }
    return true;
}

bool localPath(const std::string& name, bool pipe, std::string& path) {
    std::string dir;
    if (name.empty() || !runtimeDir(dir))
        return false;
    std::string file = pipe ? "pipe@" : "";
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(std::tolower(name[i]));
        bool plain = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
                     c == '+' || c == '=' || c == ',' || (c == '.' && i > 0);
        if (plain) {
            file += char(c);
        } else {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02x", c);
            file += esc;
        }
    }
    const size_t limit = sizeof(sockaddr_un{}.sun_path) - 1;
    if (dir.size() + 1 + file.size() > limit) {
        // Too long for a socket path: a stable prefix plus a hash of the whole.
        char hash[18];
        std::snprintf(hash, sizeof hash, "#%016llx", static_cast<unsigned long long>(fnv1a(file)));
        if (dir.size() + 1 + 17 > limit) {
            errno = ENAMETOOLONG;
            return false;
        }
        file = file.substr(0, limit - dir.size() - 1 - 17) + hash;
    }
    path = dir + "/" + file;
    return true;
}

namespace {
bool fillUnix(sockaddr_un& sa, const std::string& path) {
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path)
        return false;
    std::memcpy(sa.sun_path, path.data(), path.size());
    return true;
}
} // namespace

int connectLocal(const std::string& path, int type, int attempts, int fd) {
    sockaddr_un sa;
    if (!fillUnix(sa, path))
        return -1;
    bool own = fd < 0;
    for (int i = 0; i < attempts; ++i) {
        if (own) {
            fd = ::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0)
                return -1;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0)
            return fd;
        int e = errno;
        if (own)
            ::close(fd);
        // Not there yet, a stale file, or the backlog is full: try again.
        if (e != ENOENT && e != ECONNREFUSED && !wouldBlock(e))
            return -1;
        if (i + 1 < attempts)
            rux::sleep(timeT::fromMs(100));
    }
    return -1;
}

ctxPtrT bindLocal(const std::string& path, const std::string& name, int type, int backlog) {
    sockaddr_un sa;
    if (!fillUnix(sa, path))
        return nullptr;
    int fd = ::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    lockT<mutexT> g(g_bindMtx);
    int r = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r != 0 && errno == EADDRINUSE) {
        // Replace the file only when nobody answers on it.
        int probe = ::socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        bool stale = probe >= 0 &&
                     ::connect(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 &&
                     errno == ECONNREFUSED;
        if (probe >= 0)
            ::close(probe);
        if (stale && ::unlink(path.c_str()) == 0)
            r = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        else
            errno = EADDRINUSE;
    }
    if (r != 0 || (backlog >= 0 && ::listen(fd, backlog > 0 ? backlog : SOMAXCONN) != 0)) {
        int e = errno;
        ::close(fd);
        errno = e;
        return nullptr;
    }
    auto ctx = std::make_shared<socketContextT>(
        fd, sockFactory(),
        type == SOCK_SEQPACKET ? socketContextT::enLOCAL_SEQ : socketContextT::enLOCAL_STREAM);
    ctx->listening = backlog >= 0;
    ctx->name = name;
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0) {
        ctx->unlinkAt = path;
        ctx->fileDev = st.st_dev;
        ctx->fileIno = st.st_ino;
    }
    return ctx;
}

ctxPtrT bindNamelessPipe(const std::string& name) {
    lockT<mutexT> g(g_pipeMtx);
    if (pipes().count(name))
        return nullptr;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    auto ctx = std::make_shared<pipeReadCtxT>(fds[0], pipeFactory(), socketContextT::enPIPE);
    ctx->name = name;
    pipes()[name].writeFd = fds[1];
    return ctx;
}

ctxPtrT connectNamelessPipe(const std::string& name) {
    for (int i = 0; i < 200; ++i) {
        {
            lockT<mutexT> g(g_pipeMtx);
            auto it = pipes().find(name);
            if (it != pipes().end()) {
                if (it->second.writeFd < 0)
                    return nullptr; // one writer per pipe
                auto ctx = std::make_shared<socketContextT>(it->second.writeFd, pipeFactory(),
                                                            socketContextT::enPIPE);
                it->second.writeFd = -1;
                ctx->name = name;
                ctx->connected = true;
                return ctx;
            }
        }
        if (i + 1 < 200)
            rux::sleep(timeT::fromMs(100));
    }
    return nullptr;
}

} // namespace impl
} // namespace rux
