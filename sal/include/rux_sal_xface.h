// System abstraction layer: the whole public interface.
#pragma once

#include "sal/address.h"
#include "sal/assert.h"
#include "sal/cond.h"
#include "sal/devbuf.h"
#include "sal/dgram.h"
#include "sal/functor.h"
#include "sal/mutex.h"
#include "sal/poller.h"
#include "sal/rwlock.h"
#include "sal/sem.h"
#include "sal/socket.h"
#include "sal/sysinfo.h"
#include "sal/thread.h"
#include "sal/time.h"
