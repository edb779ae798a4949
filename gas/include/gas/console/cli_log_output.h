// cliLogOutputT: a log device that writes each line into a console output.
//
// Named "cli", level 9. When the output is a cliSharedOutputT (the standard
// console's output), each line is posted to it, so a line never splits the
// session's own writes and a logging thread never waits for the session; any
// other output is written under a lock of the device's own.
// Ownership: shares the output.
// Thread-safety: _doLog may be called from any thread.
// Failure: lines to a failed output are lost, as with any log device.
#pragma once

#include <memory>
#include <string>

#include "cli/output.h"
#include "logger/logdev.h"
#include "sal/mutex.h"

namespace rux {

class cliSharedOutputT;

class cliLogOutputT : public logDevT {
public:
    explicit cliLogOutputT(std::shared_ptr<cliOutputT> out);

    void _doLog(const std::string& text, int level) override;

private:
    std::shared_ptr<cliOutputT> _out;
    std::shared_ptr<cliSharedOutputT> _shared; // _out when it is shared, else empty
    mutexT _mtx;                               // serialises writes to a plain output
};

} // namespace rux
