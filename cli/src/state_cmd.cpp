#include "cli/state.h"

#include "state_util.h"

namespace rux {

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The first parameter still to be given by position: not set, not a flag,
// not the one just named.
std::shared_ptr<cliParamT> nextPositional(cliCtxT* ctx) {
    for (const auto& [pos, p] : ctx->params()) {
        (void)pos;
        if (!ctx->args.set(p->name()) && !p->leaf() && p != ctx->lastNamed)
            return p;
    }
    return nullptr;
}

void options(cliCtxT* ctx) {
    ctx->mode = cliCtxT::enOPTIONS;
    ctx->choose();
}

} // namespace

void cliStateCMD::onEnter(cliCtxT* ctx) {
    ctx->optName = ctx->undecided = false;
    ctx->positional = nextPositional(ctx);
    ctx->mode = ctx->positional ? cliCtxT::enVALUES : cliCtxT::enOPTIONS;
    ctx->valuesOf = ctx->positional;
    ctx->choose();
}

void cliStateCMD::onLeave(cliCtxT* ctx) {
    ctx->optName = ctx->undecided = false;
}

bool cliStateCMD::chr(cliCtxT* ctx, char c) {
    if (!impl::printable(c) || !ctx->room())
        return false;
    if (ctx->optName)
        return cliStateT::chr(ctx, c);
    if (ctx->undecided) {
        auto p = ctx->positional;
        if (isDigit(c)) {
            // "-" and a digit: a negative value for the positional parameter.
            if (!p || !cliStatePARAM::takes(*p, ctx->word, false, c) || !ctx->enter(p))
                return false;
            return ctx->state->chr(ctx, c);
        }
        ctx->undecided = false;
        ctx->optName = true;
        if (cliStateT::chr(ctx, c))
            return true;
        ctx->optName = false;
        ctx->undecided = true;
        return false;
    }
    if (!ctx->word.empty())
        return false;
    if (c == '-') {
        auto p = ctx->positional;
        const bool negative = p && p->match("-") != cliElemT::enNOMATCH;
        ctx->word = "-";
        options(ctx);
        if (!negative && ctx->choices->empty()) {
            ctx->word.clear();
            onEnter(ctx);
            return false;
        }
        (negative ? ctx->undecided : ctx->optName) = true;
        ctx->echo(c);
        return true;
    }
    // Anything else starts a value for the positional parameter.
    auto p = ctx->positional;
    if (!p || !cliStatePARAM::takes(*p, "", false, c) || !ctx->enter(p))
        return false;
    return ctx->state->chr(ctx, c);
}

bool cliStateCMD::sep(cliCtxT* ctx) {
    if (!ctx->optName || ctx->word.size() < 2 || !ctx->room())
        return false;
    auto p = ctx->option(ctx->word.substr(1));
    if (!p)
        return false;
    if (p->leaf()) {
        try {
            ctx->args.set(ctx->paramPos(p.get()), p->name(), "");
        } catch (const cliArgsT::errorT&) {
            return false;
        }
        ctx->pushCmdLine(ctx->word);
        ctx->word.clear();
        ctx->lastNamed = p;
        ctx->echo(' ');
        onEnter(ctx);
        return true;
    }
    const std::string word = ctx->word;
    ctx->pushCmdLine(word);
    ctx->word.clear();
    if (!ctx->enter(p)) {
        ctx->line.resize(ctx->line.size() - word.size() - 1);
        ctx->word = word;
        return false;
    }
    ctx->lastNamed = p;
    ctx->echo(' ');
    return true;
}

bool cliStateCMD::ok(cliCtxT* ctx) {
    // Nothing changes unless the command can run.
    cliArgsT a = ctx->args;
    std::shared_ptr<cliParamT> flag;
    if (!ctx->word.empty()) {
        if (!ctx->optName || ctx->word.size() < 2)
            return false;
        flag = ctx->option(ctx->word.substr(1));
        if (!flag || !flag->leaf())
            return false;
        try {
            a.set(ctx->paramPos(flag.get()), flag->name(), "");
        } catch (const cliArgsT::errorT&) {
            return false;
        }
    }
    if (!ctx->ready(a))
        return false;
    if (flag) {
        ctx->pushCmdLine(ctx->word);
        ctx->word.clear();
    }
    ctx->args = std::move(a);
    ctx->execute();
    return true;
}

bool cliStateCMD::help(cliCtxT* ctx) {
    std::vector<cliCtxT::rowT> rows;
    if (ctx->positional && !ctx->optName && !ctx->undecided) {
        // A value is what comes next: only the pending parameter's values.
        impl::valueRows(*ctx->positional, ctx->choices, rows);
    } else if (ctx->choices) {
        // Otherwise the parameters not given yet, as options.
        for (const auto& p : *ctx->choices)
            if (!(p->flags() & cliElemT::enHIDDEN))
                rows.push_back({"-", p->name(), p->help()});
    }
    bool cr = false;
    if (ctx->word.empty()) {
        cr = ctx->ready(ctx->args);
    } else if (ctx->optName) {
        auto flag = ctx->option(ctx->word.substr(1));
        if (flag && flag->leaf()) {
            cliArgsT a = ctx->args;
            try {
                a.set(ctx->paramPos(flag.get()), flag->name(), "");
                cr = ctx->ready(a);
            } catch (const cliArgsT::errorT&) {
            }
        }
    }
    ctx->listing(rows, cr);
    return true;
}

} // namespace rux
