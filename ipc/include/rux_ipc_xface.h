// IPC client library: the whole public interface.
#pragma once

#include "ipc/configfile.h"
#include "ipc/event.h"
#include "ipc/message.h"
#include "ipc/names.h"
#include "ipc/prio.h"
#include "ipc/service.h"
#include "ipc/service_exception.h"
#include "ipc/service_receiver.h"
#include "ipc/startupcfg.h"
#include "ipc/wire.h"
