#include "gas/console/telnet_session.h"

#include "cli/session.h"
#include "gas/console/cli_telnet.h"
#include "gas/console/telnet_srv.h"
#include "logger/logger.h"
#include "sal/devbuf.h"
#include "sal/poller.h"

#include <sys/socket.h>

namespace rux {

namespace {

// The socket as the stream's device; reads end once the session is closing,
// so a session closed by its own command does not wait for another key.
struct sessionDevT {
    streamSocketT sock;
    const std::atomic<bool>* closing;

    long read(void* buf, long n) { return closing->load() ? 0 : sock.read(buf, n); }
    long write(const void* buf, long n) { return sock.write(buf, n); }
};

using sessionBufT = devbufT<sessionDevT, 512, dummyMutexT, sessionDevT>;

// Closing with unread input would reset the connection, and a reset makes the
// peer drop the last reply it has not read yet ("bye bye!"). So: let the
// reply go out, end our direction, and read (and drop) what the peer still
// sends until it closes, for a short while and a bounded amount.
void lingeringClose(streamSocketT& sock) {
    const timeT limit = timeT::fromMs(2000);
    pollerT<streamSocketT*> out;
    out.add(&sock, 2, nullptr);
    out.wait(limit);
    const int fd = sock.nativeHandle();
    if (fd < 0 || ::shutdown(fd, SHUT_WR) != 0)
        return;
    pollerT<streamSocketT*> in;
    in.add(&sock, 1, nullptr);
    const timeT end = timeT(monCLK) + limit;
    long total = 0;
    char buf[512];
    while (total < 65536) {
        const timeT left = end - timeT(monCLK);
        if (left.nonPositive())
            break;
        auto it = in.wait(left);
        if (it.end() || (it.flags() & 4))
            break;
        const long n = sock.read(buf, sizeof buf);
        if (n <= 0)
            break;
        total += n;
    }
}

// Keys already read stay unused once the session is closing.
class sessionTermT : public cliTelnetT {
public:
    sessionTermT(std::iostream& io, const std::atomic<bool>& closing)
        : cliTelnetT(io), _closing(closing) {}

protected:
    int _filter(char& c) override { return _closing.load() ? enSTOP : cliTelnetT::_filter(c); }

private:
    const std::atomic<bool>& _closing;
};

} // namespace

gasTelnetSessionT::gasTelnetSessionT(std::string name, std::shared_ptr<gasTelnetSrvT> srv)
    : _name(std::move(name)), _srv(std::move(srv)) {}

gasTelnetSessionT::~gasTelnetSessionT() = default;

bool gasTelnetSessionT::start(streamSocketT sock, std::shared_ptr<cliMenuT> root) {
    if (!sock.isOpen() || !root || _thread.valid())
        return false;
    _sock = std::move(sock);
    _root = std::move(root);
    _thread = threadT::create("rux_gas_telnet_session [" + _name + "]");
    // The thread holds the session until its body ends, whoever else lets go.
    _thread.start(functorT([self = shared_from_this()]() mutable {
        self->_run();
        self.reset();
    }));
    _sid.store(_thread->tid());
    return true;
}

bool gasTelnetSessionT::current() const {
    const uint32_t sid = _sid.load();
    return sid != 0 && sid == impl::selfTid();
}

void gasTelnetSessionT::shutdown() {
    _closing.store(true);
    if (current())
        return;
    _killed.store(true);
    _sock.shutdown(3);
}

void gasTelnetSessionT::wait() {
    if (_thread.valid() && !current())
        _thread->wait();
}

void gasTelnetSessionT::_run() {
    _sid.store(impl::selfTid());
    loggerT log("rux_gas");
    loggerT::logbufT(log, log::DEBUG, "_run") << _name << " started\n";
    {
        sessionBufT::devstreamT io(sessionDevT{_sock, &_closing});
        sessionTermT term(io, _closing);
        cliSessionT session(_root);
        if (term.tn_init() && session.setOutput(term.output()))
            term.run(session);
        io.flush();
    }
    if (_closing.load() && !_killed.load())
        lingeringClose(_sock);
    loggerT::logbufT(log, log::NOTICE, "_run") << _name << " exited\n";
    _srv->_remove(_sid.load(), this);
}

} // namespace rux
