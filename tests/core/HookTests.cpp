#include <background/core/Hook.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <typeinfo>

namespace {

using background::Hook;
using Callback = std::function<void(double)>;

TEST(Hook, RefusesZeroAndDuplicates) {
    EXPECT_THROW_MSG(Hook::set<int>(0, 1), std::invalid_argument, "ID 0 is invalid!");
    auto handle = Hook::set<int>(-5, 7);
    EXPECT_EQ(Hook::get<int>(-5), 7);
    EXPECT_THROW_MSG(Hook::set<int>(-5, 8), std::invalid_argument, "ID is already registered!");
    EXPECT_EQ(Hook::get<int>(-5), 7);
}

TEST(Hook, LookupFailures) {
    EXPECT_THROW_MSG(Hook::get<int>(4242), std::out_of_range, "map::at");
    auto handle = Hook::set<Callback>(4243, [](double) {});
    EXPECT_THROW(Hook::get<int>(4243), std::bad_cast);
    Hook::remove(999999);  // not registered: nothing happens
}

TEST(Hook, HandleRemovesItsRegistration) {
    double seen = 0;
    {
        auto handle = Hook::set<Callback>(11, [&](double t) { seen = t; });
        Callback copy = Hook::get<Callback>(11);
        copy(2.5);
    }
    EXPECT_EQ(seen, 2.5);
    EXPECT_THROW(Hook::get<Callback>(11), std::out_of_range);
}

TEST(Hook, OlderHandleRemovesATakenOverRegistration) {
    auto older = std::make_unique<Hook::Handle>(Hook::set<int>(12, 1));
    Hook::remove(12);
    auto newer = Hook::set<int>(12, 2);
    EXPECT_EQ(Hook::get<int>(12), 2);
    older.reset();
    EXPECT_THROW_MSG(Hook::get<int>(12), std::out_of_range, "map::at");
}

TEST(Hook, LeakKeepsTheRegistration) {
    {
        auto handle = Hook::set<int>(13, 3);
        handle.leak();
    }
    EXPECT_EQ(Hook::get<int>(13), 3);
    Hook::remove(13);
    EXPECT_THROW(Hook::get<int>(13), std::out_of_range);
}

TEST(Hook, MovesTransferOwnership) {
    auto first = Hook::set<int>(14, 1);
    Hook::Handle taken(std::move(first));
    { Hook::Handle drop(std::move(first)); }  // owns nothing: removes nothing
    EXPECT_EQ(Hook::get<int>(14), 1);

    auto other = Hook::set<int>(15, 2);
    taken = std::move(other);  // removes 14 first, then owns 15
    EXPECT_THROW(Hook::get<int>(14), std::out_of_range);
    EXPECT_EQ(Hook::get<int>(15), 2);
}

}  // namespace
