#include "usbdrv/reqlist.h"

#include <algorithm>
#include <set>

namespace usbdrv {

using rux::lockT;
using rux::mutexT;
using rux::timeT;

reqListT::reqListT(std::function<void()> wake, const timeT& defaultTimeout)
    : _wake(std::move(wake)), _defaultTimeout(defaultTimeout) {}

bool reqListT::submit(devKeyT dev, std::shared_ptr<exchangeT> ex) {
    if (!ex)
        return false;
    lockT<mutexT> g(_mtx);
    if (_closed || _devices.find(dev) == _devices.end())
        return false;
    auto r = std::make_shared<reqT>();
    r->dev = dev;
    r->ex = std::move(ex);
    auto at = _list.insert(_list.end(), r);
    if (_wake)
        _wake();
    while (r->state == enQUEUED || r->state == enSENT)
        _cond.wait(_mtx);
    _list.erase(at);
    return r->state == enDONE;
}

void reqListT::attach(devKeyT dev) {
    lockT<mutexT> g(_mtx);
    _devices[dev] = devStateT();
}

size_t reqListT::detach(devKeyT dev) {
    lockT<mutexT> g(_mtx);
    size_t n = 0;
    for (auto& r : _list) {
        if (r->dev == dev && (r->state == enQUEUED || r->state == enSENT)) {
            _finish(*r, enFAILED);
            ++n;
        }
    }
    _devices.erase(dev);
    if (n > 0)
        _cond.signal();
    return n;
}

void reqListT::close() {
    lockT<mutexT> g(_mtx);
    _closed = true;
    for (auto& r : _list)
        if (r->state == enQUEUED || r->state == enSENT)
            _finish(*r, enFAILED);
    _devices.clear();
    _cond.signal();
}

reqListT::reqPtrT reqListT::takeNext(const timeT& now) {
    lockT<mutexT> g(_mtx);
    if (_closed)
        return nullptr;
    std::set<devKeyT> blocked; // devices whose oldest queued request must wait
    for (auto& r : _list) {
        if (r->state != enQUEUED || blocked.count(r->dev))
            continue;
        auto d = _devices.find(r->dev);
        if (d == _devices.end() || d->second.busy) {
            blocked.insert(r->dev);
            continue;
        }
        _purgeHeld(d->second, now);
        const auto& held = d->second.held;
        const bool isHeld =
            r->ex->expectsReply() && std::any_of(held.begin(), held.end(), [&](const heldT& h) {
                return h.rid == r->ex->replyRid() && h.mid == r->ex->replyMid();
            });
        if (isHeld) {
            blocked.insert(r->dev);
            continue;
        }
        r->state = enSENT;
        d->second.busy = true;
        return r;
    }
    return nullptr;
}

void reqListT::sent(const reqPtrT& r, bool ok, const timeT& now) {
    lockT<mutexT> g(_mtx);
    if (!r || r->state != enSENT) // failed meanwhile (device gone, driver closed)
        return;
    if (!ok) {
        _finish(*r, enFAILED);
    } else if (!r->ex->expectsReply()) {
        _finish(*r, enDONE);
    } else {
        r->deadline = now + _timeoutOf(*r->ex);
        r->deadlineSet = true;
        return; // still waiting: nothing changed for the requester
    }
    _cond.signal();
}

reqListT::offerT reqListT::offer(devKeyT dev, const unsigned char* report, std::size_t len) {
    lockT<mutexT> g(_mtx);
    for (auto& r : _list) {
        if (r->dev != dev || r->state != enSENT || !r->deadlineSet)
            continue;
        const exchangeT::matchT m = r->ex->match(report, len);
        if (m == exchangeT::enNO)
            continue;
        offerT result;
        if (m == exchangeT::enFAILED) {
            _finish(*r, enFAILED);
            result = enDEVFAILED;
        } else if (r->ex->parse(report, len)) {
            _finish(*r, enDONE);
            result = enCOMPLETED;
        } else {
            _finish(*r, enFAILED);
            result = enBADREPLY;
        }
        _cond.signal();
        return result;
    }
    auto d = _devices.find(dev);
    if (d != _devices.end() && len >= 2) {
        auto& held = d->second.held;
        for (auto h = held.begin(); h != held.end(); ++h) {
            if (h->rid == report[0] && h->mid == report[1]) {
                held.erase(h);
                return enLATE;
            }
        }
    }
    return enUNEXPECTED;
}

std::vector<reqListT::devKeyT> reqListT::expire(const timeT& now) {
    lockT<mutexT> g(_mtx);
    std::vector<devKeyT> gone;
    for (auto& r : _list) {
        if (r->state != enSENT || !r->deadlineSet || now < r->deadline)
            continue;
        auto d = _devices.find(r->dev);
        if (d != _devices.end() && !r->ex->repliesNameRequest())
            d->second.held.push_back(heldT{r->ex->replyRid(), r->ex->replyMid(),
                                           now + _timeoutOf(*r->ex) + _timeoutOf(*r->ex)});
        _finish(*r, enFAILED);
        gone.push_back(r->dev);
    }
    for (auto& d : _devices)
        _purgeHeld(d.second, now);
    if (!gone.empty())
        _cond.signal();
    return gone;
}

bool reqListT::nextDeadline(timeT& at) const {
    lockT<mutexT> g(_mtx);
    bool any = false;
    auto consider = [&](const timeT& t) {
        if (!any || t < at)
            at = t;
        any = true;
    };
    for (const auto& r : _list)
        if (r->state == enSENT && r->deadlineSet)
            consider(r->deadline);
    for (const auto& d : _devices)
        for (const auto& h : d.second.held)
            consider(h.until);
    return any;
}

std::shared_ptr<exchangeT> reqListT::inFlight(devKeyT dev) const {
    lockT<mutexT> g(_mtx);
    for (const auto& r : _list)
        if (r->dev == dev && r->state == enSENT)
            return r->ex;
    return nullptr;
}

void reqListT::defaultTimeout(const timeT& t) {
    lockT<mutexT> g(_mtx);
    _defaultTimeout = t;
}

timeT reqListT::defaultTimeout() const {
    lockT<mutexT> g(_mtx);
    return _defaultTimeout;
}

size_t reqListT::size() const {
    lockT<mutexT> g(_mtx);
    return _list.size();
}

void reqListT::_finish(reqT& r, stateT s) {
    if (r.state == enSENT) {
        auto d = _devices.find(r.dev);
        if (d != _devices.end())
            d->second.busy = false;
    }
    r.state = s;
}

timeT reqListT::_timeoutOf(const exchangeT& ex) const {
    const timeT t = ex.timeout();
    return t.nonPositive() ? _defaultTimeout : t;
}

void reqListT::_purgeHeld(devStateT& d, const timeT& now) {
    auto& h = d.held;
    h.erase(std::remove_if(h.begin(), h.end(), [&](const heldT& e) { return e.until <= now; }),
            h.end());
}

} // namespace usbdrv
