#include "gas/console/params.h"

#include <string>

#include "gas/console/telnet_srv.h"
#include "logger/logger.h"
#include "sal/thread.h"

namespace rux {

namespace {

// Values are put in the list directly: numeric identifiers are not names
// that add() would take, yet they are what the operator types.
void addValue(cliElemT::listT& list, const std::string& name, const std::string& help) {
    list.push_back(cliValT::create(name, help));
}

} // namespace

std::shared_ptr<logIdParamT> logIdParamT::create(const std::string& name, const std::string& help) {
    return std::shared_ptr<logIdParamT>(new logIdParamT(name, help));
}

std::shared_ptr<cliElemT::listT> logIdParamT::children() {
    auto list = std::make_shared<listT>();
    std::list<loggerT> ids;
    loggerT::getAll(ids);
    for (const auto& l : ids)
        addValue(*list, l.name(), "log ID");
    return list;
}

logDevParamT::logDevParamT(const std::string& name, const std::string& help, sourceT source)
    : cliParamT(name, help), _source(std::move(source)) {}

std::shared_ptr<logDevParamT> logDevParamT::create(const std::string& name, const std::string& help,
                                                   sourceT source) {
    return std::shared_ptr<logDevParamT>(new logDevParamT(name, help, std::move(source)));
}

std::shared_ptr<cliElemT::listT> logDevParamT::children() {
    auto list = std::make_shared<listT>();
    std::list<std::shared_ptr<logDevT>> devs;
    if (_source)
        _source(devs);
    for (const auto& d : devs)
        if (d)
            addValue(*list, d->name(), "log device");
    return list;
}

std::shared_ptr<threadParamT> threadParamT::create(const std::string& name,
                                                   const std::string& help) {
    return std::shared_ptr<threadParamT>(new threadParamT(name, help));
}

std::shared_ptr<cliElemT::listT> threadParamT::children() {
    auto list = std::make_shared<listT>();
    threadT::iteratorT it;
    for (it.reset(); !it.end(); ++it)
        addValue(*list, std::to_string(it->tid()), it->name());
    return list;
}

telnetParamT::telnetParamT(const std::string& name, const std::string& help, sourceT source)
    : cliParamT(name, help), _source(std::move(source)) {}

std::shared_ptr<telnetParamT> telnetParamT::create(const std::string& name, const std::string& help,
                                                   sourceT source) {
    return std::shared_ptr<telnetParamT>(new telnetParamT(name, help, std::move(source)));
}

std::shared_ptr<cliElemT::listT> telnetParamT::children() {
    auto list = std::make_shared<listT>();
    auto srv = _source ? _source() : nullptr;
    if (srv)
        for (const auto& s : srv->sessions())
            addValue(*list, std::to_string(s.sid), s.peer);
    return list;
}

} // namespace rux
