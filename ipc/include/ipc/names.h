// Well-known names and addresses of the IPC system.
//
// daemonAddr is the local sequenced-packet address the daemon listens on (name
// g_ipcd_name, type 1); nodes connect from an unnamed endpoint, namelessAddr.
// nodeName_INVALID (the empty string) is what every lookup of an unknown node id
// yields. Constants, initialised before any user code runs; thread-safe.
#pragma once

#include <string>

#include "sal/address.h"

namespace rux {
namespace impl {

extern const char* const g_ipcd_name; // "rux_ipcd"
extern const unixSockAddrT daemonAddr;
extern const unixSockAddrT namelessAddr; // "nameless"
extern const std::string nodeName_INVALID;

} // namespace impl
} // namespace rux
