// Arbitrary request payloads from a client node through the device service's
// receiver, with simulated meters in the database; and arbitrary device texts
// through the console's device listing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "devlist.h"
#include "drvapp.h"
#include "simdriver.h"

class drvAppTestT {
public:
    static void bindLogger(kivsvcDrvAppT& app) { app._logger = rux::loggerT("kivsvc-drv"); }
};

namespace {

struct harnessT {
    harnessT() : events(&app), receiver(&app) {
        drvAppTestT::bindLogger(app);
        rux::loggerT("kivsvc-drv").level(rux::log::NODUMP);
        rux::loggerT("fuzz").level(rux::log::NODUMP);
        sim._connect(1, "SIM0", "1.0", "1.2");
        sim._connect(2, "SIM1", "", "");
        events.notify(rux::ipcEventT{rux::ipcEventT::enUP, "local", "fuzz"});
    }
    kivsvcDrvAppT app;
    kivsvcDrvAppT::eventHandlerT events;
    kivsvcDrvAppT::receiverT receiver;
    simDriverT sim;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static harnessT* h = new harnessT; // one process-wide application, like the program's
    auto msg = rux::ipcMessageT::create(size, 2);
    if (!msg)
        return 0;
    if (size)
        msg->write(reinterpret_cast<const char*>(data), long(size));
    (void)h->receiver.syncMsg(std::move(msg), "fuzz", "local");

    // The same bytes as a device's serial number and versions.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string esc = escapeDeviceText(text);
    for (unsigned char c : esc)
        if (c < 0x20 || c >= 0x7f)
            std::abort();
    return 0;
}
