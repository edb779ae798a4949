#include "gas/console/telnet_session.h"

#include "cli/session.h"
#include "gas/console/cli_telnet.h"
#include "gas/console/telnet_srv.h"
#include "logger/logger.h"
#include "sal/devbuf.h"

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
    if (!current())
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
    loggerT::logbufT(log, log::NOTICE, "_run") << _name << " exited\n";
    _srv->_remove(_sid.load(), this);
}

} // namespace rux
