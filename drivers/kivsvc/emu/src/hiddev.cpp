#include "kivemu/hiddev.h"

#include <vector>

#include "sal/assert.h"
#include "sal/poller.h"

namespace kivemu {

using rux::lockT;
using rux::mutexT;
using rux::timeT;

namespace {

timeT now() {
    return timeT(rux::monCLK);
}

} // namespace

hidDevT::hidDevT(std::string dir, std::string name, rux::usbIdT id, std::unique_ptr<modelT> model,
                 std::string description)
    : _dir(std::move(dir)), _name(std::move(name)), _id(id), _description(std::move(description)),
      _model(std::move(model)) {
    RUX_FAULT_IF(_model == nullptr);
    const rux::namelessPipeSockAddrT pipe;
    RUX_OS_CHECK(_wakeRd.bind(pipe));
    RUX_OS_CHECK(_wakeWr.connect(pipe));
}

hidDevT::~hidDevT() {
    unplug();
}

bool hidDevT::_plugLocked() {
    rux::usbHidEmuDescT d;
    d.id = _id;
    d.caps.inputReportByteLength = static_cast<uint16_t>(_model->inputLen());
    d.caps.outputReportByteLength = static_cast<uint16_t>(_model->outputLen());
    d.caps.usagePage = 0xFF00;
    d.caps.usage = 1;
    d.description = _description;
    _plugged = _dev.plug(_dir, _name, d);
    return _plugged;
}

bool hidDevT::plug() {
    {
        lockT<mutexT> g(_mtx);
        if (_thread.valid())
            return _plugged;
        _stop = false;
        if (!_plugLocked())
            return false;
    }
    _thread = rux::threadT::create("kivemu-dev");
    _thread.start(this, &hidDevT::_run);
    return true;
}

void hidDevT::unplug() {
    {
        lockT<mutexT> g(_mtx);
        if (!_thread.valid())
            return;
        _stop = true;
        // A host that stopped reading must not keep the device thread in a send.
        _conn.shutdown(3);
    }
    const char b = 1;
    _wakeWr.write(&b, 1);
    _thread->wait();
    _thread.reset();
    lockT<mutexT> g(_mtx);
    _dev.unplug();
    _plugged = false;
}

bool hidDevT::plugged() const {
    lockT<mutexT> g(_mtx);
    return _plugged;
}

void hidDevT::sendUnsolicited() {
    {
        lockT<mutexT> g(_mtx);
        ++_unsolicited;
    }
    const char b = 1;
    _wakeWr.write(&b, 1);
}

unsigned hidDevT::replugs() const {
    lockT<mutexT> g(_mtx);
    return _replugs;
}

unsigned hidDevT::reports() const {
    lockT<mutexT> g(_mtx);
    return _reports;
}

void hidDevT::_run() {
    rux::seqSocketT conn; // the host's connection, when one is open
    std::deque<pendingT> pending;
    for (;;) {
        rux::pollerT<rux::socketT*, int> poller;
        {
            lockT<mutexT> g(_mtx);
            if (_stop)
                break;
            if (_plugged)
                poller.add(&_dev.listener(), 5, 0);
        }
        poller.add(&_wakeRd, 5, 1);
        if (conn.isOpen())
            poller.add(&conn, 5, 2);
        if (pending.empty()) {
            poller.wait();
        } else {
            const timeT left = pending.front().due - now();
            poller.wait(left.nonPositive() ? timeT() : left + timeT::fromMs(1));
        }

        bool unplugNow = false, replugNow = false;
        for (auto it = poller.begin(); !it.end(); ++it) {
            if (it.user() == 1) {
                char buf[64];
                const long n = _wakeRd.avail();
                if (n > 0)
                    _wakeRd.read(buf, n < long(sizeof buf) ? n : long(sizeof buf));
            } else if (it.user() == 0) {
                rux::seqSocketT c;
                rux::unixSockAddrT a;
                if (_dev.listener().accept(c, a)) {
                    conn = c; // the host uses one connection at a time
                    pending.clear();
                    lockT<mutexT> g(_mtx);
                    _conn = c;
                    if (_stop)
                        _conn.shutdown(3);
                }
            } else if (it.user() == 2) {
                rux::dgramT in;
                rux::unixSockAddrT from;
                if (!conn.recv(in, from) || in.length() == 0) {
                    conn.close();
                    pending.clear();
                    lockT<mutexT> g(_mtx);
                    _conn.close();
                    continue;
                }
                actionT act;
                {
                    lockT<mutexT> g(_mtx);
                    ++_reports;
                    act = _model->handle(reinterpret_cast<const unsigned char*>(in.buf()),
                                         in.length());
                }
                const timeT t = now();
                for (auto& r : act.replies) {
                    timeT due = t + r.delay;
                    if (!pending.empty() && due < pending.back().due)
                        due = pending.back().due; // in order
                    pending.push_back(pendingT{std::move(r.report), due});
                }
                unplugNow = act.unplug;
                replugNow = act.replug;
            }
        }

        {
            lockT<mutexT> g(_mtx);
            for (; _unsolicited > 0; --_unsolicited)
                pending.push_front(pendingT{_model->unsolicited(), timeT()});
        }
        const timeT t = now();
        while (!pending.empty() && pending.front().due <= t) {
            if (conn.isOpen()) {
                rux::dgramT out(uint32_t(pending.front().report.size()));
                out.write(pending.front().report.data(), out.capacity());
                conn.send(out, rux::unixSockAddrT());
            }
            pending.pop_front();
        }
        if (unplugNow) {
            pending.clear();
            conn.close();
            lockT<mutexT> g(_mtx);
            _conn.close();
            _dev.unplug();
            _plugged = false;
            if (replugNow && !_stop && _plugLocked())
                ++_replugs;
        }
    }
    conn.close();
    lockT<mutexT> g(_mtx);
    _conn.close();
}

} // namespace kivemu
