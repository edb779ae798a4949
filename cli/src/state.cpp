#include "cli/state.h"

#include <vector>

#include "state_util.h"

namespace rux {

bool impl::printable(char c) {
    return c > ' ' && c < 0x7f;
}

std::string impl::shown(const cliElemT& e) {
    const std::string& n = e.name();
    return (e.flags() & cliElemT::enTYPED) && !n.empty() && n[0] == '^' ? n.substr(1) : n;
}

void impl::valueRows(cliParamT& p, const std::shared_ptr<cliElemT::listT>& values,
                     std::vector<cliCtxT::rowT>& rows) {
    if (!values)
        return;
    for (const auto& v : *values)
        if (!(v->flags() & cliElemT::enHIDDEN))
            rows.push_back({"[" + p.name() + "]\t", shown(*v), v->help()});
}

bool cliStateT::chr(cliCtxT* ctx, char c) {
    if (!impl::printable(c) || !ctx->room())
        return false;
    bool taken = false;
    if (ctx->mode == cliCtxT::enVALUES) {
        taken = ctx->valuesOf &&
                ctx->valuesOf->match(cliCtxT::ctok(ctx->word + c)) != cliElemT::enNOMATCH;
    } else if (ctx->choices) {
        const std::size_t pos = ctx->word.size();
        for (const auto& ch : *ctx->choices) {
            const std::string k = ctx->key(*ch);
            if (k.size() > pos && k[pos] == c) {
                taken = true;
                break;
            }
        }
    }
    if (!taken)
        return false;
    ctx->word += c;
    ctx->choose();
    ctx->echo(c);
    return true;
}

bool cliStateT::del(cliCtxT* ctx) {
    std::string text = ctx->typed();
    if (text.empty())
        return false;
    text.pop_back();
    ctx->abandon();
    ctx->out->erasec();
    // Replaying rebuilds word, line, path, args and state; should the tree
    // have changed meanwhile, the screen is redrawn to what was taken.
    if (!ctx->replay(text, false))
        ctx->redraw();
    return true;
}

bool cliStateT::ok(cliCtxT*) {
    return false;
}

bool cliStateT::complete(cliCtxT* ctx) {
    bool any = false;
    char c;
    while (ctx->commonNext(c)) {
        if (c == '?' || c == '\\' || c == '"' || c == ' ')
            break;
        if (!ctx->state->chr(ctx, c))
            break;
        any = true;
    }
    if (ctx->choices && ctx->choices->size() == 1 && ctx->state->sep(ctx))
        any = true;
    return any;
}

bool cliStateT::sep(cliCtxT*) {
    return false;
}

bool cliStateT::help(cliCtxT* ctx) {
    std::vector<cliCtxT::rowT> rows;
    if (ctx->choices)
        for (const auto& ch : *ctx->choices)
            if (!(ch->flags() & cliElemT::enHIDDEN))
                rows.push_back({"", impl::shown(*ch), ch->help()});
    bool cr = false;
    if (ctx->word.empty()) {
        cr = ctx->path.size() > ctx->menuDepth; // a menu named on this line
    } else if (ctx->word == "..") {
        cr = !ctx->path.empty();
    } else if (auto e = ctx->exact()) {
        if (auto cmd = std::dynamic_pointer_cast<cliCmdT>(e)) {
            // Would it run without parameters?
            ctx->path.push_back(cmd);
            cr = ctx->ready(cliArgsT());
            ctx->path.pop_back();
        } else {
            cr = e->stateHandler() != nullptr;
        }
    }
    ctx->listing(rows, cr);
    return true;
}

bool cliStateT::up(cliCtxT* ctx) {
    auto it = ctx->hcursor;
    while (it != ctx->history.begin()) {
        --it;
        if (it->menu == ctx->menu) {
            ctx->hcursor = it;
            ctx->recall(it->line);
            return true;
        }
    }
    return true; // nothing older: the line stays
}

bool cliStateT::down(cliCtxT* ctx) {
    if (ctx->hcursor == ctx->history.end())
        return true; // not browsing: keep what is being typed
    for (auto it = std::next(ctx->hcursor); it != ctx->history.end(); ++it) {
        if (it->menu == ctx->menu) {
            ctx->hcursor = it;
            ctx->recall(it->line);
            return true;
        }
    }
    ctx->hcursor = ctx->history.end();
    ctx->abandon();
    ctx->prompt();
    return true;
}

bool cliStateT::brk(cliCtxT* ctx) {
    ctx->abandon();
    ctx->hcursor = ctx->history.end();
    ctx->lf();
    ctx->prompt();
    return true;
}

void cliStateT::onEnter(cliCtxT*) {}

void cliStateT::onLeave(cliCtxT*) {}

} // namespace rux
