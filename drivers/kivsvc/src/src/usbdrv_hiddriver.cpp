#include "usbdrv/hiddriver.h"

#include <vector>

#include "devdb.h"
#include "sal/assert.h"

namespace usbdrv {

using rux::lockT;
using rux::loggerT;
using rux::mutexT;
using rux::timeT;
namespace log = rux::log;

namespace {

using pollerT = rux::pollerT<rux::socketT*, std::shared_ptr<usbDevT>>;

// Poll interest: readable; errors are reported with it.
constexpr unsigned interest = 5;
constexpr unsigned flagError = 4;

timeT now() {
    return timeT(rux::monCLK);
}

} // namespace

hidDriverT::hidDriverT(uint16_t vendor, uint16_t product, const std::string& threadName)
    : _vendor(vendor), _product(product), _thread(rux::threadT::create(threadName)),
      _requests(std::make_shared<reqListT>([this] { _wake.wake(); })) {}

hidDriverT::~hidDriverT() {
    _stop();
}

void hidDriverT::console(std::shared_ptr<rux::cliMenuT>&) {}

bool hidDriverT::start() {
    lockT<mutexT> g(_mtx);
    if (_started || _stopping)
        return true;
    _started = true;
    _thread.start(this, &hidDriverT::_run);
    return true;
}

void hidDriverT::_stop() {
    bool wait;
    {
        lockT<mutexT> g(_mtx);
        if (_stopping)
            return;
        _stopping = true;
        wait = _started;
        // The thread may sleep in its poller, or in an identification step.
        // Under the lock: the thread binds the listener under it too.
        _listener.shutdown(3);
    }
    _wake.wake();
    if (wait)
        _thread->wait();
    _requests->close();
}

void hidDriverT::_run() {
    _logger = loggerT("driver");
    loggerT::logbufT(_logger, log::INFO, "_run") << "started\n";
    const rux::usbHidSockAddrT addr(_vendor, _product);
    loggerT::logbufT(_logger, log::CRITICAL, "_run") << "registering USB address " << addr << "\n";
    bool bound;
    {
        lockT<mutexT> g(_mtx);
        if (_stopping) {
            _requests->close();
            return;
        }
        bound = _listener.bind(addr, 5);
    }
    if (!bound) {
        loggerT::logbufT(_logger, log::CRITICAL, "_run")
            << "failed to bind to USB address " << addr << "\n";
        _requests->close();
        return;
    }
    pollerT poller;
    poller.add(&_listener, interest, nullptr);
    poller.add(&_wake.reader(), interest, nullptr);
    _serve(poller);
    poller.clear();
    _removeAll();
}

void hidDriverT::_serve(pollerT& poller) {
    for (;;) {
        timeT deadline;
        int waitMs = -1;
        if (_requests->nextDeadline(deadline)) {
            const int64_t ms = (deadline - now()).ms() + 1; // round up: wake after it
            waitMs = ms < 0 ? 0 : ms > 0x7fffffff ? 0x7fffffff : int(ms);
        }
        if (waitMs < 0)
            poller.wait();
        else
            poller.wait(timeT::fromMs(waitMs));
        {
            lockT<mutexT> g(_mtx);
            if (_stopping)
                return;
        }
        // The entries change while they are handled; work from a copy.
        struct readyT {
            rux::socketT* socket;
            unsigned flags;
            std::shared_ptr<usbDevT> dev;
        };
        std::vector<readyT> ready;
        for (auto it = poller.begin(); !it.end(); ++it)
            ready.push_back(readyT{it.socket(), it.flags(), it.user()});

        for (auto& r : ready) {
            if (r.socket == &_wake.reader()) {
                _wake.drain();
            } else if (r.dev) {
                if (_devices.find(r.dev->key()) == _devices.end())
                    continue; // gone earlier in this round
                rux::dgramT in(r.dev->address().caps.inputReportByteLength);
                rux::usbHidSockAddrT from;
                if ((r.flags & flagError) || !r.dev->connection()->recv(in, from) ||
                    in.length() == 0) {
                    _gone(poller, r.dev);
                } else {
                    _handleReport(*r.dev, reinterpret_cast<const unsigned char*>(in.buf()),
                                  in.length());
                }
            } else if (r.socket == &_listener) {
                if (r.flags & flagError) {
                    // Polling it again would report the same error at once.
                    loggerT::logbufT(_logger, log::CRITICAL, "_run")
                        << "listening for devices failed, no further devices are accepted\n";
                    poller.remove(&_listener);
                } else {
                    _accept(poller);
                }
            }
        }

        const timeT t = now();
        for (auto key : _requests->expire(t)) {
            auto d = _devices.find(key);
            loggerT::logbufT(_logger, log::ERROR, "_run")
                << "no reply in time from device \""
                << (d != _devices.end() ? d->second->address().path : std::string()) << "\"\n";
        }
        while (auto req = _requests->takeNext(t))
            _handleCommand(req, t);
    }
}

bool hidDriverT::_handleCommand(const reqListT::reqPtrT& r, const timeT& now) {
    auto d = _devices.find(r->dev);
    if (d == _devices.end()) { // unplugged meanwhile
        _requests->sent(r, false, now);
        return false;
    }
    usbDevT& dev = *d->second;
    rux::dgramT out(dev.address().caps.outputReportByteLength);
    const int n = out.capacity() == 0
                      ? -1
                      : r->ex->format(reinterpret_cast<unsigned char*>(out.buf()), out.capacity());
    if (n < 0) {
        loggerT::logbufT(_logger, log::CRITICAL, "_handleCommand")
            << "failed to format USB message to buffer\n";
        _requests->sent(r, false, now);
        return false;
    }
    out.trunc(out.capacity());
    if (!dev.connection()->send(out, dev.address())) {
        loggerT::logbufT(_logger, log::ERROR, "_handleCommand")
            << "failed to send USB message to device\n";
        _requests->sent(r, false, now);
        return false;
    }
    _requests->sent(r, true, now);
    return true;
}

bool hidDriverT::_handleReport(usbDevT& dev, const unsigned char* report, std::size_t len) {
    _reportSeen(dev, report, len);
    switch (_requests->offer(dev.key(), report, len)) {
    case reqListT::enCOMPLETED:
    case reqListT::enBADREPLY:
        return true;
    case reqListT::enDEVFAILED:
        loggerT::logbufT(_logger, log::WARNING, "_handleReport")
            << "command failed from device \"" << dev.address().path << "\"\n";
        return true;
    case reqListT::enLATE:
    case reqListT::enUNEXPECTED:
        break;
    }
    loggerT::logbufT(_logger, log::WARNING, "_handleReport")
        << "received unexpected report from device \"" << dev.address().path << "\"\n";
    return false;
}

void hidDriverT::_abortAllCmds(usbDevT& dev) {
    _requests->detach(dev.key());
}

void hidDriverT::_accept(pollerT& poller) {
    auto conn = std::make_shared<rux::seqSocketT>();
    rux::usbHidSockAddrT peer;
    if (!_listener.accept(*conn, peer))
        return;
    loggerT::logbufT(_logger, log::NOTICE, "_run") << "connected to device " << peer << "\n";
    std::shared_ptr<usbDevT> dev = _handshake(conn, peer);
    if (!dev) {
        {
            lockT<mutexT> g(_mtx);
            if (_stopping) // cut short: nothing to report
                return;
        }
        loggerT::logbufT(_logger, log::ERROR, "_run")
            << "failed to enumerate device " << peer << "\n";
        conn->close();
        return;
    }
    RUX_FAULT_IF(dev->connection() != conn);
    _logAttached(*dev);
    _requests->attach(dev->key());
    _devices[dev->key()] = dev;
    poller.add(conn.get(), interest, dev);
    devdbT::wrT w;
    dev->id(w.add(dev));
}

void hidDriverT::_gone(pollerT& poller, const std::shared_ptr<usbDevT>& dev) {
    loggerT::logbufT(_logger, log::NOTICE, "_run")
        << "device " << dev->address() << ", snum \"" << dev->snum() << "\" disconnected\n";
    _abortAllCmds(*dev);
    poller.remove(dev->connection().get());
    dev->connection()->close();
    _devices.erase(dev->key());
    devdbT::wrT w;
    w.remove(dev->id());
}

void hidDriverT::_removeAll() {
    _requests->close();
    if (_devices.empty())
        return;
    {
        devdbT::wrT w;
        for (auto& d : _devices)
            w.remove(d.second->id());
    }
    for (auto& d : _devices)
        d.second->connection()->close();
    _devices.clear();
}

bool hidDriverT::_handshakeIo(rux::seqSocketT& conn, const rux::usbHidSockAddrT& addr,
                              rux::dgramT* out, rux::dgramT& in, const char* sendFailText) {
    if (out == nullptr || (out->trunc(out->capacity()), !conn.send(*out, addr))) {
        loggerT::logbufT(_logger, log::ERROR, "_handshake") << sendFailText << addr << "\n";
        return false;
    }
    rux::pollerT<rux::socketT*, int> wait;
    wait.add(&conn, interest, 0);
    wait.add(&_wake.reader(), interest, 1);
    const timeT until = now() + timeT::fromMs(handshakeWaitMs);
    bool readable = false;
    while (!readable) {
        const timeT left = until - now();
        if (left.nonPositive())
            break;
        for (auto it = wait.wait(left); !it.end(); ++it) {
            if (it.user() == 0)
                readable = true;
            else
                _wake.drain(); // queued requests are served when the round ends
        }
        lockT<mutexT> g(_mtx);
        if (_stopping)
            return false;
    }
    if (!readable) {
        loggerT::logbufT(_logger, log::ERROR, "_handshake")
            << "timeout while waiting for ID reply from " << addr << "\n";
        return false;
    }
    in = rux::dgramT(addr.caps.inputReportByteLength);
    rux::usbHidSockAddrT from;
    if (!conn.recv(in, from) || in.length() == 0) {
        loggerT::logbufT(_logger, log::ERROR, "_handshake")
            << "failed to read data from " << addr << "\n";
        return false;
    }
    return true;
}

} // namespace usbdrv
