// functorT: an owned, copyable callable taking no arguments.
//
// Made from an object pointer (raw or shared) with a member function and bound
// arguments, or from any callable. A result of the callee is discarded. Copying
// clones the stored callable. Calling an empty functor does nothing. Not
// thread-safe; copies are independent.
#pragma once

#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

namespace rux {

class functorT {
public:
    functorT() = default;

    // Object (pointer or shared pointer) + member function + bound arguments.
    template <class O, class M, class... A,
              std::enable_if_t<std::is_member_function_pointer_v<M>, int> = 0>
    functorT(O obj, M fn, A... args)
        : _impl(new _functorImplT<_boundT<O, M, A...>>(
              _boundT<O, M, A...>{std::move(obj), fn, std::make_tuple(std::move(args)...)})) {}

    // Any callable that can be called without arguments.
    template <class F, std::enable_if_t<!std::is_same_v<std::decay_t<F>, functorT> &&
                                            std::is_invocable_v<std::decay_t<F>&>,
                                        int> = 0>
    explicit functorT(F&& f) : _impl(new _functorImplT<std::decay_t<F>>(std::forward<F>(f))) {}

    functorT(const functorT& o) : _impl(o._impl ? o._impl->clone() : nullptr) {}
    functorT(functorT&&) noexcept = default;
    functorT& operator=(const functorT& o) {
        if (this != &o)
            _impl.reset(o._impl ? o._impl->clone() : nullptr);
        return *this;
    }
    functorT& operator=(functorT&&) noexcept = default;

    void operator()() const {
        if (_impl)
            _impl->call();
    }
    explicit operator bool() const { return _impl != nullptr; }

private:
    struct _functorBaseT {
        virtual ~_functorBaseT() = default;
        virtual void call() = 0;
        virtual _functorBaseT* clone() const = 0;
    };

    template <class F> struct _functorImplT final : _functorBaseT {
        template <class G> explicit _functorImplT(G&& g) : f(std::forward<G>(g)) {}
        void call() override { (void)f(); }
        _functorBaseT* clone() const override { return new _functorImplT(f); }
        F f;
    };

    template <class O, class M, class... A> struct _boundT {
        O obj;
        M fn;
        std::tuple<A...> args;
        void operator()() {
            std::apply([this](A&... a) { (void)std::invoke(fn, obj, a...); }, args);
        }
    };

    std::unique_ptr<_functorBaseT> _impl;
};

} // namespace rux
