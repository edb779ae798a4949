// kivemu::emuDevT: one device model served on some transport, as the emulator
// program handles its devices whichever way they are plugged in: into the
// emulation directory (kivemu::hidDevT) or into the running kernel through
// /dev/uhid (kivemu::uhidDevT).
//
// Thread-safety: plug, unplug and destruction from one owning thread; the
// rest from any thread (the model is used under the device's lock).
#pragma once

#include <functional>

#include "kivemu/meter.h"
#include "sal/usbhid.h"

namespace kivemu {

class emuDevT {
public:
    virtual ~emuDevT() = default;

    // Plugs the device in and starts serving it; false when it cannot be made.
    virtual bool plug() = 0;
    // Pulls the device out and stops serving it.
    virtual void unplug() = 0;
    // True while plugged (a model's unplug request clears it).
    virtual bool plugged() const = 0;
    // Runs f(model) under the device's lock (fault knobs, state).
    virtual void withModel(const std::function<void(modelT&)>& f) = 0;
    template <class F> void with(F f) { withModel(f); }
    // Sends the model's unsolicited report to the host.
    virtual void sendUnsolicited() = 0;

    virtual rux::usbIdT id() const = 0;
    // How often a model's request made the device reappear.
    virtual unsigned replugs() const = 0;
    // Host reports handled so far.
    virtual unsigned reports() const = 0;
};

} // namespace kivemu
