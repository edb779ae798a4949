#include "sal/functor.h"

#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace {

struct counterT {
    int calls = 0;
    std::string last;
    void add(int n) { calls += n; }
    int get() const { return calls; }
    std::string note(std::string s) {
        last = s;
        return s;
    }
};

TEST(functorT, BindsObjectMemberAndArguments) {
    counterT c;
    rux::functorT f(&c, &counterT::add, 5);
    f();
    f();
    EXPECT_EQ(c.calls, 10);
    rux::functorT g(&c, &counterT::note, std::string("hi")); // result discarded
    g();
    EXPECT_EQ(c.last, "hi");
}

TEST(functorT, CopiesCloneTheBoundArguments) {
    counterT c;
    std::string arg = "one";
    rux::functorT f(&c, &counterT::note, arg);
    arg = "two";
    rux::functorT copy = f;
    f = rux::functorT(&c, &counterT::note, arg);
    copy();
    EXPECT_EQ(c.last, "one");
    f();
    EXPECT_EQ(c.last, "two");
}

TEST(functorT, SharedPointerKeepsTheObjectAlive) {
    std::weak_ptr<counterT> weak;
    rux::functorT f;
    {
        auto c = std::make_shared<counterT>();
        weak = c;
        f = rux::functorT(c, &counterT::add, 1);
    }
    ASSERT_FALSE(weak.expired());
    f();
    EXPECT_EQ(weak.lock()->calls, 1);
    f = rux::functorT();
    EXPECT_TRUE(weak.expired());
}

TEST(functorT, EmptyAndLambdaForms) {
    rux::functorT empty;
    EXPECT_FALSE(empty);
    empty(); // does nothing
    int n = 0;
    rux::functorT l([&n] { ++n; });
    rux::functorT moved = std::move(l);
    moved();
    EXPECT_TRUE(moved);
    EXPECT_EQ(n, 1);
}

} // namespace
