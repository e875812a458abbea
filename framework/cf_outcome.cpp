// How a run ends, or a designed status on its way to that end: the exit status and its text.
#include "cf_outcome.hpp"

#include "error_code.hpp"

#include <utility>

cf_outcome_t::cf_outcome_t(tvk::ErrorCode code) : code_(code), text_(error_code_text(code)) {}

cf_outcome_t::cf_outcome_t(tvk::ErrorCode code, std::string text) : code_(code), text_(std::move(text)) {}
