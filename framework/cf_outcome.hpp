// How a run ends, or a designed status on its way to that end: the exit status and its text.
#pragma once

#include "error.pb.h"

#include <string>

// Deliberately no std::exception: thrown, it passes every handler of failures untouched (a zone's
// cause is logged where it happened, then only the status goes on), and only the main loop and
// the mapping onto exit statuses know it.
class cf_outcome_t {
public:
    // The status under its display text (error_code_text).
    explicit cf_outcome_t(tvk::ErrorCode code = tvk::EC_OK);
    cf_outcome_t(tvk::ErrorCode code, std::string text);

    tvk::ErrorCode code() const noexcept { return code_; }
    const std::string& text() const noexcept { return text_; }

private:
    tvk::ErrorCode code_;
    std::string text_;
};
