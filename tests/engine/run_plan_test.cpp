// The run's plan orders destinations kept in two parts exactly as the joined paths compare.
#include "engine/run_plan.hpp"

#include <gtest/gtest.h>

namespace {

TEST(run_plan, joined_parts_compare_as_the_joined_strings) {
    const std::string paths[] = {"", "/", "/a", "/a/", "/a/b", "/a/bc", "/a-b", "/ab", "a/b"};
    for (const std::string& x : paths)
        for (const std::string& y : paths)
            for (std::size_t i = 0; i <= x.size(); ++i)
                for (std::size_t j = 0; j <= y.size(); ++j) {
                    const int expected = (x > y) - (x < y);
                    const std::string_view a(x), b(y);
                    EXPECT_EQ(
                        upd::run_plan_t::compare_joined({a.substr(0, i), a.substr(i)}, {b.substr(0, j), b.substr(j)}),
                        expected)
                        << x << " at " << i << " vs " << y << " at " << j;
                }
}

}  // namespace
