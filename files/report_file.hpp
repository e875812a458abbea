// What one attempt did, as update_dir/tavik-update.report holds it: written by the updater, read back by tavik-run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace upd {

// Lines "KEY VALUE" (see tavik-update(1)): the run id of whoever started the updater (so that a
// report is never taken for another run's), the status and its text, whether it was a dry run, how
// long it took, the bytes received, and per zone the server whose list it took, the list's stamp,
// its expiry and whether it had expired, and how many files were placed, removed and kept. A check
// (tavik-run --check) places nothing: per zone it counts the files a run would place or remove and
// what the ones to place would cost, whole and with the patches the zone's index offers, and names
// the first of those to place. What outlives the report it is in: when the attempt started, and per
// zone when a real run last brought it or found it up to date, carried over by the attempts that
// were not such a success (0: not known, as in reports written before they were kept). The run-as
// account can write there, so a reader trusts nothing that is not as format() writes it; every
// number is one of its field's type.
struct report_file_t {
    // Names per zone: four zones stay far within max_size, however long the list's names are.
    static constexpr std::size_t max_names = 200, max_names_bytes = 8192;

    struct zone_t {
        std::string name, server, stamp, expires;  // expires: YYYYMMDDHHMMSS, UTC; "": never
        bool expired = false;
        std::size_t placed = 0, removed = 0, kept = 0;
        std::size_t pending = 0;                             // a check: files to place or remove
        std::uint64_t pending_bytes = 0, patched_bytes = 0;  // a check: to place, whole; with patches
        // A check: the names of the files to place, in the list's order, as long as they stay within
        // max_names and max_names_bytes (a comma after each counted); to_place_more counts the rest.
        std::vector<std::string> to_place{};
        std::size_t to_place_more = 0;
        // When a real run last brought the zone up to date or found it so: seconds since 1970, UTC;
        // 0: not known.
        std::uint64_t last_success = 0;

        // Names the file among those to place, or counts it with the rest once a bound is met.
        void add_to_place(const std::string& file);
    };
    static constexpr std::size_t max_size = 65536;

    std::string run_id;  // letters, digits and '-', at most 64; "" when none was given
    int status = 0;
    std::string text;
    bool dry_run = false;
    bool check = false;         // lists compared only, nothing fetched or placed
    std::uint64_t started = 0;  // the attempt's start, seconds since 1970, UTC; 0: not known
    std::uint64_t duration_ms = 0, received = 0;
    std::vector<zone_t> zones;

    std::string format() const;
    // Whether a run id may stand in the report as it is.
    static bool valid_run_id(const std::string& id);
    // Whether a file's name may: as a signed list writes them, letters, digits, '-', '.' and '_'.
    static bool valid_file_name(const std::string& name);
    // Throws std::runtime_error naming the first line that format() would not have written.
    static report_file_t parse(const char* begin, const char* end);
};

}  // namespace upd
