// Control-bus frames: one IPC message plus the service and node names it goes
// to or comes from, as carried over a byte stream to the user interface.
//
//   "KIVM" | service code (16 bits) | node code (16 bits) | length (32) | payload
//
// Integers are big-endian. Service codes: 1 "local", 2 "remote", 3 empty name.
// Node codes: 0 empty, 1 "kivsvc-drv", 2 "kivsvc-rass", 256 "kivsvc-ui",
// 257 "kivsvc-cli", 258 "rass-srv".
//
// Free functions without state; one stream is used by one thread at a time.
// Failure is a non-zero result code (below); nothing is retried.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "ipc/message.h"

// Largest payload a frame may announce. Far above the largest client message,
// and checked before anything is allocated, so that one frame from a peer
// cannot make the reader reserve up to 4 GiB.
constexpr unsigned long msg_lineMaxPayload = 64ul * 1024;

// Writes one frame holding the current payload of `msg` (which must not be
// empty). 0: written; 1: the stream is failed afterwards; 2: `service` or
// `node` has no code, and nothing was written.
int msg_toLine(std::ostream& os, std::unique_ptr<rux::ipcMessageT> const& msg,
               std::string const& service, std::string const& node);

// Reads one frame into a new IPC message of priority 2 (replacing `msg`) and
// the names of its header.
//   0 success;
//   1 stream failed, ended or cut short anywhere in the frame, or a length
//     above msg_lineMaxPayload (then `msg` is left as it was);
//   2 wrong magic;
//   3 unknown service code (`msg` already replaced);
//   4 unknown node code (`msg` and `service` already replaced).
int msg_fromLine(std::istream& is, std::unique_ptr<rux::ipcMessageT>& msg, std::string& service,
                 std::string& node);
