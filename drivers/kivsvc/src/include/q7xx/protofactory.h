// q7xxProtoFactoryT: makes the messages and commands of one meter protocol.
//
// Every call creates a new object and ownership passes to the caller. The base
// factory serves a meter that could not be identified: it makes the messages
// every version shares and no command (an empty pointer), so such a meter can
// only be reset. The version factories override the four command makers.
// Factories hold no state and may be used from any thread.
#pragma once

#include <memory>

#include "q7xx/basicmsgs.h"
#include "q7xx/commands.h"

class q7xxProtoFactoryT {
public:
    virtual ~q7xxProtoFactoryT();

    virtual std::unique_ptr<q7xxUSBMsg_IDREQ> make_idreq() const;
    virtual std::unique_ptr<q7xxUSBMsg_IDREPLY> make_idreply() const;
    virtual std::unique_ptr<q7xxUSBMsg_SNUMREQ> make_snumreq() const;
    virtual std::unique_ptr<q7xxUSBMsg_SNUMREPLY> make_snumreply() const;
    virtual std::unique_ptr<q7xxUSBMsg_SWRESET> make_swreset() const;
    virtual std::unique_ptr<q7xxUSBMsg_HWRESET> make_hwreset() const;
    virtual std::unique_ptr<q7xxUSBMsg_CFGRESET> make_cfgreset() const;
    virtual std::unique_ptr<q7xxCmdGetConfig> make_cmdGetConfig() const;
    virtual std::unique_ptr<q7xxCmdGetStatus> make_cmdGetStatus() const;
    virtual std::unique_ptr<q7xxCmdSetConfig> make_cmdSetConfig() const;
    virtual std::unique_ptr<q7xxCmdGetMeasure> make_cmdGetMeasure() const;
};
