// simDriverT: the simulator, a driver whose meters an operator adds and
// removes from the console ("add", "remove") instead of plugging them in.
//
// Each simulated meter (q720simT) enters the device database like a real one,
// so clients see the same reports and can send it every request. The driver
// keeps serial number -> device identifier for the meters it added, one entry
// per serial number, changed only under the database's write access: the
// look-up and the change happen under one write access, so two sessions that
// add or remove the same serial number at once cannot both succeed.
//
// Thread-safety: _connect, _disconnect and the console commands may run on
// any number of threads at once. The menu entries share the serial-number map
// with the driver, so they stay valid if the driver goes first. Destroying the
// driver leaves its meters in the database.
// Failure: false (console: a failure line) for a serial number that is empty,
// already connected (connect) or unknown (disconnect).
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "driver.h"

class simDriverT : public driverT {
public:
    simDriverT();

    // Adds "add" and "remove" to `menu`.
    void console(std::shared_ptr<rux::cliMenuT>& menu) override;
    // Nothing to start: no thread, nothing opened.
    bool start() override { return true; }
    std::string _name() override { return "simulator"; }

    // `model` is a value of kivsvc::reportDeviceT_modelT; empty versions take
    // the simulated meter's defaults.
    bool _connect(int model, const std::string& snum, const std::string& hwver,
                  const std::string& swver);
    bool _disconnect(const std::string& snum);
    // Serial numbers of the connected simulated meters, ascending.
    std::vector<std::string> _serials() const;

    class _metersT; // the serial-number map, shared with the menu entries

private:
    std::shared_ptr<_metersT> _meters;
};
