// nameTableT: node names of one service and their ids, both ways.
//
// Holds the node's own name, its secondary names and every node the daemon
// reported up. Ids come from the daemon and are only keys here: no id sizes an
// allocation. Unknown names give id 0, unknown ids nodeName_INVALID. Not
// thread-safe: guarded by the service mutex.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace rux {
namespace impl {

class nameTableT {
public:
    nameTableT();

    // Inserts or overwrites; a name moving to a new id leaves its old id, an id
    // taken by a new name drops the old name.
    void setEntry(const std::string& name, uint32_t id);
    void delEntry(uint32_t id);
    void delEntry(const std::string& name);
    void clear();

    uint32_t id(const std::string& name) const;
    const std::string& name(uint32_t id) const;

    // Every (id, name) pair, in no particular order.
    const std::unordered_map<uint32_t, std::string>& byId() const { return _byId; }

private:
    std::unordered_map<std::string, uint32_t> _byName;
    std::unordered_map<uint32_t, std::string> _byId;
};

} // namespace impl
} // namespace rux
