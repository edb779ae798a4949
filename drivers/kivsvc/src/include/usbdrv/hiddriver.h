// usbdrv::hidDriverT: the machinery every USB HID device driver shares: one
// thread that accepts the devices of one vendor and product, identifies each
// (the derived driver's _handshake), enters it into the device database,
// carries the requests of client threads to the devices and their replies
// back, and removes a device from the database when it is unplugged.
//
// Requests travel through a usbdrv::reqListT shared with the devices: one in
// flight per device, sent in submission order, each failing at its reply
// time-out or when its device goes. A wake pipe tells the thread, sleeping in
// its poller, that requests are queued.
//
// Thread rules: construct, start() and destroy from one owning thread;
// derived classes call _stop() first thing in their destructor (the thread
// calls their hooks). The hooks and everything the thread does run on the
// driver thread only. Destruction fails every pending request and removes the
// driver's devices from the database; devices still held by clients stay
// valid but every request on them fails.
//
// Failure: a failed bind is logged at CRITICAL and ends the thread (the driver
// then serves nothing); a failed listener is logged once at CRITICAL and no
// further devices are accepted while the connected ones are still served.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "driver.h"
#include "sal/dgram.h"
#include "sal/poller.h"
#include "sal/thread.h"
#include "sal/usbhid.h"
#include "usbdrv/reqlist.h"
#include "usbdrv/usbdev.h"
#include "usbdrv/wakepipe.h"

namespace usbdrv {

class hidDriverT : public driverT {
public:
    // Identification steps wait this long for each reply.
    static constexpr int handshakeWaitMs = 5000;

    hidDriverT(uint16_t vendor, uint16_t product, const std::string& threadName);
    ~hidDriverT() override;

    void console(std::shared_ptr<rux::cliMenuT>& menu) override;
    // Starts the driver thread; true.
    bool start() override;
    std::string _name() override { return "usb"; }

    uint16_t vendor() const { return _vendor; }
    uint16_t product() const { return _product; }
    // Time-out of an exchange that names none (initially 5 s).
    void replyTimeout(const rux::timeT& t) { _requests->defaultTimeout(t); }
    const std::shared_ptr<reqListT>& requests() const { return _requests; }

protected:
    // Identifies a device the listener accepted; empty when it cannot be
    // served. The result must be linked (usbDevT::link) to `conn`, `addr` and
    // requests().
    virtual std::shared_ptr<usbDevT> _handshake(std::shared_ptr<rux::seqSocketT> conn,
                                                const rux::usbHidSockAddrT& addr) = 0;
    // Logs a device that has just been identified.
    virtual void _logAttached(const usbDevT& dev) = 0;
    // Sees every report a device sends, before it is matched.
    virtual void _reportSeen(const usbDevT&, const unsigned char*, std::size_t) {}

    // One identification step: sends the report `format` writes (into a
    // zero-filled buffer of the output-report length), waits up to
    // handshakeWaitMs for the answer and receives it into `in`. A failure is
    // logged at ERROR (function "_handshake") as `sendFailText`, "timeout
    // while waiting for ID reply from " or "failed to read data from ", each
    // followed by the address. Stopping the driver ends the wait.
    template <class F>
    bool _handshakeStep(rux::seqSocketT& conn, const rux::usbHidSockAddrT& addr, F format,
                        rux::dgramT& in, const char* sendFailText) {
        rux::dgramT out(addr.caps.outputReportByteLength);
        const int n = out.capacity() == 0
                          ? -1
                          : format(reinterpret_cast<unsigned char*>(out.buf()), out.capacity());
        return _handshakeIo(conn, addr, n >= 0 ? &out : nullptr, in, sendFailText);
    }

    // Ends the thread and fails everything pending; idempotent.
    void _stop();
    // The listening socket (tests shut it down to see a failing listener).
    rux::srvSocketT<rux::seqSocketT>& _listenerSocket() { return _listener; }

private:
    void _run();
    void _serve(rux::pollerT<rux::socketT*, std::shared_ptr<usbDevT>>& poller);
    bool _handleCommand(const reqListT::reqPtrT& r, const rux::timeT& now);
    bool _handleReport(usbDevT& dev, const unsigned char* report, std::size_t len);
    void _abortAllCmds(usbDevT& dev);
    void _accept(rux::pollerT<rux::socketT*, std::shared_ptr<usbDevT>>& poller);
    void _gone(rux::pollerT<rux::socketT*, std::shared_ptr<usbDevT>>& poller,
               const std::shared_ptr<usbDevT>& dev);
    void _removeAll();
    bool _handshakeIo(rux::seqSocketT& conn, const rux::usbHidSockAddrT& addr, rux::dgramT* out,
                      rux::dgramT& in, const char* sendFailText);

    const uint16_t _vendor;
    const uint16_t _product;
    rux::srvSocketT<rux::seqSocketT> _listener;
    rux::threadT::handleT _thread;
    wakePipeT _wake;
    std::shared_ptr<reqListT> _requests;
    // Devices being served; driver thread only.
    std::map<reqListT::devKeyT, std::shared_ptr<usbDevT>> _devices;
    rux::mutexT _mtx; // guards _stopping and _started
    bool _stopping = false;
    bool _started = false;
};

} // namespace usbdrv
