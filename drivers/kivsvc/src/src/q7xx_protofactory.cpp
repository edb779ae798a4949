#include "q7xx/protofactory.h"

q7xxProtoFactoryT::~q7xxProtoFactoryT() = default;

std::unique_ptr<q7xxUSBMsg_IDREQ> q7xxProtoFactoryT::make_idreq() const {
    return std::make_unique<q7xxUSBMsg_IDREQ>();
}

std::unique_ptr<q7xxUSBMsg_IDREPLY> q7xxProtoFactoryT::make_idreply() const {
    return std::make_unique<q7xxUSBMsg_IDREPLY>();
}

std::unique_ptr<q7xxUSBMsg_SNUMREQ> q7xxProtoFactoryT::make_snumreq() const {
    return std::make_unique<q7xxUSBMsg_SNUMREQ>();
}

std::unique_ptr<q7xxUSBMsg_SNUMREPLY> q7xxProtoFactoryT::make_snumreply() const {
    return std::make_unique<q7xxUSBMsg_SNUMREPLY>();
}

std::unique_ptr<q7xxUSBMsg_SWRESET> q7xxProtoFactoryT::make_swreset() const {
    return std::make_unique<q7xxUSBMsg_SWRESET>();
}

std::unique_ptr<q7xxUSBMsg_HWRESET> q7xxProtoFactoryT::make_hwreset() const {
    return std::make_unique<q7xxUSBMsg_HWRESET>();
}

std::unique_ptr<q7xxUSBMsg_CFGRESET> q7xxProtoFactoryT::make_cfgreset() const {
    return std::make_unique<q7xxUSBMsg_CFGRESET>();
}

// An unidentified meter has no protocol: no commands, only the shared messages.
std::unique_ptr<q7xxCmdGetConfig> q7xxProtoFactoryT::make_cmdGetConfig() const {
    return nullptr;
}

std::unique_ptr<q7xxCmdGetStatus> q7xxProtoFactoryT::make_cmdGetStatus() const {
    return nullptr;
}

std::unique_ptr<q7xxCmdSetConfig> q7xxProtoFactoryT::make_cmdSetConfig() const {
    return nullptr;
}

std::unique_ptr<q7xxCmdGetMeasure> q7xxProtoFactoryT::make_cmdGetMeasure() const {
    return nullptr;
}
