#include "emuapp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>

#include <unistd.h>

#include "rux_cli_xface.h"

namespace kivemu {

using rux::cliActionT;
using rux::cliArgsT;
using rux::cliCmdT;
using rux::cliElemT;
using rux::cliMenuT;
using rux::cliOutputT;
using rux::cliParamT;
using rux::cliValINT;
using rux::cliValSTR;
using rux::cliValT;
using rux::lockT;
using rux::mutexT;
namespace log = rux::log;

namespace {

constexpr unsigned defaultVendor = 0xA7B3;
constexpr unsigned meterProduct = 0x0001;
constexpr unsigned bootProduct = 0x0002;
constexpr std::size_t maxDevices = 64;

bool parseHexByte(const std::string& s, unsigned char& out) {
    if (s.empty() || s.size() > 2)
        return false;
    char* end = nullptr;
    const unsigned long v = std::strtoul(s.c_str(), &end, 16);
    if (*end != '\0')
        return false;
    out = static_cast<unsigned char>(v);
    return true;
}

std::shared_ptr<cliParamT> param(const std::string& name, const std::string& help,
                                 std::shared_ptr<cliElemT> value, bool required) {
    auto p = cliParamT::create(name, help);
    p->add(std::move(value));
    if (required)
        p->flags(cliElemT::enREQUIRED);
    return p;
}

// An action that streams into the console output.
template <class F> std::shared_ptr<cliActionT> act(F f) {
    return cliActionT::create([f](const cliArgsT& a, std::shared_ptr<cliOutputT> out) {
        cliOutputT::streamT os(out);
        f(a, os);
    });
}

long long intArg(const cliArgsT& a, const std::string& name, long long dflt) {
    std::string v;
    return a.get(name, v) && !v.empty() ? std::atoll(v.c_str()) : dflt;
}

std::string hex2(unsigned v) {
    std::ostringstream s;
    s << std::hex << std::setw(2) << std::setfill('0') << v;
    return s.str();
}

} // namespace

bool parseMeterSpec(const std::string& text, meterIdentityT& out) {
    std::vector<std::string> parts;
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ','))
        parts.push_back(item);
    if (parts.size() < 2 || parts.size() > 4 || parts[0].empty() || parts[0].size() > 17 ||
        parts[1].empty() || parts[1].size() > 17)
        return false;
    meterIdentityT id;
    id.name = parts[0];
    id.snum = parts[1];
    if (parts.size() > 2 && !parseHexByte(parts[2], id.swver))
        return false;
    if (parts.size() > 3 && !parseHexByte(parts[3], id.hwver))
        return false;
    out = id;
    return true;
}

std::string describe(const meterIdentityT& id) {
    return "\"" + id.name + "\"  snum \"" + id.snum + "\"  hw " + hex2(id.hwver) + "  sw " +
           hex2(id.swver);
}

namespace {

std::string describe(const bootIdentityT& id) {
    char sw[16];
    std::snprintf(sw, sizeof sw, "%08x", id.swver);
    return "\"" + id.name + "\"  snum \"" + id.snum + "\"  hw " + hex2(id.hwver) + "  sw " + sw;
}

} // namespace

emuAppT::emuAppT() : gasT("kivsvc-emu") {
    if (const char* d = std::getenv("RUX_HID_EMU_DIR"))
        _dir = d;
}

emuAppT::~emuAppT() {
    lockT<mutexT> g(_mtx);
    _devs.clear();
}

bool emuAppT::_config(rux::gasCfgT& cfg) {
    cfg.descr = "emulated flow meters on the emulated USB HID transport";
    return true;
}

bool emuAppT::_options(std::list<optionT>& opts) {
    opts.emplace_back("dir", 'd', optionT::enREQUIRED,
                      "emulation directory (default: $RUX_HID_EMU_DIR)", optionT::parseVar(_dir));
    opts.emplace_back("uhid", 'u', optionT::enNONE,
                      "plug devices into the running kernel through /dev/uhid instead",
                      optionT::func([this](const std::string&) { return _uhid = true; }));
    opts.emplace_back("meter", 'm', optionT::enREQUIRED,
                      "plug in a meter at start: \"<model name>,<serial>[,<sw>[,<hw>]]\", "
                      "versions in hexadecimal",
                      optionT::func([this](const std::string& t) {
                          meterIdentityT id;
                          if (!parseMeterSpec(t, id))
                              return false;
                          _initial.push_back(t);
                          return true;
                      }));
    return true;
}

bool emuAppT::_version(std::string& version) {
    version = "1.0.0";
    return true;
}

bool emuAppT::_help(std::string& help) {
    help = "Meters appear to programs that use the same emulation directory; with uhid, to\n"
           "every program on this machine, as hidraw devices of the kernel.\n";
    return true;
}

bool emuAppT::_init(const rux::gasCfgT&) {
    _log = rux::loggerT("kivsvc-emu");
    if (_uhid) {
        if (::access("/dev/uhid", R_OK | W_OK) != 0) {
            std::cerr << "cannot use /dev/uhid: " << std::strerror(errno)
                      << " (load the uhid module; needs write access)" << std::endl;
            return false;
        }
    } else if (_dir.empty()) {
        std::cerr << "no emulation directory: give the dir option or set RUX_HID_EMU_DIR"
                  << std::endl;
        return false;
    }
    return true;
}

int emuAppT::_run() {
    for (const auto& item : _initial) {
        meterIdentityT id;
        parseMeterSpec(item, id);
        std::ostringstream os;
        _add("meter", std::make_unique<meterT>(id), describe(id), defaultVendor, meterProduct, os);
        std::cout << os.str() << std::flush;
    }
    _ready();
    lockT<mutexT> g(_mtx);
    while (!_quitting)
        _cond.wait(_mtx);
    _devs.clear(); // unplugs every device
    return 0;
}

void emuAppT::_quit() {
    lockT<mutexT> g(_mtx);
    _quitting = true;
    _cond.signal();
}

void emuAppT::_add(const std::string& kind, std::unique_ptr<modelT> model, const std::string& ident,
                   unsigned vendor, unsigned product, std::ostream& os) {
    lockT<mutexT> g(_mtx);
    if (_devs.size() >= maxDevices) { // each device is a thread and two files
        os << "too many devices (at most " << maxDevices << ")\n";
        return;
    }
    const std::string name = kind + std::to_string(_next++);
    const rux::usbIdT usb{uint16_t(vendor), uint16_t(product)};
    const std::string descr = kind == "boot" ? "nxxx bootloader (emulated)" : "q7xx meter (emulated)";
    std::unique_ptr<emuDevT> dev;
    if (_uhid) {
        // The kernel shows the serial number the model reports.
        std::string serial;
        if (auto* m = dynamic_cast<meterT*>(model.get()))
            serial = m->identity().snum;
        else if (auto* b = dynamic_cast<bootT*>(model.get()))
            serial = b->identity().snum;
        dev = std::make_unique<uhidDevT>(
            usb, std::move(model), kind == "boot" ? reportIdsT::bootloader() : reportIdsT::meter(),
            descr, serial);
    } else {
        dev = std::make_unique<hidDevT>(_dir, name, usb, std::move(model), descr);
    }
    if (!dev->plug()) {
        os << "failed to plug " << name << " into " << (_uhid ? "/dev/uhid" : _dir) << "\n";
        return;
    }
    rux::loggerT::logbufT(_log, log::NOTICE, "add") << "plugged " << name << " " << ident << "\n";
    _devs[name] = entryT{std::move(dev), kind, ident};
    os << "plugged " << name << "\n";
}

void emuAppT::_list(const std::string& kind, std::ostream& os) {
    lockT<mutexT> g(_mtx);
    bool any = false;
    for (auto& d : _devs) {
        const auto& e = d.second;
        if (e.kind != kind)
            continue;
        any = true;
        char usb[16];
        std::snprintf(usb, sizeof usb, "%04X:%04X", e.dev->id().vendor, e.dev->id().product);
        os << d.first << "  " << usb << "  " << e.ident << "  "
           << (e.dev->plugged() ? "plugged" : "unplugged") << "  reports " << e.dev->reports()
           << "\n";
    }
    if (!any)
        os << "no devices\n";
}

void emuAppT::_remove(const std::string& kind, const std::string& name, std::ostream& os) {
    std::unique_ptr<emuDevT> dev;
    {
        lockT<mutexT> g(_mtx);
        auto it = _devs.find(name);
        if (it == _devs.end() || it->second.kind != kind) {
            os << "no device " << name << "\n";
            return;
        }
        dev = std::move(it->second.dev);
        _devs.erase(it);
    }
    dev.reset(); // unplugs, outside the table's lock
    rux::loggerT::logbufT(_log, log::NOTICE, "remove") << "removed " << name << "\n";
    os << "removed " << name << "\n";
}

bool emuAppT::_withDev(const std::string& kind, const std::string& name, std::ostream& os,
                       const std::function<void(emuDevT&)>& f) {
    lockT<mutexT> g(_mtx);
    auto it = _devs.find(name);
    if (it == _devs.end() || it->second.kind != kind) {
        os << "no device " << name << "\n";
        return false;
    }
    f(*it->second.dev);
    return true;
}

void emuAppT::_deviceCommands(const std::string& kind, const std::shared_ptr<cliMenuT>& menu) {
    auto list = cliCmdT::create("list", "list the emulated devices of this kind");
    list->action(act([this, kind](const cliArgsT&, std::ostream& os) { _list(kind, os); }));
    menu->add(list);

    auto remove = cliCmdT::create("remove", "unplug a device and forget it");
    remove->add(param("name", "device name", cliValSTR::create(1, 64), true));
    remove->action(
        act([this, kind](const cliArgsT& a, std::ostream& os) { _remove(kind, a["name"], os); }));
    menu->add(remove);

    const bool boot = kind == "boot";
    auto fault = cliCmdT::create("fault", "alter the next replies of a device");
    fault->add(param("name", "device name", cliValSTR::create(1, 64), true));
    auto knob = cliParamT::create("knob", "what to do");
    knob->add(cliValT::create("drop", "do not send the replies"));
    knob->add(cliValT::create("delay", "send them late (see ms)"));
    knob->add(cliValT::create("corrupt",
                              boot ? "with another sequence number" : "with a wrong checksum"));
    knob->add(cliValT::create("rid", "with another report id"));
    knob->add(cliValT::create("mid", "with another message id"));
    knob->add(cliValT::create("unplug", "unplug on the count-th next request"));
    if (boot) {
        knob->add(cliValT::create("fail", "refuse the commands with the failure bit"));
        knob->add(cliValT::create("stale", "acknowledge block writes without writing them"));
        knob->add(cliValT::create("reboot", "reset on the count-th next block write (comes back)"));
        knob->add(cliValT::create("garble", "store block writes altered, acknowledged as usual"));
    }
    knob->flags(cliElemT::enREQUIRED);
    fault->add(knob);
    fault->add(param("count", "how many replies", cliValINT::range(1, 1000000), false));
    fault->add(param("ms", "delay in milliseconds", cliValINT::range(0, 3600000), false));
    fault->action(act([this, kind](const cliArgsT& a, std::ostream& os) {
        const std::string k = a["knob"];
        const unsigned n = unsigned(intArg(a, "count", 1));
        const long long ms = intArg(a, "ms", 6000);
        if (_withDev(kind, a["name"], os, [&](emuDevT& d) {
                d.with([&](modelT& m) {
                    faultsT& f = m.faults();
                    if (k == "drop") {
                        f.drop = n;
                    } else if (k == "delay") {
                        f.delay = n;
                        f.delayBy = rux::timeT::fromMs(ms);
                    } else if (k == "corrupt") {
                        f.corrupt = n;
                    } else if (k == "rid") {
                        f.wrongRid = n;
                    } else if (k == "mid") {
                        f.wrongMid = n;
                    } else if (k == "unplug") {
                        f.unplugAfter = int(n);
                    } else if (k == "fail") {
                        if (auto* b = dynamic_cast<bootT*>(&m))
                            b->bootFaults().fail = n;
                    } else if (k == "stale") {
                        if (auto* b = dynamic_cast<bootT*>(&m))
                            b->bootFaults().staleAck = n;
                    } else if (k == "reboot") {
                        if (auto* b = dynamic_cast<bootT*>(&m))
                            b->bootFaults().unplugAfterBlocks = int(n);
                    } else if (k == "garble") {
                        if (auto* b = dynamic_cast<bootT*>(&m))
                            b->bootFaults().garble = n;
                    }
                });
            }))
            os << "set " << k << " " << n << "\n";
    }));
    menu->add(fault);

    auto mute = cliCmdT::create("mute", "never answer requests with these ids");
    mute->add(param("name", "device name", cliValSTR::create(1, 64), true));
    mute->add(param("rid", "report id", cliValINT::range(0, 255), true));
    mute->add(param("mid", "message id", cliValINT::range(0, 255), true));
    mute->action(act([this, kind](const cliArgsT& a, std::ostream& os) {
        const unsigned key = unsigned(intArg(a, "rid", 0)) << 8 | unsigned(intArg(a, "mid", 0));
        if (_withDev(kind, a["name"], os,
                     [&](emuDevT& d) { d.with([&](modelT& m) { m.faults().mute.insert(key); }); }))
            os << "muted\n";
    }));
    menu->add(mute);

    auto clear = cliCmdT::create("clear", "take every fault knob back");
    clear->add(param("name", "device name", cliValSTR::create(1, 64), true));
    clear->action(act([this, kind](const cliArgsT& a, std::ostream& os) {
        if (_withDev(kind, a["name"], os, [](emuDevT& d) {
                d.with([](modelT& m) {
                    m.faults() = faultsT();
                    if (auto* b = dynamic_cast<bootT*>(&m))
                        b->bootFaults() = bootFaultsT();
                });
            }))
            os << "cleared\n";
    }));
    menu->add(clear);

    auto unsol = cliCmdT::create("unsolicited", "send a report nobody asked for");
    unsol->add(param("name", "device name", cliValSTR::create(1, 64), true));
    unsol->action(act([this, kind](const cliArgsT& a, std::ostream& os) {
        if (_withDev(kind, a["name"], os, [](emuDevT& d) { d.sendUnsolicited(); }))
            os << "sent\n";
    }));
    menu->add(unsol);
}

bool emuAppT::_console(std::shared_ptr<cliMenuT>& root) {
    root = cliMenuT::create("kivsvc-emu", "emulated devices");
    auto meter = cliMenuT::create("meter", "emulated meters");
    root->add(meter);
    auto add = cliCmdT::create("add", "plug in a meter");
    add->add(param("model", "identification name, such as \"Q8.20 MAGMETER\"",
                   cliValSTR::create(1, 17), true));
    add->add(param("snum", "serial number", cliValSTR::create(1, 17), true));
    add->add(param("sw", "software version byte (below 4: first protocol version)",
                   cliValINT::range(0, 255), false));
    add->add(param("hw", "hardware version byte", cliValINT::range(0, 255), false));
    add->add(param("vendor", "USB vendor id (decimal)", cliValINT::range(0, 65535), false));
    add->action(act([this](const cliArgsT& a, std::ostream& os) {
        meterIdentityT id;
        id.name = a["model"];
        id.snum = a["snum"];
        id.swver = static_cast<unsigned char>(intArg(a, "sw", id.swver));
        id.hwver = static_cast<unsigned char>(intArg(a, "hw", id.hwver));
        _add("meter", std::make_unique<meterT>(id), describe(id),
             unsigned(intArg(a, "vendor", defaultVendor)), meterProduct, os);
    }));
    meter->add(add);
    _deviceCommands("meter", meter);

    auto boot = cliMenuT::create("boot", "emulated bootloaders");
    root->add(boot);
    auto badd = cliCmdT::create("add", "plug in a bootloader");
    badd->add(param("snum", "serial number", cliValSTR::create(1, 24), true));
    badd->add(
        param("name", "identification name (default NBOOT)", cliValSTR::create(1, 16), false));
    badd->add(param("sw", "software version (32 bits)", cliValINT::range(0, 4294967295LL), false));
    badd->add(param("hw", "hardware version byte", cliValINT::range(0, 255), false));
    badd->add(param("vendor", "USB vendor id (decimal)", cliValINT::range(0, 65535), false));
    badd->action(act([this](const cliArgsT& a, std::ostream& os) {
        bootIdentityT id;
        id.snum = a["snum"];
        std::string name;
        if (a.get("name", name) && !name.empty())
            id.name = name;
        id.swver = static_cast<uint32_t>(intArg(a, "sw", id.swver));
        id.hwver = static_cast<unsigned char>(intArg(a, "hw", id.hwver));
        _add("boot", std::make_unique<bootT>(id), describe(id),
             unsigned(intArg(a, "vendor", defaultVendor)), bootProduct, os);
    }));
    boot->add(badd);
    _deviceCommands("boot", boot);
    return true;
}

} // namespace kivemu
