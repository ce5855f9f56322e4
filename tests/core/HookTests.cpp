#include <background/core/Hook.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <typeinfo>

namespace {

using background::Hook;
using Callback = std::function<void(double)>;

TEST(Hook, RegistrationsLookupsHandlesTakeoverAndMoves) {
    EXPECT_THROW_MSG(Hook::set<int>(0, 1), std::invalid_argument, "ID 0 is invalid!");
    auto handle = Hook::set<int>(-5, 7);
    EXPECT_THROW_MSG(Hook::set<int>(-5, 8), std::invalid_argument, "ID is already registered!");
    EXPECT_EQ(Hook::get<int>(-5), 7) << "a refused duplicate replaced the first";
    EXPECT_THROW_MSG(Hook::get<int>(4242), std::out_of_range, "map::at");
    EXPECT_THROW(Hook::get<Callback>(-5), std::bad_cast);
    Hook::remove(999999);  // not registered: nothing happens
    double seen = 0;
    {
        auto scoped = Hook::set<Callback>(11, [&](double t) { seen = t; });
        Hook::get<Callback>(11)(2.5);
        auto leaked = Hook::set<int>(13, 3);
        leaked.leak();
    }
    EXPECT_EQ(seen, 2.5);
    EXPECT_THROW(Hook::get<Callback>(11), std::out_of_range) << "the handle did not remove its registration";
    EXPECT_EQ(Hook::get<int>(13), 3) << "a leaked registration was removed";
    Hook::remove(13);
    EXPECT_THROW(Hook::get<int>(13), std::out_of_range);

    auto older = std::make_unique<Hook::Handle>(Hook::set<int>(12, 1));
    Hook::remove(12);
    auto newer = Hook::set<int>(12, 2);
    older.reset();  // the older handle still removes the id, whoever holds it now
    EXPECT_THROW(Hook::get<int>(12), std::out_of_range);
    auto first = Hook::set<int>(14, 1);
    Hook::Handle taken(std::move(first));
    { Hook::Handle drop(std::move(first)); }  // owns nothing: removes nothing
    EXPECT_EQ(Hook::get<int>(14), 1);
    taken = Hook::set<int>(15, 2);  // removes 14 first, then owns 15
    EXPECT_THROW(Hook::get<int>(14), std::out_of_range);
    EXPECT_EQ(Hook::get<int>(15), 2);
}

}  // namespace
