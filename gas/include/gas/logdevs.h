// The skeleton's list of log devices: every device the logger set-up makes is
// listed here by name, so the console can show and tune them.
//
// Thread-safe (one process-wide mutex); devices are shared, never copied.
#pragma once

#include <list>
#include <memory>

#include "logger/logdev.h"

namespace rux {

// Adds a device; false (and nothing added) for an empty pointer or when a device
// of the same name is listed already.
bool registerLogDevice(std::shared_ptr<logDevT> dev);
// Replaces `out` with a copy of the list, in registration order.
void getLogDevices(std::list<std::shared_ptr<logDevT>>& out);

} // namespace rux
