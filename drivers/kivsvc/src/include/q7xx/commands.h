// Command interfaces of the q7xx meter driver: one object runs the report
// exchanges of one client request on the caller's thread.
//
// A protocol factory creates a command per request and ownership passes to the
// caller; commands are not shared between threads. `execute` returns false when
// any exchange fails (no reply, bad checksum, meter unplugged), leaving whatever
// it had already written into the output message.
#pragma once

namespace kivsvc {
class configT;
class statusT;
class measureT;
} // namespace kivsvc

class q7xxUsbDevT;

// Reads the configuration in use, or the last persistently stored one (saved).
class q7xxCmdGetConfig {
public:
    virtual ~q7xxCmdGetConfig() = default;
    virtual bool execute(kivsvc::configT& out, const q7xxUsbDevT& dev, bool saved) = 0;
};

// Fills the operating status.
class q7xxCmdGetStatus {
public:
    virtual ~q7xxCmdGetStatus() = default;
    virtual bool execute(kivsvc::statusT& out, const q7xxUsbDevT& dev) = 0;
};

// Writes a configuration; stores it in the meter's memory when persistent.
class q7xxCmdSetConfig {
public:
    virtual ~q7xxCmdSetConfig() = default;
    virtual bool execute(const kivsvc::configT& in, q7xxUsbDevT& dev, bool persistent) = 0;
};

// Fills the current measurement.
class q7xxCmdGetMeasure {
public:
    virtual ~q7xxCmdGetMeasure() = default;
    virtual bool execute(kivsvc::measureT& out, const q7xxUsbDevT& dev) = 0;
};
