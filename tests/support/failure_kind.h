#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <typeinfo>

namespace quillmere::testing {

// The kind of the Failure (SyncFailure, SetupFailure, ToolFailure: any exception
// type with kind()) that action throws; nullopt, and a failed expectation, when it
// returns or throws anything else.
//   EXPECT_EQ(failureOf<SyncFailure>([&] { CloudFiles::read(f, 4); }), SyncFailure::Kind::invalidData);
template <class Failure, class Action>
auto failureOf(Action&& action) -> std::optional<decltype(std::declval<const Failure&>().kind())> {
    try {
        action();
    } catch (const Failure& failure) {
        return failure.kind();
    } catch (const std::exception& other) {
        ADD_FAILURE() << "expected a " << typeid(Failure).name() << ", got: " << other.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "expected a " << typeid(Failure).name() << ", nothing was thrown";
    return std::nullopt;
}

}  // namespace quillmere::testing
