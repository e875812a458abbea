// The report the updater left in update_dir, read back for this run: as JSON, and a check's answer as text.
#include "report_view.hpp"

#include "progress_view.hpp"

#include "framework/error_code.hpp"
#include "framework/fd_io.hpp"
#include "framework/work_folder.hpp"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>

namespace tavik_run {

namespace {

// Control characters as \uXXXX (JSON) or \xXX (text): nothing read from update_dir reaches a
// terminal as an escape sequence.
std::string escaped(const std::string& text, bool json) {
    std::string out;
    for (unsigned char c : text) {
        char code[8];
        if (json && (c == '"' || c == '\\'))
            out += '\\', out += static_cast<char>(c);
        else if (c >= 0x20 && c != 0x7f)
            out += static_cast<char>(c);
        else
            std::snprintf(code, sizeof code, json ? "\\u%04x" : "\\x%02x", c), out += code;
    }
    return out;
}

std::string json_string(const std::string& text) { return "\"" + escaped(text, true) + "\""; }

const char* json_bool(bool value) { return value ? "true" : "false"; }

// A time in seconds since 1970; null when not known.
std::string json_time(std::uint64_t seconds) { return seconds ? std::to_string(seconds) : "null"; }

std::string zone_json(const upd::report_file_t::zone_t& z, bool check) {
    std::string text = "{\"zone\":" + json_string(z.name) + ",\"placed\":" + std::to_string(z.placed) +
                       ",\"removed\":" + std::to_string(z.removed) + ",\"kept\":" + std::to_string(z.kept) +
                       ",\"stamp\":" + json_string(z.stamp) + ",\"expires\":" + json_string(z.expires) +
                       ",\"expired\":" + json_bool(z.expired) + ",\"last_success\":" + json_time(z.last_success) +
                       ",\"server\":" + json_string(z.server);
    if (check) {
        text += ",\"pending\":" + std::to_string(z.pending) + ",\"pending_bytes\":" + std::to_string(z.pending_bytes) +
                ",\"patched_bytes\":" + std::to_string(z.patched_bytes) + ",\"to_place\":[";
        for (std::size_t i = 0; i < z.to_place.size(); ++i) text += (i ? "," : "") + json_string(z.to_place[i]);
        text += "],\"to_place_more\":" + std::to_string(z.to_place_more);
    }
    return text + "}";
}

std::string report_json(const upd::report_file_t& r) {
    std::string zones;
    for (const auto& z : r.zones) zones += (zones.empty() ? "" : ",") + zone_json(z, r.check);
    return "{\"status\":" + std::to_string(r.status) + ",\"text\":" + json_string(r.text) +
           ",\"dry_run\":" + json_bool(r.dry_run) + ",\"check\":" + json_bool(r.check) +
           ",\"started\":" + json_time(r.started) + ",\"duration_ms\":" + std::to_string(r.duration_ms) +
           ",\"received\":" + std::to_string(r.received) + ",\"zones\":[" + zones + "]}";
}

}  // namespace

std::optional<upd::report_file_t> last_report(const std::string& update_dir) {
    try {
        const std::vector<char> bytes =
            ::read_regular_file(update_dir + "/" + upd::work_folder::report, upd::report_file_t::max_size, O_NOFOLLOW);
        return upd::report_file_t::parse(bytes.data(), bytes.data() + bytes.size());
    } catch (const std::exception&) {}
    return std::nullopt;
}

std::optional<upd::report_file_t> this_runs_report(const std::string& update_dir, const std::string& run_id) {
    std::optional<upd::report_file_t> r = last_report(update_dir);
    return r && !r->run_id.empty() && r->run_id == run_id ? r : std::nullopt;
}

bool pending(const upd::report_file_t& report) {
    return std::any_of(report.zones.begin(), report.zones.end(),
                       [](const upd::report_file_t::zone_t& z) { return z.pending > 0; });
}

bool expired(const upd::report_file_t& report) {
    return std::any_of(report.zones.begin(), report.zones.end(),
                       [](const upd::report_file_t::zone_t& z) { return z.expired; });
}

std::string json_report(const std::optional<upd::report_file_t>& report, int status, const std::string& installed,
                        bool check) {
    // Without a report, the status alone tells of an expired list.
    const std::string answer =
        !check ? ""
               : std::string(",\"pending\":") + (report ? json_bool(pending(*report)) : "null") +
                     ",\"expired\":" + json_bool(report ? expired(*report) : status == tvk::EC_UPDATE_EXPIRED);
    return "{\"status\":" + std::to_string(status) + ",\"report\":" + (report ? report_json(*report) : "null") +
           ",\"installed\":" + installed + answer + "}";
}

void show_check(std::ostream& out, const upd::report_file_t& report) {
    for (const auto& z : report.zones) {
        out << escaped(z.name, false) << ": ";
        if (z.pending == 0) {
            out << "up to date\n";
            continue;
        }
        out << z.pending << (z.pending == 1 ? " file" : " files") << " to place or remove, "
            << human_bytes(z.pending_bytes) << " to fetch";
        if (z.patched_bytes != z.pending_bytes) out << " (" << human_bytes(z.patched_bytes) << " with patches)";
        out << '\n';
        // A short list of files to place is named; a long one would bury the answer.
        if (z.to_place_more == 0 && z.to_place.size() <= 10)
            for (const std::string& name : z.to_place) out << "  " << escaped(name, false) << '\n';
    }
    out << (pending(report) ? "updates pending" : "nothing pending") << std::endl;
}

}  // namespace tavik_run
