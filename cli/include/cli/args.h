// cliArgsT: the arguments of one command invocation.
//
// Position 0 holds the command itself (name ".", value: the command's name);
// position i >= 1 holds the parameter that is the i-th child of the command
// (value: the typed value, empty for a flag). The entry at position i, when
// set, has index i.
// Thread-safety: a plain value; one thread at a time.
// Failure: errorT carries enMISSING (asked-for argument not present) or
// enCONFLICT (conflicting assignment).
#pragma once

#include <exception>
#include <string>
#include <vector>

namespace rux {

class cliArgsT {
public:
    class errorT : public std::exception {
    public:
        explicit errorT(int code) : _code(code) {}
        int code() const { return _code; }
        const char* what() const noexcept override;

    private:
        int _code;
    };
    static constexpr int enMISSING = 0;
    static constexpr int enCONFLICT = 1;

    struct _entryT {
        int index = -1; // -1: unset
        std::string name;
        std::string value;
    };

    // Throws errorT enCONFLICT when another position holds name or position i
    // is set with a different non-empty name; grows the list as needed.
    void set(int i, const std::string& name, const std::string& value);
    bool set(int i) const;
    bool set(const std::string& name) const;
    bool get(int i, std::string& value) const;
    bool get(const std::string& name, std::string& value) const;
    // Throw errorT enMISSING when absent.
    const std::string& operator[](int i) const;
    const std::string& operator[](const std::string& name) const;
    std::string name(int i) const;
    int argc() const;
    void remove(int i);
    // Unsets every entry with that name; the others keep their positions.
    void remove(const std::string& name);
    void clear() { _args.clear(); }

private:
    const _entryT* _find(const std::string& name) const;
    void _trim();

    std::vector<_entryT> _args;
};

} // namespace rux
