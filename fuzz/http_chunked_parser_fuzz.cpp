// The chunked body decoder: no crash, nothing produced beyond the input, and any split of the
// input gives the same data and the same end.
#include "net/http_chunked_parser.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string whole(reinterpret_cast<const char*>(data), size);
    upd::http_chunked_parser_t a, b;
    std::size_t consumed = 0, produced = 0;
    const auto result = a.decode(&whole[0], whole.size(), consumed, produced);
    if (consumed > size || produced > consumed) std::abort();
    // The same bytes in two runs split where the first byte says.
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    std::string first(reinterpret_cast<const char*>(data), cut),
        second(reinterpret_cast<const char*>(data) + cut, size - cut);
    std::size_t c1 = 0, p1 = 0, c2 = 0, p2 = 0;
    auto split = b.decode(&first[0], first.size(), c1, p1);
    if (split == upd::http_chunked_parser_t::incomplete) split = b.decode(&second[0], second.size(), c2, p2);
    if (split != result ||
        (result != upd::http_chunked_parser_t::invalid && result != upd::http_chunked_parser_t::overlong &&
         first.substr(0, p1) + second.substr(0, p2) != whole.substr(0, produced)))
        std::abort();
    return 0;
}
