// A message of the updater read from its frame, with an installation request's long list kept as views.
#include "update_message.hpp"

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>

#include <string>

namespace tavik_run {

namespace {

using google::protobuf::internal::WireFormatLite;
using google::protobuf::io::CodedInputStream;

constexpr std::uint32_t length_delimited(int field) {
    return static_cast<std::uint32_t>(field) << 3 | WireFormatLite::WIRETYPE_LENGTH_DELIMITED;
}

// A length-delimited field's bytes: their offset in the input and their length.
bool read_bytes(CodedInputStream& in, std::uint32_t base, std::uint32_t& offset, std::uint32_t& size) {
    if (!in.ReadVarint32(&size)) return false;
    offset = base + static_cast<std::uint32_t>(in.CurrentPosition());
    return in.Skip(static_cast<int>(size));
}

}  // namespace

bool update_message_t::parse(std::string_view payload) {
    message_.Clear(), up_to_date_.clear();
    payload_ = payload;
    if (payload.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    const auto* data = reinterpret_cast<const std::uint8_t*>(payload.data());
    CodedInputStream in(data, static_cast<int>(payload.size()));
    std::string others;  // every field but the requests, parsed as they are
    std::vector<std::pair<std::uint32_t, std::uint32_t>> requests;
    for (;;) {
        const int start = in.CurrentPosition();
        const std::uint32_t tag = in.ReadTag();
        if (tag == 0) {
            if (!in.ConsumedEntireMessage()) return false;
            break;
        }
        if (tag == length_delimited(tvk::Update2ConfigdMessage::kInstallFieldNumber)) {
            requests.emplace_back();
            if (!read_bytes(in, 0, requests.back().first, requests.back().second)) return false;
            continue;
        }
        if (!WireFormatLite::SkipField(&in, tag)) return false;
        others.append(payload.data() + start, static_cast<std::size_t>(in.CurrentPosition() - start));
    }
    if (!message_.ParsePartialFromString(others)) return false;
    for (const auto& r : requests)
        if (!parse_install(r.first, r.second)) return false;
    return message_.IsInitialized();
}

bool update_message_t::parse_install(std::uint32_t offset, std::uint32_t size) {
    tvk::InstallRequest& request = *message_.mutable_install();
    CodedInputStream in(reinterpret_cast<const std::uint8_t*>(payload_.data()) + offset, static_cast<int>(size));
    for (std::uint32_t tag; (tag = in.ReadTag()) != 0;) {
        std::uint32_t at = 0, length = 0;
        if (tag == length_delimited(tvk::InstallRequest::kUpToDateFieldNumber)) {
            if (!read_bytes(in, offset, at, length)) return false;
            up_to_date_.emplace_back(at, length);
        } else if (tag == length_delimited(tvk::InstallRequest::kToRemoveFieldNumber)) {
            if (!WireFormatLite::ReadString(&in, request.add_to_remove())) return false;
        } else if (tag == length_delimited(tvk::InstallRequest::kToPlaceFieldNumber)) {
            if (!read_bytes(in, offset, at, length) ||
                !request.add_to_place()->ParsePartialFromArray(payload_.data() + at, static_cast<int>(length)))
                return false;
        } else if (!WireFormatLite::SkipField(&in, tag)) {
            return false;
        }
    }
    return in.ConsumedEntireMessage();
}

}  // namespace tavik_run
