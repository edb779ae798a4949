// cliActionT: the callable bound to a command.
//
// Ownership: owns one callable (_funT); destroying the action destroys it.
// Actions are held by std::shared_ptr and may be shared between commands.
// Thread-safety: exec() may run on several sessions' threads at once; the
// callable guards whatever it shares.
// Failure: whatever the callable throws reaches the session, which reports it
// on the output.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace rux {

class cliArgsT;
class cliOutputT;

class cliActionT {
public:
    class _funT {
    public:
        virtual ~_funT() = default;
        virtual void exec(const cliArgsT& args, std::shared_ptr<cliOutputT> out) = 0;
    };

    // Adapts any function object callable as f(args, out).
    template <class F> class _stdFunT : public _funT {
    public:
        explicit _stdFunT(F f) : _f(std::move(f)) {}
        void exec(const cliArgsT& args, std::shared_ptr<cliOutputT> out) override {
            _f(args, std::move(out));
        }

    private:
        F _f;
    };

    explicit cliActionT(std::unique_ptr<_funT> fun) : _fun(std::move(fun)) {}
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, cliActionT> &&
                                                !std::is_convertible_v<F, std::unique_ptr<_funT>>>>
    explicit cliActionT(F f) : _fun(new _stdFunT<std::decay_t<F>>(std::move(f))) {}
    cliActionT(const cliActionT&) = delete;
    cliActionT& operator=(const cliActionT&) = delete;

    template <class F> static std::shared_ptr<cliActionT> create(F f) {
        return std::make_shared<cliActionT>(std::move(f));
    }

    void exec(const cliArgsT& args, std::shared_ptr<cliOutputT> out) const {
        if (_fun)
            _fun->exec(args, std::move(out));
    }

private:
    std::unique_ptr<_funT> _fun;
};

} // namespace rux
