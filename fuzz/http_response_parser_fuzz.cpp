// The response head parser: no crash, and any split of the input gives the same result.
#include "net/http_response_parser.hpp"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    upd::http_response_parser_t whole;
    std::size_t consumed = 0;
    const auto result = whole.parse(bytes, size, consumed);
    if (consumed > size) std::abort();

    // The same bytes one at a time, as a slow server delivers them.
    upd::http_response_parser_t split;
    std::size_t offset = 0;
    auto split_result = upd::http_response_parser_t::incomplete;
    while (offset < size && split_result == upd::http_response_parser_t::incomplete) {
        std::size_t used = 0;
        split_result = split.parse(bytes + offset, 1, used);
        offset += used;
    }
    if (size > 0 && split_result != result) std::abort();
    if (result == upd::http_response_parser_t::complete &&
        (offset != consumed || split.response().status() != whole.response().status() ||
         split.response().headers().size() != whole.response().headers().size()))
        std::abort();
    return 0;
}
