#include "rux_testsupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

namespace rux::test {

namespace {

enum : unsigned char {
    IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240,
    OPT_ECHO = 1, OPT_SGA = 3, OPT_TTYPE = 24, TTYPE_IS = 0, TTYPE_SEND = 1,
};

bool sendAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

} // namespace

telnetClientT::~telnetClientT() { close(); }

bool telnetClientT::connect(uint16_t port, msT timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
            _fd = fd;
            _thread = std::thread(&telnetClientT::_reader, this);
            return true;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(msT(20));
    }
}

void telnetClientT::_reader() {
    // Each option is answered once, so the two sides cannot loop on acknowledgements.
    std::set<std::pair<unsigned char, unsigned char>> answered;
    std::string cmd;
    unsigned char buf[2048];
    for (;;) {
        ssize_t n = ::recv(_fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        std::string text;
        for (ssize_t i = 0; i < n; ++i) {
            unsigned char c = buf[i];
            if (cmd.empty()) {
                if (c == IAC)
                    cmd.push_back(char(c));
                else
                    text.push_back(char(c));
                continue;
            }
            cmd.push_back(char(c));
            auto b = [&](size_t k) { return static_cast<unsigned char>(cmd[k]); };
            if (cmd.size() == 2) {
                if (b(1) == IAC) { // escaped 255
                    text.push_back(char(IAC));
                    cmd.clear();
                } else if (b(1) < SB) { // two-byte command
                    cmd.clear();
                }
                continue;
            }
            if (b(1) == SB) {
                if (c != SE || b(cmd.size() - 2) != IAC)
                    continue;
                if (cmd.size() >= 4 && b(2) == OPT_TTYPE && b(3) == TTYPE_SEND) {
                    std::string r = {char(IAC), char(SB), char(OPT_TTYPE), char(TTYPE_IS)};
                    r += "DEC-VT100";
                    r += {char(IAC), char(SE)};
                    sendAll(_fd, r.data(), r.size());
                }
                cmd.clear();
                continue;
            }
            unsigned char verb = b(1), opt = b(2);
            cmd.clear();
            if (!answered.insert({verb, opt}).second)
                continue;
            unsigned char reply = 0;
            if (verb == WILL)
                reply = (opt == OPT_SGA || opt == OPT_ECHO) ? DO : DONT;
            else if (verb == DO)
                reply = (opt == OPT_TTYPE) ? WILL : WONT;
            if (reply) {
                unsigned char r[3] = {IAC, reply, opt};
                sendAll(_fd, r, 3);
            }
        }
        std::lock_guard<std::mutex> lk(_mtx);
        _out += text;
        _cv.notify_all();
    }
    std::lock_guard<std::mutex> lk(_mtx);
    _closed = true;
    _cv.notify_all();
}

bool telnetClientT::send(const std::string& bytes) {
    return _fd >= 0 && sendAll(_fd, bytes.data(), bytes.size());
}

bool telnetClientT::sendLine(const std::string& line) { return send(line + "\r"); }

std::string telnetClientT::output() const {
    std::lock_guard<std::mutex> lk(_mtx);
    return _out;
}

bool telnetClientT::waitForOutput(const std::string& text, msT timeout, size_t from, size_t* at) {
    std::unique_lock<std::mutex> lk(_mtx);
    return _cv.wait_for(lk, timeout, [&] {
        if (from > _out.size())
            return false;
        size_t p = _out.find(text, from);
        if (p == std::string::npos)
            return false;
        if (at)
            *at = p + text.size();
        return true;
    });
}

bool telnetClientT::waitClosed(msT timeout) {
    std::unique_lock<std::mutex> lk(_mtx);
    return _cv.wait_for(lk, timeout, [&] { return _closed; });
}

void telnetClientT::close() {
    if (_fd >= 0)
        ::shutdown(_fd, SHUT_RDWR);
    if (_thread.joinable())
        _thread.join();
    if (_fd >= 0)
        ::close(_fd);
    _fd = -1;
}

uint16_t portAfter(const std::string& text, const std::string& marker) {
    size_t p = text.find(marker);
    if (p == std::string::npos)
        return 0;
    size_t eol = text.find('\n', p);
    std::string line = text.substr(p, eol == std::string::npos ? std::string::npos : eol - p);
    size_t colon = line.rfind(':');
    if (colon == std::string::npos)
        return 0;
    unsigned long v = std::strtoul(line.c_str() + colon + 1, nullptr, 10);
    return v > 0 && v < 65536 ? uint16_t(v) : 0;
}

} // namespace rux::test
