// kivsvc-emu: plugs emulated meters into the emulated USB HID transport, so
// that the device service and its clients run without hardware.
//
// The emulation directory comes from the "dir" option or RUX_HID_EMU_DIR; with
// the "uhid" option devices are plugged into the running kernel through
// /dev/uhid instead (kivemu::uhidDevT), where every program finds them.
// The console (stdio or telnet) adds, lists and removes meters and
// bootloaders and sets their fault knobs; every device runs on a thread of its
// own (kivemu::hidDevT).
// Console commands run on console threads; the device table has one lock.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "kivemu/boot.h"
#include "kivemu/hiddev.h"
#include "kivemu/uhiddev.h"
#include "rux_gas_xface.h"
#include "sal/cond.h"
#include "sal/mutex.h"

namespace kivemu {

class emuAppT : public rux::gasT {
public:
    emuAppT();
    ~emuAppT() override;

protected:
    bool _config(rux::gasCfgT& cfg) override;
    bool _options(std::list<optionT>& opts) override;
    bool _version(std::string& version) override;
    bool _help(std::string& help) override;
    bool _init(const rux::gasCfgT& cfg) override;
    int _run() override;
    void _quit() override;
    bool _console(std::shared_ptr<rux::cliMenuT>& root) override;

private:
    struct entryT {
        std::unique_ptr<emuDevT> dev;
        std::string kind;  // "meter" or "boot"
        std::string ident; // identity, as listed
    };
    // Console commands; each writes its result to `os`.
    void _add(const std::string& kind, std::unique_ptr<modelT> model, const std::string& ident,
              unsigned vendor, unsigned product, std::ostream& os);
    void _list(const std::string& kind, std::ostream& os);
    void _remove(const std::string& kind, const std::string& name, std::ostream& os);
    // The commands every kind of device has, under `menu`.
    void _deviceCommands(const std::string& kind, const std::shared_ptr<rux::cliMenuT>& menu);
    // Runs f on the named device; false (and a message) when there is none.
    bool _withDev(const std::string& kind, const std::string& name, std::ostream& os,
                  const std::function<void(emuDevT&)>& f);

    std::string _dir;
    bool _uhid = false; // plug into the kernel through /dev/uhid
    std::list<std::string> _initial; // "meter" options, plugged at start
    rux::loggerT _log;
    rux::mutexT _mtx; // _devs, _next, _quitting
    rux::condT _cond;
    std::map<std::string, entryT> _devs;
    unsigned _next = 1;
    bool _quitting = false;
};

// "<model name>,<serial number>[,<software version>[,<hardware version>]]"
// (versions in hexadecimal, as the meter reports them); false when malformed.
bool parseMeterSpec(const std::string& text, meterIdentityT& out);
// The identity as "meter list" shows it.
std::string describe(const meterIdentityT& id);

} // namespace kivemu
