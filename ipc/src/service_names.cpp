#include "service_names.h"

#include "ipc/names.h"

namespace rux {
namespace impl {

nameTableT::nameTableT() {
    _byName.reserve(20);
    _byId.reserve(20);
}

void nameTableT::setEntry(const std::string& name, uint32_t id) {
    if (id == 0 || name.empty())
        return;
    auto old = _byName.find(name);
    if (old != _byName.end()) {
        if (old->second == id)
            return;
        _byId.erase(old->second);
    }
    auto prev = _byId.find(id);
    if (prev != _byId.end())
        _byName.erase(prev->second);
    _byName[name] = id;
    _byId[id] = name;
}

void nameTableT::delEntry(uint32_t id) {
    auto it = _byId.find(id);
    if (it == _byId.end())
        return;
    _byName.erase(it->second);
    _byId.erase(it);
}

void nameTableT::delEntry(const std::string& name) {
    auto it = _byName.find(name);
    if (it == _byName.end())
        return;
    _byId.erase(it->second);
    _byName.erase(it);
}

void nameTableT::clear() {
    _byName.clear();
    _byId.clear();
}

uint32_t nameTableT::id(const std::string& name) const {
    auto it = _byName.find(name);
    return it == _byName.end() ? 0 : it->second;
}

const std::string& nameTableT::name(uint32_t id) const {
    auto it = _byId.find(id);
    return it == _byId.end() ? nodeName_INVALID : it->second;
}

} // namespace impl
} // namespace rux
