// Conversions between client messages (kivsvc::kivmsgT) and IPC messages.
//
// Free functions without state: any thread may call them, each on messages it
// owns. Neither changes its input. Failure is an empty result: a payload that
// does not parse as a complete kivmsgT, or a client message that encodes to
// nothing or to more than an IPC message can hold.
#pragma once

#include <memory>

#include "ipc/message.h"
#include "messages.pb.h"

// The whole payload of `msg` decoded; `msg` (its position included) is left as
// it was. Empty when the payload is not a valid kivmsgT.
std::unique_ptr<kivsvc::kivmsgT> msg_ipc2pb(std::unique_ptr<rux::ipcMessageT>& msg);

// `pb` encoded into a new IPC message of exactly its encoded size: the reply to
// *request when `request` is given, else a message of priority 2.
std::unique_ptr<rux::ipcMessageT> msg_pb2ipc(std::unique_ptr<kivsvc::kivmsgT>& pb,
                                             std::unique_ptr<rux::ipcMessageT>* request);
