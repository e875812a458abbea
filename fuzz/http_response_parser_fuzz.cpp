// Response heads: fed a byte at a time, as a slow server sends them, they end as they do whole.
#include "net/http_response_parser.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using parser_t = upd::http_response_parser_t;
    const char* bytes = reinterpret_cast<const char*>(data);
    parser_t whole, split;
    std::size_t consumed = 0, offset = 0;
    const auto result = whole.parse(bytes, size, consumed);
    if (consumed > size) std::abort();
    auto split_result = parser_t::incomplete;
    for (std::size_t used = 0; offset < size && split_result == parser_t::incomplete; offset += used)
        split_result = split.parse(bytes + offset, 1, used);
    if (size > 0 && split_result != result) std::abort();
    if (result == parser_t::complete && (offset != consumed || split.response().status() != whole.response().status() ||
                                         split.response().headers().size() != whole.response().headers().size()))
        std::abort();
    return 0;
}
