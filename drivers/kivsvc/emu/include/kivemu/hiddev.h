// kivemu::hidDevT: serves one device model (kivemu::modelT) as an emulated USB
// HID device in the emulation directory (sal/usbhidemu.h), so that hosts in
// this or other processes find it like a plugged-in device.
//
// One thread per plugged device accepts the host's connection, hands each
// output report to the model and sends the model's replies, in order, each
// after its delay (a delayed reply holds back the ones behind it, as a meter
// that answers one request at a time would). A model asking to unplug makes
// the device disappear; asking to replug makes it reappear at once as a newly
// attached device.
//
// Thread-safety: plug, unplug and destruction from one owning thread; with(),
// sendUnsolicited() and the getters from any thread (the model is used under
// the device's lock). Failure: plug returns false when the device cannot be
// made (bad name, directory not writable).
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "kivemu/emudev.h"
#include "kivemu/meter.h"
#include "sal/mutex.h"
#include "sal/thread.h"
#include "sal/usbhidemu.h"

namespace kivemu {

class hidDevT : public emuDevT {
public:
    hidDevT(std::string dir, std::string name, rux::usbIdT id, std::unique_ptr<modelT> model,
            std::string description = "q7xx meter (emulated)");
    ~hidDevT() override;
    hidDevT(const hidDevT&) = delete;
    hidDevT& operator=(const hidDevT&) = delete;

    // Plugs the device in and starts serving it; false when it cannot be made.
    bool plug() override;
    // Pulls the device out and stops serving it.
    void unplug() override;
    // True while plugged (a model's unplug request clears it).
    bool plugged() const override;

    // Runs f(model) under the device's lock (fault knobs, state).
    template <class F> void with(F f) {
        rux::lockT<rux::mutexT> g(_mtx);
        f(*_model);
    }
    void withModel(const std::function<void(modelT&)>& f) override { with(f); }
    // Sends the model's unsolicited report to the connected host.
    void sendUnsolicited() override;

    const std::string& name() const { return _name; }
    rux::usbIdT id() const override { return _id; }
    // How often a model's request made the device reappear.
    unsigned replugs() const override;
    // Host reports handled so far.
    unsigned reports() const override;

private:
    struct pendingT {
        bytesT report;
        rux::timeT due;
    };
    void _run();
    bool _plugLocked();

    const std::string _dir;
    const std::string _name;
    const rux::usbIdT _id;
    const std::string _description;
    mutable rux::mutexT _mtx; // model, flags, counters, pending
    std::unique_ptr<modelT> _model;
    rux::usbHidEmuDevT _dev;
    rux::threadT::handleT _thread;
    rux::seqSocketT _conn;      // the host's connection, shut down to end a stuck send
    rux::streamSocketT _wakeRd; // wakes the device thread
    rux::streamSocketT _wakeWr;
    bool _stop = false;
    bool _plugged = false;
    unsigned _unsolicited = 0; // reports to send on the next round
    unsigned _replugs = 0;
    unsigned _reports = 0;
};

} // namespace kivemu
