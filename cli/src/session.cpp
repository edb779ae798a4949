#include "cli/session.h"

#include "cli/state.h"

namespace rux {

cliSessionT::cliSessionT(std::shared_ptr<cliMenuT> root) : _ctx(std::move(root)) {}

cliSessionT::~cliSessionT() = default;

bool cliSessionT::setOutput(std::shared_ptr<cliOutputT> out) {
    if (!out)
        return false;
    _ctx.out = std::move(out);
    _ctx.prompt();
    _ctx.out->flush();
    return true;
}

bool cliSessionT::chr(char c) {
    return _done(_ctx.state->chr(&_ctx, c));
}

bool cliSessionT::del() {
    return _done(_ctx.state->del(&_ctx));
}

bool cliSessionT::ok() {
    return _done(_ctx.state->ok(&_ctx));
}

bool cliSessionT::complete() {
    return _done(_ctx.state->complete(&_ctx));
}

bool cliSessionT::sep() {
    return _done(_ctx.state->sep(&_ctx));
}

bool cliSessionT::help() {
    _ctx.state->help(&_ctx);
    return _done(true);
}

bool cliSessionT::up() {
    _ctx.state->up(&_ctx);
    return _done(true);
}

bool cliSessionT::down() {
    _ctx.state->down(&_ctx);
    return _done(true);
}

bool cliSessionT::brk() {
    _ctx.state->brk(&_ctx);
    return _done(true);
}

// A refusal right after another one shows what can be typed.
bool cliSessionT::_done(bool accepted) {
    if (!accepted && !_lastOk)
        _ctx.state->help(&_ctx);
    _finish();
    _lastOk = accepted;
    return accepted;
}

void cliSessionT::_finish() {
    _ctx.out->flush();
    _ctx.retired.clear();
}

} // namespace rux
