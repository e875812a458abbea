// A message of the updater read from its frame, with an installation request's long list kept as views.
#pragma once

#include "configd_update_ipc.pb.h"

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace tavik_run {

// An installation request names every installed file that is up to date, hundreds of thousands on
// a large installation: those paths stay in the frame they came in and are read from there, not
// copied into a string each. Everything else is parsed as the message's own parser would.
class update_message_t {
public:
    // False for bytes that are not an Update2ConfigdMessage with its required fields.
    bool parse(std::string_view payload);

    // The message, its request without up_to_date.
    const tvk::Update2ConfigdMessage& message() const { return message_; }
    // The request's up_to_date paths, views into the payload given to parse.
    std::size_t up_to_date_size() const { return up_to_date_.size(); }
    std::string_view up_to_date(std::size_t i) const {
        return payload_.substr(up_to_date_[i].first, up_to_date_[i].second);
    }

private:
    bool parse_install(std::uint32_t offset, std::uint32_t size);

    tvk::Update2ConfigdMessage message_;
    std::string_view payload_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> up_to_date_;  // offset and length in payload_
};

}  // namespace tavik_run
