#include "usbhidmgr.h"

#include <cerrno>
#include <cstdlib>

#include <poll.h>
#include <unistd.h>

#include "sal/assert.h"

namespace rux {
namespace impl {

namespace {

void signalFd(int efd) {
    uint64_t one = 1;
    ssize_t r = ::write(efd, &one, sizeof one);
    (void)r; // a counter already set stays readable
}

void drainFd(int efd) {
    uint64_t v;
    ssize_t r = ::read(efd, &v, sizeof v);
    (void)r;
}

} // namespace

std::string hidKey(const std::string& path) {
    std::string k(path);
    for (char& c : k)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return k;
}

hidDevCtxT::~hidDevCtxT() = default;

hidListenCtxT::~hidListenCtxT() {
    usbMgrT::instance().disarm(*this);
}

usbMgrT& usbMgrT::instance() {
    static usbMgrT* mgr = new usbMgrT; // lives as long as the process
    return *mgr;
}

usbMgrT::usbMgrT() {
    // Sources watch before they list, so that nothing slips in between.
    if (auto s = makeUdevSource())
        _sources.push_back(std::move(s));
    const char* emu = std::getenv("RUX_HID_EMU_DIR");
    if (emu && *emu) {
        if (auto s = makeEmuSource(emu))
            _sources.push_back(std::move(s));
        else
            hidNote(std::string("cannot watch the emulated device directory ") + emu);
    }
    for (auto& s : _sources)
        _rescan(s.get());
    _thread = threadT::create("rux_usb_mgr");
    _thread.start(functorT([this] { _run(); }));
}

void usbMgrT::_run() {
    std::vector<pollfd> fds;
    for (auto& s : _sources)
        fds.push_back(pollfd{s->fd(), POLLIN, 0});
    if (fds.empty())
        return; // nothing will ever arrive
    std::vector<hidSourceT::eventT> evs;
    for (;;) {
        int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            RUX_OS_CHECK(errno == EINTR || errno == ENOMEM);
            continue;
        }
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            bool rescan = false;
            evs.clear();
            _sources[i]->events(evs, rescan);
            _apply(_sources[i].get(), evs);
            if (rescan)
                _rescan(_sources[i].get());
        }
    }
}

void usbMgrT::_apply(hidSourceT*, std::vector<hidSourceT::eventT>& evs) {
    lockT<mutexT> g(_mtx);
    for (auto& e : evs) {
        if (e.add)
            _attach(e.dev);
        else
            _remove(e.dev.key);
    }
}

void usbMgrT::_rescan(hidSourceT* src) {
    std::vector<hidDevInfoT> now;
    if (!src->enumerate(now))
        return;
    lockT<mutexT> g(_mtx);
    std::set<std::string> keys;
    for (auto& d : now)
        keys.insert(d.key);
    std::vector<std::string> gone;
    for (auto& p : _present)
        if (p.second.source == src && !keys.count(p.first))
            gone.push_back(p.first);
    for (auto& k : gone)
        _remove(k);
    for (auto& d : now)
        _attach(d);
}

bool usbMgrT::_find(usbIdT id, hidDevInfoT& dev) {
    for (auto& k : _order) {
        auto it = _present.find(k);
        if (it != _present.end() && it->second.id == id && !_taken.count(k)) {
            dev = it->second;
            return true;
        }
    }
    return false;
}

void usbMgrT::_attach(const hidDevInfoT& dev) {
    auto it = _present.find(dev.key);
    if (it != _present.end()) {
        // Seen again (listed after its event, or its description rewritten).
        bool announced = it->second.announced;
        it->second = dev;
        it->second.announced = announced || dev.announced;
        return;
    }
    _present[dev.key] = dev;
    _order.push_back(dev.key);
    if (!_taken.count(dev.key))
        _offer(dev);
}

void usbMgrT::_offer(const hidDevInfoT& dev) {
    auto it = _pending.lower_bound(dev.id); // the longest waiting request for it
    if (it == _pending.end() || it->first != dev.id)
        return;
    std::shared_ptr<hidReqT> r = it->second;
    _pending.erase(it);
    _taken.insert(dev.key);
    r->satisfied = true;
    r->dev = dev;
    signalFd(r->efd);
}

void usbMgrT::_remove(const std::string& key) {
    if (_present.erase(key)) {
        for (auto it = _order.begin(); it != _order.end(); ++it) {
            if (*it == key) {
                _order.erase(it);
                break;
            }
        }
    }
    _taken.erase(key);
    auto range = _open.equal_range(key);
    for (auto it = range.first; it != range.second; ++it) {
        if (auto c = it->second.lock()) {
            c->gone = true;
            c->cancel(); // wakes its waiters and pollers
            // ... and a wake left set tells those that come later.
            if (auto w = c->wake())
                w->signal();
        }
    }
    _open.erase(range.first, range.second);
}

void usbMgrT::arm(const hidListenCtxT& l) {
    lockT<mutexT> g(_mtx);
    if (l.req)
        return;
    auto r = std::make_shared<hidReqT>();
    r->id = l.id;
    r->number = ++_requests;
    r->efd = l.fd;
    hidDevInfoT d;
    if (_find(l.id, d)) {
        _taken.insert(d.key);
        r->satisfied = true;
        r->dev = d;
        signalFd(r->efd);
    } else {
        _pending.emplace(l.id, r);
    }
    l.req = std::move(r);
}

bool usbMgrT::take(const hidListenCtxT& l, hidDevInfoT& dev) {
    lockT<mutexT> g(_mtx);
    if (!l.req || !l.req->satisfied)
        return false;
    dev = l.req->dev;
    l.req.reset();
    drainFd(l.fd);
    return true;
}

void usbMgrT::disarm(const hidListenCtxT& l) {
    lockT<mutexT> g(_mtx);
    std::shared_ptr<hidReqT> r = std::move(l.req);
    if (!r)
        return;
    drainFd(l.fd);
    if (r->satisfied) {
        // Promised but never taken: it goes to whoever waits next.
        _taken.erase(r->dev.key);
        auto it = _present.find(r->dev.key);
        if (it != _present.end())
            _offer(it->second);
        return;
    }
    auto range = _pending.equal_range(r->id);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == r) {
            _pending.erase(it);
            break;
        }
    }
}

bool usbMgrT::opened(const std::shared_ptr<hidDevCtxT>& c) {
    lockT<mutexT> g(_mtx);
    if (!_present.count(c->key) || !_taken.count(c->key))
        return false;
    _open.emplace(c->key, c);
    return true;
}

void usbMgrT::lost(const std::string& key) {
    lockT<mutexT> g(_mtx);
    if (_present.count(key))
        _remove(key);
}

} // namespace impl
} // namespace rux
