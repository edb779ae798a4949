#include "cli/state.h"

namespace rux {

bool cliStateMENU::chr(cliCtxT* ctx, char c) {
    // ".." leads back to the parent menu; not offered in the root.
    if (c == '.' && (ctx->word.empty() || ctx->word == ".") && !ctx->path.empty()) {
        if (!ctx->room())
            return false;
        ctx->word += c;
        ctx->choose();
        ctx->echo(c);
        return true;
    }
    return cliStateT::chr(ctx, c);
}

bool cliStateMENU::sep(cliCtxT* ctx) {
    auto e = ctx->exact();
    if (!e || e->leaf() || !ctx->room())
        return false;
    const std::string word = ctx->word;
    const std::size_t lineLen = ctx->line.size();
    ctx->path.push_back(e);
    ctx->pushCmdLine(word);
    ctx->word.clear();
    if (!ctx->enter(e)) {
        ctx->path.pop_back();
        ctx->line.resize(lineLen);
        ctx->word = word;
        return false;
    }
    ctx->echo(' ');
    return true;
}

bool cliStateMENU::ok(cliCtxT* ctx) {
    if (ctx->word.empty()) {
        if (ctx->path.size() <= ctx->menuDepth)
            return false; // nothing named yet
        // A menu named on this line becomes the current menu.
        auto m = std::dynamic_pointer_cast<cliMenuT>(ctx->elem);
        if (!m)
            return false;
        ctx->menu = m;
        ctx->menuDepth = ctx->path.size();
        ctx->menuLine = ctx->line.size();
        ctx->hcursor = ctx->history.end();
        ctx->lf();
        ctx->prompt();
        return true;
    }
    if (ctx->word == ".." && !ctx->path.empty()) {
        ctx->word.clear();
        ctx->line.resize(ctx->popCmdLine());
        ctx->path.pop_back();
        std::shared_ptr<cliMenuT> parent =
            ctx->path.empty() ? ctx->root : std::dynamic_pointer_cast<cliMenuT>(ctx->path.back());
        if (!parent)
            parent = ctx->root;
        ctx->menu = parent;
        ctx->menuDepth = ctx->path.size();
        ctx->menuLine = ctx->line.size();
        ctx->hcursor = ctx->history.end();
        ctx->resetTemp();
        ctx->enter(parent);
        ctx->lf();
        ctx->prompt();
        return true;
    }
    auto e = ctx->exact();
    if (!e)
        return false;
    const std::string word = ctx->word;
    const std::size_t lineLen = ctx->line.size();
    auto before = ctx->elem;
    ctx->path.push_back(e);
    ctx->pushCmdLine(word);
    ctx->word.clear();
    if (ctx->enter(e) && ctx->state->ok(ctx))
        return true;
    // Refused (a command that cannot run yet): everything as it was.
    ctx->path.pop_back();
    ctx->line.resize(lineLen);
    ctx->word = word;
    ctx->resetTemp();
    ctx->enter(before);
    return false;
}

void cliStateMENU::onEnter(cliCtxT* ctx) {
    ctx->mode = cliCtxT::enNAMES;
    ctx->valuesOf.reset();
    ctx->choose();
}

void cliStateMENU::onLeave(cliCtxT*) {}

} // namespace rux
