// IPC client library: the whole public interface.
#pragma once

#include "ipc/configfile.h"
#include "ipc/prio.h"
#include "ipc/startupcfg.h"
