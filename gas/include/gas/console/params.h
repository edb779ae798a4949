// Command parameters whose values are read from live framework state each time
// the editor asks for them: log identifiers, log devices, threads and telnet
// sessions. Each offers one keyword value per entry, its help the entry's
// description.
//
// Ownership: made by create() and held by shared pointer like every command
// tree element; a source functor is copied in.
// Thread-safety: children() builds a fresh list on every call from state
// guarded by its owner's locks, so any number of sessions may ask at once.
// Failure: an unavailable source gives no values (the parameter then reads as
// a flag, and the command reports the missing entry).
#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>

#include "cli/elem.h"
#include "logger/logdev.h"

namespace rux {

class gasTelnetSrvT;

// Names of every registered log ID.
class logIdParamT : public cliParamT {
public:
    static std::shared_ptr<logIdParamT> create(const std::string& name, const std::string& help);
    std::shared_ptr<listT> children() override;

protected:
    using cliParamT::cliParamT;
};

// Names of the devices of a device list (the application's log devices).
class logDevParamT : public cliParamT {
public:
    using sourceT = std::function<void(std::list<std::shared_ptr<logDevT>>&)>;
    static std::shared_ptr<logDevParamT> create(const std::string& name, const std::string& help,
                                                sourceT source);
    std::shared_ptr<listT> children() override;

protected:
    logDevParamT(const std::string& name, const std::string& help, sourceT source);
    sourceT _source;
};

// Identifiers of the threads in the thread table, their names as help.
class threadParamT : public cliParamT {
public:
    static std::shared_ptr<threadParamT> create(const std::string& name, const std::string& help);
    std::shared_ptr<listT> children() override;

protected:
    using cliParamT::cliParamT;
};

// Identifiers of the live sessions of the telnet server the source gives
// (empty: no server), their peers as help.
class telnetParamT : public cliParamT {
public:
    using sourceT = std::function<std::shared_ptr<gasTelnetSrvT>()>;
    static std::shared_ptr<telnetParamT> create(const std::string& name, const std::string& help,
                                                sourceT source);
    std::shared_ptr<listT> children() override;

protected:
    telnetParamT(const std::string& name, const std::string& help, sourceT source);
    sourceT _source;
};

} // namespace rux
