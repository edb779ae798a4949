// Client message schema: the protocol-buffer classes of every request, reply
// and report exchanged with the device service (namespace kivsvc), their
// conversions to and from IPC messages and the control-bus frame.
//
// Ownership and thread-safety are those of generated protocol-buffer
// messages: a message is a value owned by its holder; distinct messages may be
// used from different threads, one message from one thread at a time.
// Failure: parsing reports false for an invalid encoding or a missing required
// field at any depth; an unknown enumeration value in an optional field is
// kept among the unknown fields and the field reads as absent.
#pragma once

#include "messages.pb.h"
#include "msgconv.h"
#include "msgline.h"
