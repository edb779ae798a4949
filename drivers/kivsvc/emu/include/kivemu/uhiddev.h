// kivemu::uhidDevT: serves one device model (kivemu::modelT) as a HID device
// of the running kernel, through /dev/uhid, so that the real hidraw backend
// (and any other program) finds it like a plugged-in USB device: a hidraw
// node, uevents, the parent "hid" device's HID_ID, HID_NAME and HID_UNIQ.
//
// The report descriptor declares the model's report ids (reportIdsT) with the
// model's lengths: every input id as long as inputLen(), every output id as
// long as outputLen() (both counting the id byte), under a vendor-defined
// usage page. The kernel drops input reports shorter than the descriptor
// declares, so replies are sent padded to the full length.
//
// One thread per plugged device hands each output report (UHID_OUTPUT) to the
// model and sends its replies in order, each after its delay; GET_REPORT and
// SET_REPORT requests are refused at once so that the kernel never waits on
// them. A model asking to unplug destroys the device (UHID_DESTROY); asking to
// replug creates it again at once, a new attachment with a new hidraw node.
//
// Thread-safety: plug, unplug and destruction from one owning thread; with(),
// sendUnsolicited() and the getters from any thread (the model is used under the device's lock).
// Failure: plug returns false, with errno set, when /dev/uhid cannot be opened
// (module not loaded, no permission) or the kernel refuses the device.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kivemu/emudev.h"
#include "kivemu/meter.h"
#include "sal/mutex.h"
#include "sal/thread.h"
#include "sal/usbhid.h"

namespace kivemu {

// The report ids a model sends (input) and receives (output).
struct reportIdsT {
    std::vector<unsigned char> input;
    std::vector<unsigned char> output;

    // The kernel passes on only input reports of declared ids: 5 is what the
    // meter's "wrong report id" fault sends.
    static reportIdsT meter() { return {{4, 5}, {1, 2, 3}}; }
    static reportIdsT bootloader() { return {{0xFF}, {1, 2}}; }
};

// The report descriptor for these ids and lengths (each counting the id byte).
bytesT uhidDescriptor(const reportIdsT& ids, std::size_t inputLen, std::size_t outputLen);

class uhidDevT : public emuDevT {
public:
    uhidDevT(rux::usbIdT id, std::unique_ptr<modelT> model, reportIdsT ids,
             std::string description, std::string serial);
    ~uhidDevT() override;
    uhidDevT(const uhidDevT&) = delete;
    uhidDevT& operator=(const uhidDevT&) = delete;

    // Creates the kernel device and starts serving it; false when it cannot.
    bool plug() override;
    // Destroys the kernel device and stops serving it.
    void unplug() override;
    // True while the kernel device exists (a model's unplug request clears it).
    bool plugged() const override;

    // Runs f(model) under the device's lock (fault knobs, state).
    template <class F> void with(F f) {
        rux::lockT<rux::mutexT> g(_mtx);
        f(*_model);
    }
    void withModel(const std::function<void(modelT&)>& f) override { with(f); }
    // Sends the model's unsolicited report (once the kernel device exists).
    void sendUnsolicited() override;

    rux::usbIdT id() const override { return _id; }
    const std::string& serial() const { return _serial; }
    // How often a model's request made the device reappear.
    unsigned replugs() const override;
    // Output reports handled so far.
    unsigned reports() const override;
    // True while some program has the hidraw node open (UHID_OPEN/UHID_CLOSE).
    bool opened() const;

private:
    void _run();
    bool _create(); // UHID_CREATE2 on _fd
    void _destroy();
    void _sendInput(const bytesT& report);

    const rux::usbIdT _id;
    const reportIdsT _ids;
    const std::string _description;
    const std::string _serial;
    mutable rux::mutexT _mtx; // model, flags, counters
    std::unique_ptr<modelT> _model;
    rux::threadT::handleT _thread;
    int _fd = -1;
    int _wake[2] = {-1, -1}; // wakes the device thread
    bool _stop = false;
    bool _plugged = false;
    int _opens = 0;
    unsigned _unsolicited = 0; // reports to send on the next round
    unsigned _replugs = 0;
    unsigned _reports = 0;
};

} // namespace kivemu
