// Commands of the first meter protocol version (configuration and hardware
// settings only), and its protocol factory for Q7.20 / Q8.20 meters with a
// software version byte below 4.
//
// Same rules as the second version's commands (q7xx/v2/commands.h). The
// factory holds no state; any thread.
#pragma once

#include "q7xx/commands.h"
#include "q7xx/protofactory.h"

namespace v1 {

// Operating status without asking the meter: normal, hardware configuration.
class q7CmdGetStatus : public q7xxCmdGetStatus {
public:
    bool execute(kivsvc::statusT& out, const q7xxUsbDevT& dev) override;
};

// This version has no measurement: succeeds with nothing filled in.
class q720CmdGetMeasure : public q7xxCmdGetMeasure {
public:
    bool execute(kivsvc::measureT& out, const q7xxUsbDevT& dev) override;
};

// Configuration (in use, or saved), then the hardware settings.
class q720CmdGetConfig : public q7xxCmdGetConfig {
public:
    bool execute(kivsvc::configT& out, const q7xxUsbDevT& dev, bool saved) override;
};

// Reads the configuration in use, changes the fields the client set and
// writes it back (stored when persistent).
class q720CmdSetConfig : public q7xxCmdSetConfig {
public:
    bool execute(const kivsvc::configT& in, q7xxUsbDevT& dev, bool persistent) override;
};

class q720ProtoFactoryT : public q7xxProtoFactoryT {
public:
    std::unique_ptr<q7xxCmdGetConfig> make_cmdGetConfig() const override;
    std::unique_ptr<q7xxCmdGetStatus> make_cmdGetStatus() const override;
    std::unique_ptr<q7xxCmdSetConfig> make_cmdSetConfig() const override;
    std::unique_ptr<q7xxCmdGetMeasure> make_cmdGetMeasure() const override;
};

} // namespace v1
