#include "cli/args.h"

#include <stdexcept>

namespace rux {

const char* cliArgsT::errorT::what() const noexcept {
    return _code == enMISSING ? "argument not present" : "conflicting argument";
}

void cliArgsT::set(int i, const std::string& name, const std::string& value) {
    if (i < 0)
        throw std::invalid_argument("cliArgsT::set: negative position");
    for (const auto& e : _args)
        if (e.index >= 0 && e.index != i && e.name == name)
            throw errorT(enCONFLICT);
    if (static_cast<std::size_t>(i) < _args.size()) {
        const _entryT& e = _args[i];
        if (e.index >= 0 && !e.name.empty() && e.name != name)
            throw errorT(enCONFLICT);
    } else {
        _args.resize(i + 1);
    }
    _args[i] = _entryT{i, name, value};
}

bool cliArgsT::set(int i) const {
    return i >= 0 && static_cast<std::size_t>(i) < _args.size() && _args[i].index >= 0;
}

bool cliArgsT::set(const std::string& name) const {
    return _find(name) != nullptr;
}

bool cliArgsT::get(int i, std::string& value) const {
    if (!set(i))
        return false;
    value = _args[i].value;
    return true;
}

bool cliArgsT::get(const std::string& name, std::string& value) const {
    const _entryT* e = _find(name);
    if (!e)
        return false;
    value = e->value;
    return true;
}

const std::string& cliArgsT::operator[](int i) const {
    if (!set(i))
        throw errorT(enMISSING);
    return _args[i].value;
}

const std::string& cliArgsT::operator[](const std::string& name) const {
    const _entryT* e = _find(name);
    if (!e)
        throw errorT(enMISSING);
    return e->value;
}

std::string cliArgsT::name(int i) const {
    return set(i) ? _args[i].name : std::string();
}

int cliArgsT::argc() const {
    int n = 0;
    for (const auto& e : _args)
        if (e.index >= 0)
            ++n;
    return n;
}

void cliArgsT::remove(int i) {
    if (i >= 0 && static_cast<std::size_t>(i) < _args.size())
        _args[i] = _entryT{};
    _trim();
}

void cliArgsT::remove(const std::string& name) {
    // Unset rather than erase: the others must stay at their positions.
    for (auto& e : _args)
        if (e.index >= 0 && e.name == name)
            e = _entryT{};
    _trim();
}

const cliArgsT::_entryT* cliArgsT::_find(const std::string& name) const {
    for (const auto& e : _args)
        if (e.index >= 0 && e.name == name)
            return &e;
    return nullptr;
}

void cliArgsT::_trim() {
    while (!_args.empty() && _args.back().index < 0)
        _args.pop_back();
}

} // namespace rux
