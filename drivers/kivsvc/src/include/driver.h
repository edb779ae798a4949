// driverT: a source of devices (a USB driver, the simulator). Owned by the
// device service's application object; start() is called once, from its
// start-up thread. What a driver's own threads do is up to the driver; they
// enter devices into devdbT.
#pragma once

#include <memory>
#include <string>

#include "rux_logger_xface.h"

namespace rux {
class cliMenuT;
}

class driverT {
public:
    driverT() = default;
    virtual ~driverT() = default;
    driverT(const driverT&) = delete;
    driverT& operator=(const driverT&) = delete;

    // Adds the driver's own operator menu under `menu` (may add nothing).
    virtual void console(std::shared_ptr<rux::cliMenuT>& menu) = 0;
    // Starts finding devices; false when the driver could not start.
    virtual bool start() = 0;
    // Short name for logs: "usb", "simulator".
    virtual std::string _name() = 0;

protected:
    rux::loggerT _logger; // unbound until the driver binds it
};
