// Telnet protocol: the whole public interface.
#pragma once

#include "proto/telnet_srv_session.h"
