// Logger: the whole public interface.
#pragma once

#include "logger/deferred_logdev.h"
#include "logger/exception.h"
#include "logger/file_logdev.h"
#include "logger/level.h"
#include "logger/logdev.h"
#include "logger/logger.h"
#include "logger/multi_logdev.h"
#include "logger/stream_logdev.h"
