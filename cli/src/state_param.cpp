#include "cli/state.h"

#include "state_util.h"

namespace rux {

namespace {

// The decoded word as this parameter's value, when it is a complete one.
bool value(cliCtxT* ctx, cliParamT& p, std::string& v) {
    if (ctx->word.empty())
        return false; // an empty value is typed as ""
    v = ctx->ctok();
    return p.match(v) == cliElemT::enMATCH;
}

} // namespace

bool cliStatePARAM::takes(cliParamT& p, const std::string& word, bool escaped, char c) {
    if (!escaped && (c == '"' || c == '\\'))
        return true;
    return p.match(cliCtxT::ctok(word + c)) != cliElemT::enNOMATCH;
}

void cliStatePARAM::onEnter(cliCtxT* ctx) {
    ctx->quoted = ctx->escaped = false;
    ctx->mode = cliCtxT::enVALUES;
    ctx->valuesOf = ctx->elem;
    ctx->choose();
}

void cliStatePARAM::onLeave(cliCtxT* ctx) {
    ctx->quoted = ctx->escaped = false;
}

bool cliStatePARAM::chr(cliCtxT* ctx, char c) {
    auto p = std::dynamic_pointer_cast<cliParamT>(ctx->elem);
    if (!p || !impl::printable(c) || !ctx->room() || !takes(*p, ctx->word, ctx->escaped, c))
        return false;
    if (!ctx->escaped && c == '"')
        ctx->quoted = !ctx->quoted;
    else
        ctx->escaped = !ctx->escaped && c == '\\';
    ctx->word += c;
    ctx->choose();
    ctx->echo(c);
    return true;
}

bool cliStatePARAM::sep(cliCtxT* ctx) {
    auto p = std::dynamic_pointer_cast<cliParamT>(ctx->elem);
    if (!p || !ctx->room())
        return false;
    if (ctx->quoted || ctx->escaped) {
        // A blank inside the value.
        if (p->match(cliCtxT::ctok(ctx->word + ' ')) == cliElemT::enNOMATCH)
            return false;
        ctx->word += ' ';
        ctx->escaped = false;
        ctx->choose();
        ctx->echo(' ');
        return true;
    }
    std::string v;
    if (!value(ctx, *p, v))
        return false;
    try {
        ctx->args.set(ctx->paramPos(p.get()), p->name(), v);
    } catch (const cliArgsT::errorT&) {
        return false;
    }
    ctx->pushCmdLine(ctx->word);
    ctx->word.clear();
    ctx->echo(' ');
    ctx->enter(ctx->command());
    return true;
}

bool cliStatePARAM::ok(cliCtxT* ctx) {
    auto p = std::dynamic_pointer_cast<cliParamT>(ctx->elem);
    std::string v;
    if (!p || !value(ctx, *p, v))
        return false;
    cliArgsT a = ctx->args;
    try {
        a.set(ctx->paramPos(p.get()), p->name(), v);
    } catch (const cliArgsT::errorT&) {
        return false;
    }
    if (!ctx->ready(a))
        return false;
    ctx->args = std::move(a);
    ctx->pushCmdLine(ctx->word);
    ctx->word.clear();
    if (!ctx->enter(ctx->command()))
        return false;
    return ctx->state->ok(ctx);
}

bool cliStatePARAM::help(cliCtxT* ctx) {
    std::vector<cliCtxT::rowT> rows;
    auto p = std::dynamic_pointer_cast<cliParamT>(ctx->elem);
    bool cr = false;
    if (p) {
        impl::valueRows(*p, ctx->choices, rows);
        std::string v;
        if (value(ctx, *p, v)) {
            cliArgsT a = ctx->args;
            try {
                a.set(ctx->paramPos(p.get()), p->name(), v);
                cr = ctx->ready(a);
            } catch (const cliArgsT::errorT&) {
            }
        }
    }
    ctx->listing(rows, cr);
    return true;
}

} // namespace rux
