#include "cli/elem.h"

#include <climits>

#include "cli/action.h"
#include "cli/args.h"
#include "cli/output.h"
#include "cli/state.h"

namespace rux {

namespace {

bool acceptableName(const std::string& n) {
    if (n.empty() || n == "..")
        return false;
    for (unsigned char c : n)
        if (c <= ' ' || c >= 0x7f)
            return false;
    char f = n[0];
    return f != '"' && f != '-' && f != '\\' && !(f >= '0' && f <= '9');
}

std::string rangeText(long long lo, long long hi) {
    return "[" + std::to_string(lo) + ", " + std::to_string(hi) + "]";
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

cliElemT::cliElemT(const std::string& name, const std::string& help) : _name(name), _help(help) {}

cliElemT::~cliElemT() = default;

std::shared_ptr<cliElemT::listT> cliElemT::children() {
    return _children;
}

std::shared_ptr<cliActionT> cliElemT::action() {
    return nullptr;
}

int cliElemT::match(const std::string&) {
    return enNOMATCH;
}

bool cliElemT::_add(std::shared_ptr<cliElemT> child, bool append) {
    if (!child || !acceptableName(child->_name))
        return false;
    if (child->_name[0] != '^' && _children) {
        for (const auto& c : *_children)
            if (c->_name == child->_name)
                return false;
    }
    if (!_children)
        _children = std::make_shared<listT>();
    if (append)
        _children->push_back(std::move(child));
    else
        _children->push_front(std::move(child));
    return true;
}

bool cliElemT::leaf() {
    auto c = children();
    return !c || c->empty();
}

std::shared_ptr<cliMenuT> cliMenuT::create(const std::string& name, const std::string& help) {
    return std::shared_ptr<cliMenuT>(new cliMenuT(name, help));
}

std::unique_ptr<cliStateT> cliMenuT::stateHandler() {
    return std::make_unique<cliStateMENU>();
}

cliCmdT::cliCmdT(const std::string& name, const std::string& help)
    : cliElemT(name, help),
      _action(cliActionT::create([](const cliArgsT& args, std::shared_ptr<cliOutputT> out) {
          if (!out)
              return;
          std::string n;
          args.get(0, n);
          out->text("error: command \"" + n + "\" not implemented!");
          out->flush();
      })) {}

std::shared_ptr<cliCmdT> cliCmdT::create(const std::string& name, const std::string& help) {
    return std::shared_ptr<cliCmdT>(new cliCmdT(name, help));
}

std::unique_ptr<cliStateT> cliCmdT::stateHandler() {
    return std::make_unique<cliStateCMD>();
}

std::shared_ptr<cliParamT> cliParamT::create(const std::string& name, const std::string& help) {
    return std::shared_ptr<cliParamT>(new cliParamT(name, help));
}

std::unique_ptr<cliStateT> cliParamT::stateHandler() {
    return std::make_unique<cliStatePARAM>();
}

int cliParamT::match(const std::string& token) {
    int best = enNOMATCH;
    if (auto values = children()) {
        for (const auto& v : *values) {
            int r = v->match(token);
            if (r < best)
                best = r;
        }
    }
    return best;
}

std::shared_ptr<cliValT> cliValT::create(const std::string& name, const std::string& help) {
    return std::shared_ptr<cliValT>(new cliValT(name, help));
}

std::unique_ptr<cliStateT> cliValT::stateHandler() {
    return nullptr;
}

int cliValT::match(const std::string& token) {
    if (token.size() > _name.size() || _name.compare(0, token.size(), token) != 0)
        return enNOMATCH;
    return token.size() == _name.size() ? enMATCH : enPREFIX;
}

cliValINT::cliValINT(long long min, long long max)
    : cliValT("^integer", rangeText(min, max)), _min(min), _max(max) {
    _flags |= enTYPED;
}

std::shared_ptr<cliValINT> cliValINT::range(long long min, long long max) {
    return std::shared_ptr<cliValINT>(new cliValINT(min, max));
}

int cliValINT::match(const std::string& t) {
    if (t.empty())
        return enPREFIX;
    if (t[0] == '-' && _min >= 0)
        return enNOMATCH;
    std::size_t i = 0;
    bool neg = false;
    if (t[0] == '+' || t[0] == '-') {
        neg = t[0] == '-';
        i = 1;
    } else if (!isDigit(t[0])) {
        return enNOMATCH;
    }
    if (i == t.size())
        return enPREFIX; // a lone sign
    // Magnitudes beyond 2^63 can never be read as 64-bit, however it goes on.
    const __int128 limit = static_cast<__int128>(1) << 63;
    __int128 mag = 0;
    for (std::size_t j = i; j < t.size(); ++j) {
        if (!isDigit(t[j]))
            return enNOMATCH;
        mag = mag * 10 + (t[j] - '0');
        if (mag > limit)
            return enNOMATCH;
    }
    const __int128 v = neg ? -mag : mag;
    if (v > static_cast<__int128>(LLONG_MAX))
        return enNOMATCH;
    if (v >= _min && v <= _max)
        return enMATCH;
    // Could more digits bring it into the range?
    __int128 scale = 1;
    for (int k = 0; k < 19; ++k) {
        scale *= 10;
        const __int128 lo = mag * scale;
        const __int128 hi = lo + scale - 1;
        if (lo > limit)
            break;
        const bool meets = neg ? (-hi <= _max && -lo >= _min) : (lo <= _max && hi >= _min);
        if (meets)
            return enPREFIX;
    }
    return enNOMATCH;
}

cliValSTR::cliValSTR(unsigned min, unsigned max)
    : cliValT("^string", (min == 0 && max == 4294967295u) ? "[*]" : rangeText(min, max)), _min(min),
      _max(max) {
    _flags |= enTYPED;
}

std::shared_ptr<cliValSTR> cliValSTR::create(unsigned min, unsigned max) {
    return std::shared_ptr<cliValSTR>(new cliValSTR(min, max));
}

int cliValSTR::match(const std::string& token) {
    if (token.size() < _min)
        return enPREFIX;
    if (token.size() > _max)
        return enNOMATCH;
    return enMATCH;
}

} // namespace rux
