// Runs one checker pass as the updater does: load the cache, hash what it does not cover, save.
// Usage: checker_driver CACHE_DIR LIST_FILE   (LIST_FILE: one path per line)
// Prints the bytes that were to be checked and that were checked.
#include "files/check_counter.hpp"
#include "files/checker.hpp"
#include "framework/cf_log.hpp"

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

class last_check_t : public upd::check_counter_t {
public:
    void start_check(std::uint32_t bytes_to_check) override { to_check = bytes_to_check; }
    void set_checked(std::uint32_t bytes_checked) override { checked = bytes_checked; }

    std::uint32_t to_check = 0;
    std::uint32_t checked = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CACHE_DIR LIST_FILE\n", argv[0]);
        return 2;
    }
    // Only problems are worth a line here.
    set_log(std::make_shared<cf_console_log_t>());
    cf_log_t::level_ = cf_log_t::warning;
    std::vector<boost::filesystem::path> paths;
    std::ifstream list(argv[2]);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) paths.emplace_back(line);
    }
    last_check_t watcher;
    try {
        upd::checker_t checker(argv[1]);
        checker.add(paths);
        checker.hash_all(watcher);
    } catch (...) {
        std::fprintf(stderr, "checker failed\n");
        return 1;
    }
    std::printf("files=%zu to_check=%u checked=%u\n", paths.size(), watcher.to_check, watcher.checked);
    return 0;
}
