// devClientT: one command-line client's node on the device service's IPC
// service, and the requests it makes there.
//
// The node name is "kivsvc-cli-" + the process id, so any number of clients
// run at once. connect() waits, up to a deadline, for the daemon to take the
// name and for the device service's node to be up; call() makes one request
// and waits for its reply up to the time-out. Device reports (attached /
// removed, after registering) are pulled with nextReport().
//
// Failure is a result code (resultT), never an exception; the IPC library's
// own codes are mapped onto it. One thread uses an object (the program's main
// thread); the IPC library runs its own threads underneath.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "ipc/service.h"
#include "messages.pb.h"

namespace kivcli {

enum class resultT {
    ok,          // a reply came
    unreachable, // daemon or device service not there (in time)
    timedOut,    // no reply within the time-out
    badReply,    // a reply that is no client message
};

// One attached device as its report announced it.
struct deviceT {
    int id = -1;
    kivsvc::reportDeviceT::modelT model = kivsvc::reportDeviceT::unknown;
    std::string snum; // up to the first NUL
    std::string hwver;
    std::string swver;
};

deviceT deviceOf(const kivsvc::kivmsgT& report);

class devClientT {
public:
    static constexpr const char* serviceName = "local";
    static constexpr const char* driverNode = "kivsvc-drv";

    explicit devClientT(long timeoutMs) : _timeoutMs(timeoutMs) {}
    ~devClientT();
    devClientT(const devClientT&) = delete;
    devClientT& operator=(const devClientT&) = delete;

    // Binds the node and waits for the device service's node, for at most
    // `waitMs` milliseconds.
    resultT connect(long waitMs);
    void close();

    // One request; `request` gets the next invocation number.
    resultT call(kivsvc::kivmsgT& request, kivsvc::kivmsgT& reply);
    // A request that needs only its kind and device.
    resultT call(kivsvc::kivmsgT::msgIdT id, int devId, kivsvc::kivmsgT& reply);

    // The attached devices: registers, takes the reports that the
    // registration brings, and stays registered when `stay` (for nextReport).
    // The service sends those reports apart from its reply and marks no end:
    // they are taken until none came for quietMs, or until `enough` says the
    // device looked for is there.
    static constexpr long quietMs = 300;
    resultT devices(std::map<int, deviceT>& out, bool stay,
                    const std::function<bool(const deviceT&)>& enough = nullptr);
    // The next device report; false when none came within `ms`.
    bool nextReport(kivsvc::kivmsgT& report, long ms);

    // Whether the device service's node went down since connect().
    bool driverGone() const;

private:
    struct eventsT;

    long _timeoutMs;
    int _ivk = 0;
    bool _bound = false;
    rux::ipcServiceT::handleT _svc;
    std::shared_ptr<eventsT> _events;
};

// A reply that is an acknowledgement of success.
bool acked(const kivsvc::kivmsgT& reply);

} // namespace kivcli
