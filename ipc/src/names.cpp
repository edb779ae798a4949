#include "ipc/names.h"

namespace rux {
namespace impl {

const char* const g_ipcd_name = "rux_ipcd";
// Type 1 marks the daemon's sequenced-packet endpoint.
const unixSockAddrT daemonAddr(g_ipcd_name, 1);
const unixSockAddrT namelessAddr("nameless");
const std::string nodeName_INVALID;

} // namespace impl
} // namespace rux
