// Well-known names of the IPC system.
//
// g_ipcd_name is the local sequenced-packet name the daemon listens on;
// nodeName_INVALID (the empty string) is what every lookup of an unknown node id
// yields. Constants, initialised before any user code runs; thread-safe.
#pragma once

#include <string>

namespace rux {
namespace impl {

extern const char* const g_ipcd_name; // "rux_ipcd"
extern const std::string nodeName_INVALID;

} // namespace impl
} // namespace rux
