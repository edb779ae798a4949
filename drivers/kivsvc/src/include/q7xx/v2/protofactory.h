// Protocol factories of the second meter protocol version, one per
// configuration layout: Q8.10 meters (q710), and Q7.20, Q8.20 and Q8.50 meters
// (q720). They make the shared messages of q7xxProtoFactoryT and this
// version's commands. No state; any thread.
#pragma once

#include "q7xx/protofactory.h"

namespace v2 {

class q710ProtoFactoryT : public q7xxProtoFactoryT {
public:
    std::unique_ptr<q7xxCmdGetConfig> make_cmdGetConfig() const override;
    std::unique_ptr<q7xxCmdGetStatus> make_cmdGetStatus() const override;
    std::unique_ptr<q7xxCmdSetConfig> make_cmdSetConfig() const override;
    std::unique_ptr<q7xxCmdGetMeasure> make_cmdGetMeasure() const override;
};

class q720ProtoFactoryT : public q7xxProtoFactoryT {
public:
    std::unique_ptr<q7xxCmdGetConfig> make_cmdGetConfig() const override;
    std::unique_ptr<q7xxCmdGetStatus> make_cmdGetStatus() const override;
    std::unique_ptr<q7xxCmdSetConfig> make_cmdSetConfig() const override;
    std::unique_ptr<q7xxCmdGetMeasure> make_cmdGetMeasure() const override;
};

} // namespace v2
