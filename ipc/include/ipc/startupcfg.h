// The IPC configuration: one record of start-up settings per IPC service.
//
// startupCfgT::build reads a configFileT and turns its DEFAULTS section and one
// section per service listed under SERVICES into serviceInfoT records; keys a
// service section leaves out keep the DEFAULTS value. A failed build reports one
// line on the diagnostic stream (standard error unless changed), drops the
// services and leaves the default record as it was, so callers fall back to the
// built-in defaults. Nothing here throws. Not thread-safe: build once, then share
// read-only.
#pragma once

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "ipc/configfile.h"
#include "ipc/prio.h"
#include "sal/time.h"

class startupCfgT {
public:
    // Operating-system priority classes a service may ask for (thread classes).
    enum prioClassT { enNORMAL = 2, enREALTIME = 4 };
    // What the daemon does with a node that does not read its messages.
    enum congestionT { enDROP = 0, enKILL = 1, enWAIT = 2 };

    struct serviceInfoT {
        std::string name;                     // section name; empty for the built-in defaults
        int osPrioClass = enNORMAL;           // class of the service's threads
        unsigned osPrio = 0;                  // level within the class, below 80
        int congestion = enDROP;              // congestion policy
        unsigned queueDim = 120;              // bound of each client output queue
        rux::timeT killTimeout{0, 120000000}; // KILL: wait this long before disconnecting
        std::map<rux::impl::ipcPrioT, rux::timeT> holdTimes; // per priority, absent = no hold
        int logLevel = 5;                                    // logger level 0 (NODUMP) .. 8 (DEBUG)
    };

    startupCfgT() : _diag(nullptr) {}

    // Loads and parses the file; true and the path kept on success.
    bool build(const std::string& path);
    // The same over a stream; `path` names the source in diagnostics and is kept.
    bool build(std::istream& in, const std::string& path);

    // The record of `service`, or the default record when there is none.
    const serviceInfoT& getService(const std::string& service) const;

    const serviceInfoT& defaults() const { return _defaults; }
    const std::vector<serviceInfoT>& services() const { return _services; }
    // File the configuration came from; empty when none was built.
    const std::string& path() const { return _path; }

    // n in "ns", "us", "sec" or, for any other unit, milliseconds; normalised.
    static rux::timeT timeT_convert(int n, std::string unit);
    // Upper-case label of a log level ("WARNING"); empty when out of range.
    static const char* levelLabel(int level);

    void diagStream(std::ostream& os) { _diag = &os; }

private:
    bool _build(configFileT& file, const std::string& path);
    // Parses section `name` of `file` into `rec`; false after a diagnostic.
    bool _parseSection(const configFileT& file, const std::string& name, serviceInfoT& rec);
    std::ostream& _err() const;

    serviceInfoT _defaults;              // from DEFAULTS, or built-in
    std::string _path;                   // source of the last successful build
    std::vector<serviceInfoT> _services; // one per SERVICES entry, in key order
    std::ostream* _diag;                 // diagnostic sink; null means std::cerr
};

// Multi-line text form (one "label : value" line each), as the daemon dumps it.
std::ostream& operator<<(std::ostream& os, const startupCfgT::serviceInfoT& info);

namespace rux {
namespace impl {

// Default system-wide configuration file and the variable naming an alternative.
extern const char* const g_ipc_cfg_file; // "/etc/rux_ipc.cfg"
extern const char* const g_ipc_cfg_env;  // "rux_ipc_config"

// The client library's lookup: builds `cfg` from `first` (when not empty), then
// `system`, then the file named by the environment variable, stopping at the first
// that builds. Returns the path used, or empty when none built (defaults apply).
std::string buildIpcConfig(startupCfgT& cfg, const std::string& first,
                           const std::string& system = g_ipc_cfg_file);

} // namespace impl
} // namespace rux
