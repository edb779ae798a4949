// The standard options' assigners and the command-line parser, open to the
// skeleton's own code and its fuzz target. Same threads as gasT::start().
#pragma once

#include <list>
#include <string>

#include "gas/app.h"

namespace rux::impl {

struct gasParserT {
    // "action": install[=cmdline], uninstall, run, check.
    static bool action(gasT& app, const std::string& text);
    // "loglevel": a level name in any case.
    static bool logLevel(gasT& app, const std::string& text);
    // "logdev": devices with optional filter levels, comma-separated.
    static bool logDev(gasT& app, const std::string& text);
    // "console": stdio, telnet, null, comma-separated.
    static bool console(gasT& app, const std::string& text);

    // Adds the standard options (all of them) to `opts` and parses the command line.
    static bool parse(gasT& app, std::list<gasT::optionT>& opts, int argc, char* argv[]);
    static gasCfgT& cfg(gasT& app);
};

} // namespace rux::impl
