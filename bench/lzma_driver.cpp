// Unpacks one container file to another, as the updater does with a downloaded packed file.
// Usage: lzma_driver SOURCE DESTINATION  (the size the container states stands for the listed one)
#include "files/lzma_decompress.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"

#include <cstdio>
#include <memory>
#include <exception>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SOURCE DESTINATION\n", argv[0]);
        return 2;
    }
    // Only problems are worth a line here.
    set_log(std::make_shared<cf_console_log_t>());
    cf_log_t::level_ = cf_log_t::warning;
    try {
        unsigned char header[upd::lzma_header_size] = {};
        if (FILE* in = std::fopen(argv[1], "rb")) {
            if (std::fread(header, 1, sizeof header, in) != sizeof header) header[5] = 0;
            std::fclose(in);
        }
        upd::lzma_decompress_file(argv[1], argv[2], upd::lzma_stated_size(header));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lzma_driver: %s\n", exception_text(e));
        return 1;
    }
    return 0;
}
