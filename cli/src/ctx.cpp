#include "cli/ctx.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cli/action.h"
#include "cli/state.h"
#include "cli/term.h"

namespace rux {

cliCtxT::cliCtxT(std::shared_ptr<cliMenuT> r)
    : root(std::move(r)), menu(root), out(cliNullTermT::create()), hcursor(history.end()) {
    if (!root) {
        std::fputs("rux cli: a session needs a root menu\n", stderr);
        std::abort();
    }
    enter(root);
}

cliCtxT::~cliCtxT() = default;

std::string cliCtxT::ctok(const std::string& w) {
    std::string r;
    r.reserve(w.size());
    bool esc = false;
    for (char c : w) {
        if (esc) {
            switch (c) {
            case 'a':
                r += '\a';
                break;
            case 'b':
                r += '\b';
                break;
            case 'f':
                r += '\f';
                break;
            case 'n':
                r += '\n';
                break;
            case 'r':
                r += '\r';
                break;
            case 't':
                r += '\t';
                break;
            case 'v':
                r += '\v';
                break;
            default:
                r += c;
                break;
            }
            esc = false;
        } else if (c == '\\') {
            esc = true;
        } else if (c != '"') {
            r += c;
        }
    }
    return r;
}

// Scans forward so that quoted and escaped blanks stay inside their word.
std::size_t cliCtxT::popCmdLine() const {
    std::size_t last = 0;
    bool inWord = false, q = false, esc = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (!inWord) {
            if (c == ' ')
                continue;
            inWord = true;
            last = i;
        }
        if (esc) {
            esc = false;
        } else if (c == '\\') {
            esc = true;
        } else if (c == '"') {
            q = !q;
        } else if (c == ' ' && !q) {
            inWord = false;
        }
    }
    return last;
}

void cliCtxT::pushCmdLine(const std::string& w) {
    line += w;
    line += ' ';
}

void cliCtxT::pushHistory(const std::string& l) {
    if (!l.empty()) {
        for (auto it = history.begin(); it != history.end();) {
            if (it->menu == menu && it->line == l)
                it = history.erase(it);
            else
                ++it;
        }
        history.push_back(histElemT{l, menu});
        std::size_t n = 0;
        for (const auto& h : history)
            n += h.menu == menu;
        for (auto it = history.begin(); n > maxHistory && it != history.end();) {
            if (it->menu == menu) {
                it = history.erase(it);
                --n;
            } else {
                ++it;
            }
        }
    }
    hcursor = history.end();
}

void cliCtxT::resetTemp() {
    quoted = escaped = optName = undecided = false;
    positional.reset();
    lastNamed.reset();
    args.clear();
}

bool cliCtxT::enter(std::shared_ptr<cliElemT> e) {
    if (!e)
        return false;
    auto next = e->stateHandler();
    if (!next)
        return false;
    if (state) {
        state->onLeave(this);
        retired.push_back(std::move(state));
    }
    elem = std::move(e);
    state = std::move(next);
    state->onEnter(this);
    return true;
}

std::string cliCtxT::key(const cliElemT& e) const {
    return mode == enOPTIONS ? "-" + e.name() : e.name();
}

void cliCtxT::choose() {
    auto list = std::make_shared<cliElemT::listT>();
    switch (mode) {
    case enNAMES:
        if (auto c = elem ? elem->children() : nullptr)
            for (const auto& ch : *c)
                if (ch->name().compare(0, word.size(), word) == 0)
                    list->push_back(ch);
        break;
    case enOPTIONS:
        for (const auto& [pos, p] : params()) {
            (void)pos;
            if (!args.set(p->name()) && key(*p).compare(0, word.size(), word) == 0)
                list->push_back(p);
        }
        break;
    case enVALUES:
        if (auto c = valuesOf ? valuesOf->children() : nullptr) {
            const std::string t = ctok();
            for (const auto& ch : *c)
                if (ch->match(t) != cliElemT::enNOMATCH)
                    list->push_back(ch);
        }
        break;
    }
    choices = std::move(list);
}

bool cliCtxT::commonNext(char& c) const {
    if (!choices)
        return false;
    const std::size_t pos = mode == enVALUES ? ctok().size() : word.size();
    bool have = false;
    char next = 0;
    for (const auto& ch : *choices) {
        if (ch->flags() & cliElemT::enTYPED)
            continue;
        const std::string k = key(*ch);
        if (k.size() <= pos)
            return false;
        if (!have) {
            next = k[pos];
            have = true;
        } else if (k[pos] != next) {
            return false;
        }
    }
    c = next;
    return have;
}

std::shared_ptr<cliElemT> cliCtxT::exact() const {
    if (choices)
        for (const auto& ch : *choices)
            if (key(*ch) == word)
                return ch;
    return nullptr;
}

std::shared_ptr<cliCmdT> cliCtxT::command() const {
    return path.empty() ? nullptr : std::dynamic_pointer_cast<cliCmdT>(path.back());
}

std::vector<std::pair<int, std::shared_ptr<cliParamT>>> cliCtxT::params() const {
    std::vector<std::pair<int, std::shared_ptr<cliParamT>>> r;
    auto cmd = command();
    auto c = cmd ? cmd->children() : nullptr;
    if (!c)
        return r;
    int i = 0;
    for (const auto& ch : *c) {
        ++i;
        if (auto p = std::dynamic_pointer_cast<cliParamT>(ch))
            r.emplace_back(i, std::move(p));
    }
    return r;
}

int cliCtxT::paramPos(const cliParamT* p) const {
    for (const auto& [pos, q] : params())
        if (q.get() == p)
            return pos;
    return -1;
}

std::shared_ptr<cliParamT> cliCtxT::option(const std::string& name) const {
    for (const auto& [pos, p] : params()) {
        (void)pos;
        if (p->name() == name && !args.set(name))
            return p;
    }
    return nullptr;
}

bool cliCtxT::ready(const cliArgsT& a) const {
    auto cmd = command();
    if (!cmd || !cmd->action())
        return false;
    for (const auto& [pos, p] : params()) {
        (void)pos;
        if ((p->flags() & cliElemT::enREQUIRED) && !a.set(p->name()))
            return false;
    }
    return true;
}

void cliCtxT::execute() {
    auto cmd = command();
    if (!cmd || !cmd->action())
        return;
    std::string text = typed();
    if (!text.empty() && text.back() == ' ')
        text.pop_back();
    lf();
    out->erased();
    try {
        args.set(0, ".", cmd->name());
        cmd->action()->exec(args, out);
    } catch (const std::exception& e) {
        out->text(std::string("error: ") + e.what() + "\n");
    } catch (...) {
        out->text("error: command failed\n");
    }
    pushHistory(text);
    line.resize(menuLine);
    path.resize(menuDepth);
    word.clear();
    resetTemp();
    lf();
    prompt();
    enter(menu);
}

void cliCtxT::echo(char c) {
    if (replaying)
        return;
    out->chr(c);
    if (c != ' ')
        out->erased();
}

void cliCtxT::lf() {
    out->chr('\n');
}

void cliCtxT::prompt() {
    out->erasel();
    out->erased();
    out->text(menu->name() + " > ");
}

void cliCtxT::redraw() {
    prompt();
    out->text(typed());
}

void cliCtxT::listing(const std::vector<rowT>& rows, bool cr) {
    std::size_t width = 0;
    for (const auto& r : rows)
        width = std::max(width, r.name.size());
    lf();
    for (const auto& r : rows)
        out->text("\t" + r.prefix + r.name + std::string(width - r.name.size(), ' ') + "\t\t" +
                  r.help + "\n");
    if (cr)
        out->text("\t<cr>\t\tenter menu/command\n");
    redraw();
}

void cliCtxT::abandon() {
    word.clear();
    line.resize(menuLine);
    path.resize(menuDepth);
    resetTemp();
    enter(menu);
}

bool cliCtxT::replay(const std::string& text, bool withEcho) {
    const bool saved = replaying;
    replaying = !withEcho;
    bool all = true;
    for (char c : text)
        all = (c == ' ' ? state->sep(this) : state->chr(this, c)) && all;
    replaying = saved;
    return all;
}

void cliCtxT::recall(const std::string& text) {
    abandon();
    prompt();
    replay(text, true);
}

} // namespace rux
