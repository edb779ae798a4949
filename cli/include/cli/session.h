// cliSessionT: one operator's editing session over a command tree.
//
// The editor is guided: it takes only keys that keep the line valid. When a
// key is refused right after another refusal, the choices are listed.
// Ownership: owns its context; shares the tree and the output.
// Thread-safety: one thread at a time; sessions on one tree may run on
// different threads.
// Failure: refused keys return false; an action's exception is reported on
// the output and the session goes on. A session without a root menu aborts.
#pragma once

#include <memory>

#include "cli/ctx.h"
#include "cli/input.h"

namespace rux {

class cliSessionT : public cliInputT {
public:
    explicit cliSessionT(std::shared_ptr<cliMenuT> root);
    ~cliSessionT() override;

    // Installs the output and writes the prompt; an empty output is refused.
    bool setOutput(std::shared_ptr<cliOutputT> out);

    bool chr(char c) override;
    bool del() override;
    bool ok() override;
    bool complete() override;
    bool help() override;
    bool sep() override;
    bool up() override;
    bool down() override;
    bool brk() override;

    const cliCtxT& ctx() const { return _ctx; }

private:
    bool _done(bool accepted);
    void _finish();

    cliCtxT _ctx;
    bool _lastOk = true; // the previous operation was accepted
};

} // namespace rux
