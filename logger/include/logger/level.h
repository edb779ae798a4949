// Log levels. A line of level L passes a filter of level F when L <= F: a filter
// of DUMP (9) passes everything, NODUMP (0) nothing logged at levels 1 to 9.
#pragma once

namespace rux {
namespace log {

enum levelT : int {
    NODUMP = 0,
    EMERGENCY = 1,
    ALERT = 2,
    CRITICAL = 3,
    ERROR = 4,
    WARNING = 5,
    NOTICE = 6,
    INFO = 7,
    DEBUG = 8,
    DUMP = 9,
};

} // namespace log
} // namespace rux
