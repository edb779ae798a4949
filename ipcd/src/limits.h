// Fixed bounds of the daemon: what one node, one service and the whole daemon
// may hold. Every bound is logged when it is hit; none of them is reached by a
// well-behaved system.
#pragma once

#include <cstdint>

#include "sal/socket.h"

namespace rux {
namespace ipcd {

// Largest datagram the daemon reads or forwards (header included): the largest
// local message; bigger ones are refused whole rather than cut. Every accepted
// connection asks for a send buffer that holds two of them (the kernel doubles
// the request), as far as the system allows.
constexpr uint32_t maxDgram = localMsgMax;
constexpr int sendBuffer = int(localMsgMax);

// How long an accepted connection may take to send its attach request, and how
// many such connections may wait at once (the oldest is dropped beyond).
constexpr int attachTimeoutMs = 2000;
constexpr unsigned maxPending = 64;

// Nodes accepted for a service whose thread has not taken them yet; beyond,
// a new node is turned away (it retries).
constexpr unsigned maxHandOver = 64;

// Bytes a node may have waiting in its service's queues; above, it is not read
// until they drop below the resume mark (back-pressure on that node only).
constexpr uint32_t maxQueuedPerNode = 4 * 1024 * 1024;
constexpr uint32_t resumeQueuedPerNode = maxQueuedPerNode / 2;

// Names ever bound on one service (ids are kept for life), services, and the
// length of a service or node name.
constexpr uint32_t maxNames = 4096;
constexpr unsigned maxServices = 256;
constexpr unsigned maxNameLen = 255;

// A repeated log line is written at most once per this many seconds.
constexpr int repeatWindowSec = 10;

} // namespace ipcd
} // namespace rux
