// Parser states: what each key means in a menu, after a command name, and
// while typing a parameter's value.
//
// States hold no data of their own; they work on the context they are given.
// An element's stateHandler() makes the state for it, and the context keeps a
// replaced state alive until the current key operation has returned.
// Thread-safety: as the context.
#pragma once

#include "cli/ctx.h"

namespace rux {

class cliStateT {
public:
    virtual ~cliStateT() = default;

    // Typing a character the choices allow.
    virtual bool chr(cliCtxT* ctx, char c);
    // Backspace: replays the text typed since the current menu less one character.
    virtual bool del(cliCtxT* ctx);
    virtual bool ok(cliCtxT* ctx);
    // Tab: types the next characters the choices share.
    virtual bool complete(cliCtxT* ctx);
    virtual bool sep(cliCtxT* ctx);
    // '?': lists the choices with their help texts.
    virtual bool help(cliCtxT* ctx);
    virtual bool up(cliCtxT* ctx);
    virtual bool down(cliCtxT* ctx);
    // Ctrl-C: abandons the line.
    virtual bool brk(cliCtxT* ctx);
    virtual void onEnter(cliCtxT* ctx);
    virtual void onLeave(cliCtxT* ctx);
};

class cliStateMENU : public cliStateT {
public:
    bool chr(cliCtxT* ctx, char c) override;
    bool ok(cliCtxT* ctx) override;
    bool sep(cliCtxT* ctx) override;
    void onEnter(cliCtxT* ctx) override;
    void onLeave(cliCtxT* ctx) override;
};

class cliStateCMD : public cliStateT {
public:
    bool chr(cliCtxT* ctx, char c) override;
    bool ok(cliCtxT* ctx) override;
    bool sep(cliCtxT* ctx) override;
    bool help(cliCtxT* ctx) override;
    void onEnter(cliCtxT* ctx) override;
    void onLeave(cliCtxT* ctx) override;
};

class cliStatePARAM : public cliStateT {
public:
    bool chr(cliCtxT* ctx, char c) override;
    bool ok(cliCtxT* ctx) override;
    bool sep(cliCtxT* ctx) override;
    bool help(cliCtxT* ctx) override;
    void onEnter(cliCtxT* ctx) override;
    void onLeave(cliCtxT* ctx) override;

    // Whether p takes c after word (quotes and backslashes always).
    static bool takes(cliParamT& p, const std::string& word, bool escaped, char c);
};

} // namespace rux
