// Built only while the console sources are absent: a console that is always off.
#include "console_iface.h"

namespace rux::impl {

gasConsoleT::gasConsoleT(gasT&) {}
gasConsoleT::~gasConsoleT() = default;
bool gasConsoleT::setup(const gasCfgT&) { return true; }
std::shared_ptr<cliOutputT> gasConsoleT::output() const { return nullptr; }
bool gasConsoleT::stdioOn() const { return false; }
bool gasConsoleT::start(const gasCfgT&) { return true; }
void gasConsoleT::stop() {}

} // namespace rux::impl
