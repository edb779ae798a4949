// Commands of the second meter protocol version: the report exchanges of one
// client request, run on the caller's thread through the device's
// syncMessage.
//
// One object per request, created by the version's protocol factory and not
// shared. execute returns false when an exchange fails (the command stops
// there, leaving what it had already written into the client's message) or
// when the client's configuration holds a value the meter cannot store; such
// a request is refused before any report is exchanged where the value alone
// tells, and otherwise before anything is written to the meter.
#pragma once

#include "q7xx/commands.h"

namespace v2 {

// Operating status without asking the meter: normal, hardware configuration.
class q7CmdGetStatus : public q7xxCmdGetStatus {
public:
    bool execute(kivsvc::statusT& out, const q7xxUsbDevT& dev) override;
};

// The current measurement.
class q7CmdGetMeasure : public q7xxCmdGetMeasure {
public:
    bool execute(kivsvc::measureT& out, const q7xxUsbDevT& dev) override;
};

// Configuration (in use, or saved), cookie, extended configuration and
// hardware settings, in that order of reports. The saved flag selects only
// which configuration is read.
class q710CmdGetConfig : public q7xxCmdGetConfig {
public:
    bool execute(kivsvc::configT& out, const q7xxUsbDevT& dev, bool saved) override;
};

class q720CmdGetConfig : public q7xxCmdGetConfig {
public:
    bool execute(kivsvc::configT& out, const q7xxUsbDevT& dev, bool saved) override;
};

// Reads cookie, extended configuration and configuration, changes the fields
// the client set, and writes cookie, extended configuration and configuration
// back (the last one stored when persistent).
class q710CmdSetConfig : public q7xxCmdSetConfig {
public:
    bool execute(const kivsvc::configT& in, q7xxUsbDevT& dev, bool persistent) override;
};

class q720CmdSetConfig : public q7xxCmdSetConfig {
public:
    bool execute(const kivsvc::configT& in, q7xxUsbDevT& dev, bool persistent) override;
};

} // namespace v2
