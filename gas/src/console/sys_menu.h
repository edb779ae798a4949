// The "rux" system menu: threads, log IDs and devices, telnet sessions, quit.
//
// Built once at console set-up; its commands act on process-wide framework
// state through that state's own locks, so they may run on several console
// threads at once.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "cli/elem.h"
#include "gas/console/params.h"

namespace rux::impl {

struct sysMenuCfgT {
    std::string appName;
    std::function<void()> quit;    // asks the application to end
    telnetParamT::sourceT server;  // the telnet server, or empty
    logDevParamT::sourceT devices; // the application's log devices
};

std::shared_ptr<cliMenuT> makeSysMenu(const sysMenuCfgT& cfg);

} // namespace rux::impl
