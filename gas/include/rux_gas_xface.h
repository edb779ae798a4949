// Application skeleton and operator console: the whole public interface.
#pragma once

#include "gas/app.h"
#include "gas/logdevs.h"
