// A log sink for tests: keeps every line with its level so that tests can look for them.
#pragma once

#include "tests/support/test_support.hpp"

namespace tvk_test {

using capture_log_t = test_support::capture_log_t;

}  // namespace tvk_test
