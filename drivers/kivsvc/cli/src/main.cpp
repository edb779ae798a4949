// kivsvc-cli: the device service from the command line, for people and
// scripts.
#include <CLI/CLI.hpp>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "commands.h"

namespace {

std::atomic<bool> g_quit{false};
// Commands that poll g_quit end by themselves; the others end at once.
std::atomic<bool> g_polling{false};

// Signals go to one thread of their own, never into the IPC library's
// threads in the middle of a system call.
void startSignalThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
        int sig = 0;
        while (sigwait(&set, &sig) == 0) {
            // A second signal does not wait for the command to notice.
            if (g_quit.exchange(true) || !g_polling.load())
                std::_Exit(128 + sig);
        }
    }).detach();
}

const char* const exitCodes = R"(EXIT STATUS
  0  success
  1  the device or the service refused, or a check failed (flash: checksum
     mismatch, refused block, device removed)
  2  usage error: bad command line or input file
  3  the service is unreachable (IPC daemon or kivsvc-drv not running, see
     --wait), or a reply did not come within --timeout
  4  no such device

ENVIRONMENT
  RUX_RUNTIME_DIR  where the IPC daemon listens (default: /run/rux for root,
                   $XDG_RUNTIME_DIR/rux, or /tmp/rux-<uid>)
  rux_ipc_config   IPC configuration file when /etc/rux_ipc.cfg is absent)";

const char* const deviceHelp = "Device identifier (the ID column of \"list\") or serial number";

} // namespace

int main(int argc, char** argv) {
    using namespace kivcli;
    contextT c;
    c.quit = &g_quit;
    c.polling = &g_polling;
    optionsT& o = c.o;

    CLI::App app{"kivsvc-cli - use the flow-meter device service (kivsvc-drv) from the command "
                 "line",
                 "kivsvc-cli"};
    app.set_help_all_flag("--help-all", "Print the help of every command and exit");
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("--json", o.json,
                 "Print results as JSON (one object per line), errors as a JSON object on "
                 "standard error");
    app.add_option("--timeout", o.timeout,
                   "Seconds to wait for each reply of the device service (default 10)")
        ->check(CLI::PositiveNumber);
    app.add_option("--wait", o.wait,
                   "Seconds to wait for the IPC daemon and the device service to come up "
                   "(default: give up after about a second)")
        ->check(CLI::NonNegativeNumber);

    // Each command's manual ends with what every command shares.
    auto manual = [](CLI::App* cmd, const std::string& text) {
        cmd->footer(text +
                    "\n\nEvery command also takes --json, --timeout SECONDS and --wait SECONDS;\n"
                    "exit status and environment: see \"kivsvc-cli --help\".");
    };

    auto* list = app.add_subcommand("list", "List the connected devices");
    manual(list, "Prints identifier, model, serial number, hardware and software version of "
                 "every device the service knows,\nmeters and bootloaders alike. "
                 "JSON: {\"devices\":[{\"dev_id\":..,\"model\":..,\"snum\":..,\"hwver\":..,"
                 "\"swver\":..}]}");

    auto* version = app.add_subcommand("version", "Print the device service's version");
    manual(version, "JSON: {\"svc_version\":\"...\"}");

    auto* get = app.add_subcommand("get", "Read a device's configuration, status or measurement");
    get->require_subcommand(1);
    auto* getCfg = get->add_subcommand("config", "Read the configuration of a meter");
    getCfg->add_option("DEVICE", o.device, deviceHelp)->required();
    getCfg->add_flag("--stored", o.stored,
                     "Read the configuration stored permanently instead of the one in use");
    manual(getCfg, "Prints the meter configuration field by field; with --json as one object "
                   "whose form \"set config --file\" reads back.");
    auto* getStatus = get->add_subcommand("status", "Read the operating status of a meter");
    getStatus->add_option("DEVICE", o.device, deviceHelp)->required();
    manual(getStatus, "Prints the operating mode (opmode) and the configuration mode (cfgmode).");
    auto* getMeasure = get->add_subcommand("measure", "Read the current measurement of a meter");
    getMeasure->add_option("DEVICE", o.device, deviceHelp)->required();
    manual(getMeasure, "Prints flow, totalised flow, frequency, current, direction and alarm.");

    auto* set = app.add_subcommand("set", "Change a device's configuration");
    set->require_subcommand(1);
    auto* setCfg = set->add_subcommand("config", "Change fields of a meter's configuration");
    setCfg->add_option("DEVICE", o.device, deviceHelp)->required();
    setCfg->add_option("FIELD=VALUE", o.assignments,
                       "Field of the configuration and its new value");
    setCfg->add_option("--file", o.file,
                       "JSON file with the fields to change, in the form \"get config --json\" "
                       "prints");
    setCfg->add_flag("--save", o.save, "Also store the configuration permanently");
    manual(setCfg,
           "The given fields replace those of the configuration in use; the others stay.\n"
           "FIELD is a configuration field as \"get config\" names it; VALUE a number, true or\n"
           "false, an enumeration name (m3_h, forward, ...), text, or for nested fields their\n"
           "protobuf text form in braces. Assignments apply after --file.\n"
           "JSON: {\"result\":\"ok\",\"dev_id\":..}. Examples:\n"
           "  kivsvc-cli set config SN0001 flow_unit=m3_h cutoff_delay=3000\n"
           "  kivsvc-cli get config 1 --json > cfg.json; kivsvc-cli set config 1 --file cfg.json "
           "--save");

    auto* reset = app.add_subcommand("reset", "Reset a device");
    reset->add_option("DEVICE", o.device, deviceHelp)->required();
    reset
        ->add_option("KIND", o.resetKind,
                     "sw: restart the software; hw: restart the hardware; cfg: reset the "
                     "configuration")
        ->required()
        ->check(CLI::IsMember({"sw", "hw", "cfg"}));
    manual(reset, "Asks the device for the reset and waits for its acknowledgement.\n"
                  "JSON: {\"result\":\"ok\",\"dev_id\":..}");

    auto* watch = app.add_subcommand("watch", "Show device arrivals and removals as they happen");
    watch->add_option("--measure", o.measureDevice,
                      "Instead, show the measurement of this device (identifier or serial "
                      "number) periodically");
    watch->add_option("--interval", o.interval, "Seconds between measurements (default 1)")
        ->check(CLI::PositiveNumber);
    watch->add_option("--count", o.count, "Stop after this many events or measurements")
        ->check(CLI::PositiveNumber);
    manual(watch, "Starts with every device already attached, then prints one line per event\n"
                  "(JSON: {\"event\":\"attached\"|\"removed\",\"dev_id\":..,...}) until "
                  "interrupted (Ctrl-C, SIGTERM: exit 0).\n"
                  "With --measure, ends with exit status 4 when the device is removed.");

    std::string offset = "0", fwVersion = "0", magic, state, code;
    auto* flash = app.add_subcommand("flash", "Write a firmware image onto a device in "
                                              "bootloader mode");
    flash->add_option("DEVICE", o.device, deviceHelp)->required();
    flash->add_option("IMAGE", o.image, "Raw firmware image file")->required();
    flash->add_option("--offset", offset,
                      "Flash address where the image goes (default 0; 0x... for hexadecimal)");
    flash->add_option("--fw-version", fwVersion,
                      "Firmware version written into the application record (default 0)");
    flash->add_option("--magic", magic, "Magic number of the application record");
    flash->add_option("--state", state, "State word of the application record");
    flash->add_option("--code", code, "Code word of the application record");
    manual(flash,
           "IMAGE is a raw image: exactly the bytes to place at --offset, nothing else (at most\n"
           "16 MiB). The device must be a bootloader (model NBOOT in \"list\"). Steps: read the\n"
           "application record; erase the application area (offset, image length); write the\n"
           "image in blocks of 56 bytes; read the firmware checksum and compare it with the\n"
           "image's CRC-32 (as zlib computes it); only if they match, write the application\n"
           "record (magic, state, offset, length, CRC-32, version, code) and read it back.\n"
           "--magic, --state and --code default to the record on the device if it holds one,\n"
           "else 0. A mismatch, a refused block, a removed device or an interruption stops\n"
           "before the record is written (exit 1); the device stays in bootloader mode and\n"
           "can be flashed again. Progress: a bar on a terminal, else (and with --json) JSON\n"
           "lines {\"event\":\"progress\",\"stage\":..,\"done\":..,\"total\":..}.");

    app.footer(std::string("Run \"kivsvc-cli COMMAND --help\" for a command's details.\n\n") +
               exitCodes);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        c.out = outputT(o.json);
        return c.out.error(exUSAGE, std::string(e.what()) + " (see kivsvc-cli --help)");
    }
    c.out = outputT(o.json);

    auto number = [&](const std::string& text, const char* name, uint32_t& v) {
        try {
            std::size_t end = 0;
            unsigned long long n = std::stoull(text, &end, 0);
            if (end == text.size() && n <= 0xFFFFFFFFull && text[0] != '-') {
                v = uint32_t(n);
                return true;
            }
        } catch (const std::exception&) {
        }
        c.out.error(exUSAGE, std::string("--") + name + ": \"" + text +
                                 "\" is not a 32-bit unsigned number");
        return false;
    };

    startSignalThread();
    if (*list)
        return cmdList(c);
    if (*version)
        return cmdVersion(c);
    if (*get)
        return cmdGet(c, *getCfg ? "config" : *getStatus ? "status" : "measure");
    if (*set)
        return cmdSetConfig(c);
    if (*reset)
        return cmdReset(c);
    if (*watch)
        return cmdWatch(c);
    if (*flash) {
        imageT& img = o.img;
        if (!number(offset, "offset", img.offset) || !number(fwVersion, "fw-version", img.version))
            return exUSAGE;
        if (!magic.empty() && !(img.hasMagic = number(magic, "magic", img.magic)))
            return exUSAGE;
        if (!state.empty() && !(img.hasState = number(state, "state", img.state)))
            return exUSAGE;
        if (!code.empty() && !(img.hasCode = number(code, "code", img.code)))
            return exUSAGE;
        return cmdFlash(c);
    }
    return exUSAGE;
}
