// Chunked bodies: nothing produced beyond the input; a split where the first byte says changes nothing.
#include "net/http_chunked_parser.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using parser_t = upd::http_chunked_parser_t;
    std::string whole(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    std::string first = whole.substr(0, cut), second = whole.substr(cut);
    parser_t a, b;
    std::size_t consumed = 0, produced = 0, c1 = 0, p1 = 0, c2 = 0, p2 = 0;
    const auto result = a.decode(&whole[0], size, consumed, produced);
    if (consumed > size || produced > consumed) std::abort();
    auto split = b.decode(&first[0], first.size(), c1, p1);
    if (split == parser_t::incomplete) split = b.decode(&second[0], second.size(), c2, p2);
    if (split != result || (result != parser_t::invalid && result != parser_t::overlong &&
                            first.substr(0, p1) + second.substr(0, p2) != whole.substr(0, produced)))
        std::abort();
    return 0;
}
