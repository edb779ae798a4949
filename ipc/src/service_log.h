// Log lines of the IPC service, tagged with the writing function's name. The
// level check comes first, so that a filtered line costs no formatting.
#pragma once

#include "logger/level.h"
#include "logger/logger.h"

#define IPC_LOG(logger, lvl)                                                                       \
    if ((logger).level() < (lvl)) {                                                                \
    } else                                                                                         \
        ::rux::loggerT::logbufT((logger), (lvl), __func__)
