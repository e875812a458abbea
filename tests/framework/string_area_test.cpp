// The string area: offsets of what was added, views only inside it, no growth past its limit.
#include "framework/string_area.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

TEST(string_area, views_stay_inside_and_the_limit_holds) {
    string_area_t area(8);
    EXPECT_EQ(area.add("abc"), 0u);
    EXPECT_EQ(area.add(""), 3u);
    EXPECT_EQ(area.add("defgh"), 3u);
    EXPECT_THROW(area.add("i"), std::length_error) << "full at 8 bytes";
    const struct {
        std::uint32_t offset, size;
        const char* expected;  // null: out of range
    } rows[] = {{0, 3, "abc"},           {3, 5, "defgh"}, {8, 0, ""},
                {7, 2, nullptr},         {9, 0, nullptr}, {4, UINT32_MAX, nullptr},
                {UINT32_MAX, 2, nullptr}};
    for (const auto& r : rows) {
        if (r.expected)
            EXPECT_EQ(area.view(r.offset, r.size), r.expected) << r.offset << "+" << r.size;
        else
            EXPECT_THROW(area.view(r.offset, r.size), std::out_of_range) << r.offset << "+" << r.size;
    }
}

}  // namespace
