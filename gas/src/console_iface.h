// The skeleton's view of its operator console (system menu, stdio console,
// telnet server), built in console/. Until that part is in the tree, the
// declaration below stands in for it and console_none.cpp gives a console that
// is always off.
#pragma once

#if !defined(RUX_GAS_NO_CONSOLE) && __has_include("console/console.h")
#include "console/console.h"
#else
#include <memory>

#include "gas/app.h"

namespace rux {
class cliOutputT;
namespace impl {
class gasConsoleT {
public:
    explicit gasConsoleT(gasT& app);
    ~gasConsoleT();
    bool setup(const gasCfgT& cfg);
    std::shared_ptr<cliOutputT> output() const;
    bool stdioOn() const;
    bool start(const gasCfgT& cfg);
    void stop();
};
} // namespace impl
} // namespace rux
#endif
