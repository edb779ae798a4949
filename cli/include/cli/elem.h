// Command tree: menus hold menus and commands, commands hold parameters,
// parameters hold the values they accept (keywords, integers in a range,
// strings of a length).
//
// Ownership: every element is held by std::shared_ptr and made by its static
// create() (range() for integers); a parent owns its children through its
// list. Elements are not copyable.
// Thread-safety: build the tree before sessions run on it; afterwards any
// number of sessions may read it at once. A class that overrides children()
// to build its list on demand guards its own data.
// Failure: add() refuses bad names by returning false; nothing here throws.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

namespace rux {

class cliActionT;
class cliStateT;

class cliElemT {
public:
    using listT = std::list<std::shared_ptr<cliElemT>>;

    // Flag bits.
    static constexpr uint32_t enHIDDEN = 1;   // left out of help listings
    static constexpr uint32_t enREQUIRED = 2; // parameter must be given before its command runs
    static constexpr uint32_t enTYPED = 4;    // typed value whose name is a placeholder

    // Match results.
    static constexpr int enMATCH = 0;   // the token matches completely
    static constexpr int enPREFIX = 1;  // the token could still become a match
    static constexpr int enNOMATCH = 2; // the token can never match

    cliElemT(const cliElemT&) = delete;
    cliElemT& operator=(const cliElemT&) = delete;
    virtual ~cliElemT();

    // The children in insertion order; empty pointer until the first add.
    virtual std::shared_ptr<listT> children();
    // A new parser state for this element, or empty when it cannot be entered.
    virtual std::unique_ptr<cliStateT> stateHandler() = 0;
    virtual std::shared_ptr<cliActionT> action();
    virtual int match(const std::string& token);

    // Appends (or puts in front) a child; false when its name is not acceptable.
    bool add(std::shared_ptr<cliElemT> child, bool append = true) {
        return _add(std::move(child), append);
    }
    bool leaf();

    uint32_t flags() const { return _flags; }
    void flags(uint32_t f) { _flags = f; }
    const std::string& name() const { return _name; }
    const std::string& help() const { return _help; }

protected:
    cliElemT(const std::string& name, const std::string& help);
    bool _add(std::shared_ptr<cliElemT> child, bool append);

    uint32_t _flags = 0;
    std::string _name;
    std::string _help;
    std::shared_ptr<listT> _children;
};

class cliMenuT : public cliElemT {
public:
    static std::shared_ptr<cliMenuT> create(const std::string& name, const std::string& help);
    std::unique_ptr<cliStateT> stateHandler() override;

protected:
    cliMenuT(const std::string& name, const std::string& help) : cliElemT(name, help) {}
};

class cliCmdT : public cliElemT {
public:
    // A new command answers "not implemented" until it is given an action.
    static std::shared_ptr<cliCmdT> create(const std::string& name, const std::string& help);
    std::unique_ptr<cliStateT> stateHandler() override;
    std::shared_ptr<cliActionT> action() override { return _action; }
    void action(std::shared_ptr<cliActionT> a) { _action = std::move(a); }

protected:
    cliCmdT(const std::string& name, const std::string& help);

    std::shared_ptr<cliActionT> _action;
};

// A parameter without values is a flag: it is given by name alone.
class cliParamT : public cliElemT {
public:
    static std::shared_ptr<cliParamT> create(const std::string& name, const std::string& help);
    std::unique_ptr<cliStateT> stateHandler() override;
    // The best result over the values.
    int match(const std::string& token) override;

protected:
    cliParamT(const std::string& name, const std::string& help) : cliElemT(name, help) {}
};

// A fixed keyword value.
class cliValT : public cliElemT {
public:
    static std::shared_ptr<cliValT> create(const std::string& name, const std::string& help);
    std::unique_ptr<cliStateT> stateHandler() override;
    int match(const std::string& token) override;

protected:
    cliValT(const std::string& name, const std::string& help) : cliElemT(name, help) {}
};

// An integer in [min, max]. A token that is out of range but can still reach
// the range by more digits (5 when the range starts at 10) is a prefix.
class cliValINT : public cliValT {
public:
    static std::shared_ptr<cliValINT> range(long long min, long long max);
    int match(const std::string& token) override;
    long long min() const { return _min; }
    long long max() const { return _max; }

protected:
    cliValINT(long long min, long long max);

    long long _min;
    long long _max;
};

// A string of min to max characters.
class cliValSTR : public cliValT {
public:
    static std::shared_ptr<cliValSTR> create(unsigned min, unsigned max);
    int match(const std::string& token) override;
    unsigned min() const { return _min; }
    unsigned max() const { return _max; }

protected:
    cliValSTR(unsigned min, unsigned max);

    unsigned _min;
    unsigned _max;
};

} // namespace rux
