// ipcdAppT: the rux_ipcd program on the application skeleton.
//
// Options "config" (the IPC configuration file; default: the variable
// rux_ipc_config) and "dump" (print the configuration read from that file
// instead of serving). _run either serves until _quit (SIGTERM, SIGINT, SIGHUP
// through the skeleton) or dumps; the program succeeds when that does.
// Messages about the configuration file go to standard output, errors to
// standard error. Threads as in gasT.
#pragma once

#include <iosfwd>
#include <list>
#include <string>

#include "gas/app.h"
#include "ipc/startupcfg.h"

namespace rux {

class ipcdAppT : public gasT {
public:
    ipcdAppT();

    // The start-up's reading of the configuration: prints which file is used
    // (or that the defaults are) on `out`; false after printing on `err` that
    // the file is invalid. `dump` words the missing-file line as the dump does.
    // `read` tells whether a file was read.
    static bool loadConfig(startupCfgT& cfg, const std::string& path, bool dump, bool& read,
                           std::ostream& out, std::ostream& err);
    // The dump of the configuration at `path`.
    static bool dumpConfig(const std::string& path, std::ostream& out, std::ostream& err);

protected:
    bool _config(gasCfgT& cfg) override;
    bool _options(std::list<optionT>& opts) override;
    bool _version(std::string& version) override;
    int _run() override;
    void _quit() override;

    bool _start();
    bool _dumpCfg();

private:
    std::string _cfgPath; // from the "config" option or rux_ipc_config
    bool _dump = false;   // run _dumpCfg instead of _start
};

} // namespace rux
