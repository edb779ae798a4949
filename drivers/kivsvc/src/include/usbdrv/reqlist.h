// usbdrv::reqListT: the pending requests of one USB driver, shared by the
// requesting threads and the driver thread.
//
// A requester queues an exchange for a device and blocks in submit() until the
// driver thread has completed or failed it. The driver thread takes requests
// to send (takeNext), reports the send (sent), offers every received report
// (offer), fails replies that are overdue (expire) and fails everything of a
// device that is gone (detach) or of a driver that ends (close).
//
// Rules that keep devices consistent:
// - one request in flight per device; a device's requests are sent in the
//   order they were submitted, requests of different devices independently;
// - every sent request waiting for a reply fails at its time-out; its reply
//   ids are then held back for twice as long, so that a late reply is dropped
//   (offer gives enLATE) and never completes a newer request with the same
//   reply ids, which is sent only once the late reply came or the hold ended
//   (nothing is held for exchanges whose replies name their request: their
//   match() tells a late reply apart);
// - requests for a device that is not attached, and all requests after
//   close(), fail at once.
//
// Devices are keys only (the driver's device objects); the list never
// dereferences them. Time is passed in by the driver thread (monotonic clock),
// so time-outs follow the driver's clock and tests can drive them.
//
// Thread-safety: every member may be called from any thread; one mutex guards
// the list and the state of every request, and one condition (signalled after
// every change of a request's state) wakes the requesters. The wake callback
// and the exchanges' format/match/parse run under that mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "sal/cond.h"
#include "sal/mutex.h"
#include "sal/time.h"
#include "usbdrv/exchange.h"

namespace usbdrv {

class reqListT {
public:
    using devKeyT = const void*;

    enum stateT { enQUEUED = 0, enSENT = 1, enDONE = 2, enFAILED = 3 };

    // One pending request; the driver reads `dev` and `ex` of what takeNext gave.
    struct reqT {
        devKeyT dev;
        std::shared_ptr<exchangeT> ex;
        stateT state = enQUEUED;
        bool deadlineSet = false; // false until the report has been sent
        rux::timeT deadline;
    };
    using reqPtrT = std::shared_ptr<reqT>;

    // What became of a report offered by the driver thread.
    enum offerT {
        enCOMPLETED = 0, // the awaited reply; its request is done
        enBADREPLY = 1,  // the awaited reply, but it did not parse: request failed
        enDEVFAILED = 2, // the awaited reply, reporting failure: request failed
        enLATE = 3,      // the reply of a request that had timed out: dropped
        enUNEXPECTED = 4 // nobody waits for it: dropped
    };

    // `wake` is called (under the lock) once per submitted request, to tell
    // the driver thread to look at the list.
    explicit reqListT(std::function<void()> wake,
                      const rux::timeT& defaultTimeout = rux::timeT(5, 0));
    reqListT(const reqListT&) = delete;
    reqListT& operator=(const reqListT&) = delete;

    // Requester side. Queues `ex` for `dev` and waits until it is done; true
    // when it completed (sent, and the reply parsed when one was awaited).
    bool submit(devKeyT dev, std::shared_ptr<exchangeT> ex);

    // Driver side.
    void attach(devKeyT dev);
    // Fails every request of `dev`, queued or sent, and refuses later ones;
    // returns how many failed.
    size_t detach(devKeyT dev);
    // Fails every request and refuses all later ones.
    void close();
    // The oldest queued request whose device is idle, now marked sent; empty
    // when there is none. Call sent() for it once the report went out (or not).
    reqPtrT takeNext(const rux::timeT& now);
    // The report of `r` was sent (ok) or could not be formatted or sent.
    void sent(const reqPtrT& r, bool ok, const rux::timeT& now);
    // Offers a report received from `dev` to the request in flight.
    offerT offer(devKeyT dev, const unsigned char* report, std::size_t len);
    // Fails the requests whose reply is overdue at `now`; returns their devices.
    std::vector<devKeyT> expire(const rux::timeT& now);
    // The earliest time at which expire() or takeNext() may find something
    // new to do; false when no time matters.
    bool nextDeadline(rux::timeT& at) const;
    // The exchange in flight for `dev`, if any (for diagnostics).
    std::shared_ptr<exchangeT> inFlight(devKeyT dev) const;

    void defaultTimeout(const rux::timeT& t);
    rux::timeT defaultTimeout() const;
    // Requests in the list, in any state (for diagnostics and tests).
    size_t size() const;

private:
    // Reply ids held back after a time-out, until `until`.
    struct heldT {
        unsigned char rid;
        unsigned char mid;
        rux::timeT until;
    };
    struct devStateT {
        bool busy = false; // a request is in flight
        std::vector<heldT> held;
    };

    void _finish(reqT& r, stateT s); // under the lock
    rux::timeT _timeoutOf(const exchangeT& ex) const;
    static void _purgeHeld(devStateT& d, const rux::timeT& now);

    mutable rux::mutexT _mtx;
    rux::condT _cond;
    std::function<void()> _wake;
    rux::timeT _defaultTimeout;
    bool _closed = false;
    std::list<reqPtrT> _list;              // submission order
    std::map<devKeyT, devStateT> _devices; // attached devices
};

} // namespace usbdrv
