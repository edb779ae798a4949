// kivsvcRassAppT: "kivsvc-rass", the remote-assistance node on the IPC
// service "remote" when no remote-assistance server is configured.
//
// Binds "kivsvc-rass" and answers every synchronous call with a
// remote-assistance status "service_unavail" (invocation and session numbers
// of the request copied when it decodes); one-way messages are dropped. Runs
// until the skeleton asks it to quit; a quit while the daemon is absent cuts
// the bind short.
//
// Threads: the skeleton's operations on the main thread, the receiver on the
// IPC decoupler thread, _quit on the signal thread.
#pragma once

#include <list>
#include <memory>
#include <string>

#include "gas/app.h"
#include "ipc/message.h"
#include "ipc/service.h"
#include "logger/logger.h"
#include "sal/cond.h"
#include "sal/mutex.h"

class kivsvcRassAppT : public rux::gasT {
public:
    static constexpr const char* nodeName = "kivsvc-rass";
    static constexpr const char* serviceName = "remote";

    kivsvcRassAppT();

    // The answer to `request`: a status "service_unavail" as its reply.
    static std::unique_ptr<rux::ipcMessageT> unavailable(const rux::ipcMessageT& request);

protected:
    bool _config(rux::gasCfgT& cfg) override;
    int _run() override;
    void _quit() override;
    bool _version(std::string& v) override;

private:
    class _receiverT;

    rux::loggerT _log{nodeName};
    rux::mutexT _lock; // _quitFlag, _binding
    rux::condT _cond;
    bool _quitFlag = false;
    bool _binding = false;
    rux::ipcServiceT::handleT _svc;
};
