#include "kivemu/uhiddev.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include "sal/assert.h"

namespace kivemu {

using rux::lockT;
using rux::mutexT;
using rux::timeT;

namespace {

constexpr unsigned busUsb = 3; // BUS_USB

timeT now() {
    return timeT(rux::monCLK);
}

// A short item with a value of 1 or 2 bytes, as the value needs.
void item(bytesT& d, unsigned char tag, unsigned value) {
    if (value <= 0xFF) {
        d.push_back(static_cast<unsigned char>(tag | 1));
        d.push_back(static_cast<unsigned char>(value));
    } else {
        d.push_back(static_cast<unsigned char>(tag | 2));
        d.push_back(static_cast<unsigned char>(value));
        d.push_back(static_cast<unsigned char>(value >> 8));
    }
}

bool writeEvent(int fd, const uhid_event& ev) {
    for (;;) {
        const ssize_t n = ::write(fd, &ev, sizeof ev);
        if (n == ssize_t(sizeof ev))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

void copyText(unsigned char* to, std::size_t cap, const std::string& s) {
    const std::size_t n = std::min(s.size(), cap - 1);
    std::memcpy(to, s.data(), n);
    to[n] = 0;
}

} // namespace

bytesT uhidDescriptor(const reportIdsT& ids, std::size_t inputLen, std::size_t outputLen) {
    bytesT d;
    item(d, 0x04, 0xFF00); // usage page: vendor defined
    item(d, 0x08, 0x01);   // usage
    item(d, 0xA0, 0x01);   // collection: application
    item(d, 0x14, 0x00);   // logical minimum
    d.insert(d.end(), {0x26, 0xFF, 0x00}); // logical maximum 255, not -1
    item(d, 0x74, 8);      // report size: bytes
    const auto reports = [&](const std::vector<unsigned char>& list, std::size_t len,
                             unsigned char main) {
        if (len < 2)
            return;
        for (unsigned char rid : list) {
            item(d, 0x84, rid); // report id
            item(d, 0x94, unsigned(len - 1)); // report count
            item(d, 0x08, 0x01);
            item(d, main, 0x02); // data, variable, absolute
        }
    };
    reports(ids.input, inputLen, 0x80);
    reports(ids.output, outputLen, 0x90);
    d.push_back(0xC0); // end collection
    return d;
}

uhidDevT::uhidDevT(rux::usbIdT id, std::unique_ptr<modelT> model, reportIdsT ids,
                   std::string description, std::string serial)
    : _id(id), _ids(std::move(ids)), _description(std::move(description)),
      _serial(std::move(serial)), _model(std::move(model)) {
    RUX_FAULT_IF(_model == nullptr);
    RUX_FAULT_IF(_ids.input.empty() || _ids.output.empty());
    RUX_OS_CHECK(::pipe2(_wake, O_CLOEXEC | O_NONBLOCK) == 0);
}

uhidDevT::~uhidDevT() {
    unplug();
    ::close(_wake[0]);
    ::close(_wake[1]);
}

bool uhidDevT::_create() {
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    auto& c = ev.u.create2;
    copyText(c.name, sizeof c.name, _description);
    copyText(c.phys, sizeof c.phys, "kivsvc-emu");
    copyText(c.uniq, sizeof c.uniq, _serial);
    const bytesT rd = uhidDescriptor(_ids, _model->inputLen(), _model->outputLen());
    RUX_FAULT_IF(rd.size() > sizeof c.rd_data);
    std::memcpy(c.rd_data, rd.data(), rd.size());
    c.rd_size = static_cast<uint16_t>(rd.size());
    c.bus = busUsb;
    c.vendor = _id.vendor;
    c.product = _id.product;
    _plugged = writeEvent(_fd, ev);
    _opens = 0;
    return _plugged;
}

void uhidDevT::_destroy() {
    if (!_plugged)
        return;
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    writeEvent(_fd, ev);
    _plugged = false;
    _opens = 0;
}

bool uhidDevT::plug() {
    lockT<mutexT> g(_mtx);
    if (_thread.valid())
        return _plugged;
    _fd = ::open("/dev/uhid", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (_fd < 0)
        return false;
    if (!_create()) {
        const int e = errno;
        ::close(_fd);
        _fd = -1;
        errno = e;
        return false;
    }
    _stop = false;
    _thread = rux::threadT::create("kivemu-uhid");
    _thread.start(this, &uhidDevT::_run);
    return true;
}

void uhidDevT::unplug() {
    {
        lockT<mutexT> g(_mtx);
        if (!_thread.valid())
            return;
        _stop = true;
    }
    const char b = 1;
    (void)!::write(_wake[1], &b, 1);
    _thread->wait();
    _thread.reset();
    lockT<mutexT> g(_mtx);
    _destroy();
    // Closing the file also destroys a device the kernel still holds.
    ::close(_fd);
    _fd = -1;
}

bool uhidDevT::plugged() const {
    lockT<mutexT> g(_mtx);
    return _plugged;
}

unsigned uhidDevT::replugs() const {
    lockT<mutexT> g(_mtx);
    return _replugs;
}

unsigned uhidDevT::reports() const {
    lockT<mutexT> g(_mtx);
    return _reports;
}

void uhidDevT::sendUnsolicited() {
    {
        lockT<mutexT> g(_mtx);
        ++_unsolicited;
    }
    const char b = 1;
    (void)!::write(_wake[1], &b, 1);
}

bool uhidDevT::opened() const {
    lockT<mutexT> g(_mtx);
    return _opens > 0;
}

void uhidDevT::_sendInput(const bytesT& report) {
    uhid_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.type = UHID_INPUT2;
    // The kernel drops a report shorter than the descriptor declares.
    const std::size_t len = std::min<std::size_t>(
        std::max(report.size(), _model->inputLen()), sizeof ev.u.input2.data);
    std::copy_n(report.begin(), std::min(report.size(), len), ev.u.input2.data);
    ev.u.input2.size = static_cast<uint16_t>(len);
    writeEvent(_fd, ev);
}

void uhidDevT::_run() {
    struct pendingT {
        bytesT report;
        timeT due;
    };
    std::deque<pendingT> pending;
    uhid_event ev;
    for (;;) {
        pollfd fds[2] = {{_wake[0], POLLIN, 0}, {_fd, POLLIN, 0}};
        int wait = -1;
        if (!pending.empty()) {
            const timeT left = pending.front().due - now();
            wait = left.nonPositive() ? 0 : int(left.ms()) + 1;
        }
        const int n = ::poll(fds, 2, wait);
        if (n < 0 && errno != EINTR)
            break;
        if (fds[0].revents) {
            char buf[64];
            while (::read(_wake[0], buf, sizeof buf) > 0) {
            }
        }
        bool unplugNow = false, replugNow = false;
        {
            lockT<mutexT> g(_mtx);
            if (_stop)
                break;
        }
        if (n > 0 && fds[1].revents) {
            const ssize_t got = ::read(_fd, &ev, sizeof ev);
            if (got < 0 && errno != EAGAIN && errno != EINTR)
                break;
            if (got >= ssize_t(sizeof ev.type)) {
                lockT<mutexT> g(_mtx);
                switch (ev.type) {
                case UHID_OPEN:
                    ++_opens;
                    break;
                case UHID_CLOSE:
                    if (_opens > 0)
                        --_opens;
                    break;
                case UHID_OUTPUT: {
                    ++_reports;
                    const std::size_t len =
                        std::min<std::size_t>(ev.u.output.size, sizeof ev.u.output.data);
                    actionT act = _model->handle(ev.u.output.data, len);
                    const timeT t = now();
                    for (auto& r : act.replies) {
                        timeT due = t + r.delay;
                        if (!pending.empty() && due < pending.back().due)
                            due = pending.back().due; // in order
                        pending.push_back(pendingT{std::move(r.report), due});
                    }
                    unplugNow = act.unplug;
                    replugNow = act.replug;
                    break;
                }
                case UHID_GET_REPORT: {
                    // No feature reports: refuse rather than let the kernel time out.
                    const uint32_t id = ev.u.get_report.id;
                    std::memset(&ev, 0, sizeof ev);
                    ev.type = UHID_GET_REPORT_REPLY;
                    ev.u.get_report_reply.id = id;
                    ev.u.get_report_reply.err = EIO;
                    writeEvent(_fd, ev);
                    break;
                }
                case UHID_SET_REPORT: {
                    const uint32_t id = ev.u.set_report.id;
                    std::memset(&ev, 0, sizeof ev);
                    ev.type = UHID_SET_REPORT_REPLY;
                    ev.u.set_report_reply.id = id;
                    ev.u.set_report_reply.err = EIO;
                    writeEvent(_fd, ev);
                    break;
                }
                default: // START, STOP
                    break;
                }
            }
        }

        {
            lockT<mutexT> g(_mtx);
            for (; _unsolicited > 0; --_unsolicited)
                pending.push_front(pendingT{_model->unsolicited(), timeT()});
        }
        const timeT t = now();
        while (!pending.empty() && pending.front().due <= t) {
            lockT<mutexT> g(_mtx);
            if (_plugged)
                _sendInput(pending.front().report);
            pending.pop_front();
        }
        if (unplugNow) {
            pending.clear();
            lockT<mutexT> g(_mtx);
            _destroy();
            if (replugNow && !_stop && _create())
                ++_replugs;
        }
    }
}

} // namespace kivemu
