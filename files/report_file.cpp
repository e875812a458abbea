// What one attempt did, as update_dir/tavik-update.report holds it: written by the updater, read back by tavik-run.
#include "files/report_file.hpp"

#include "files/record_file.hpp"

#include <algorithm>
#include <cctype>
#include <limits>
#include <sstream>

namespace upd {

namespace {

// Any value of 64 bits, as std::to_string writes it.
bool number(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = 0;
    for (const char c : text) {
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return false;
        value = value * 10 + digit;
    }
    return true;
}

// KEY=N, N within the range of the field's type (a count of 32 bits on a 32-bit machine).
template <class N>
bool field(std::istringstream& in, const std::string& key, N& value) {
    std::string word;
    std::uint64_t n = 0;
    if (!(in >> word) || word.compare(0, key.size() + 1, key + "=") != 0 || !number(word.substr(key.size() + 1), n) ||
        n > static_cast<std::uint64_t>(std::numeric_limits<N>::max()))
        return false;
    value = static_cast<N>(n);
    return true;
}

// "to_place=NAME,NAME" within the bounds that add_to_place keeps ("to_place=" for none).
bool read_names(std::istringstream& in, std::vector<std::string>& names) {
    std::string word;
    if (!(in >> word) || word.compare(0, 9, "to_place=") != 0) return false;
    const std::string text = word.substr(9);
    for (std::size_t at = 0; !text.empty() && at <= text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        names.push_back(text.substr(at, comma - at));
        if (!report_file_t::valid_file_name(names.back()) || names.size() > report_file_t::max_names) return false;
        at = comma + 1;
    }
    return text.size() < report_file_t::max_names_bytes;
}

// NAME placed=N removed=N kept=N stamp=DIGITS expires=DIGITS expired=0|1 [last_success=N]
// [pending=N pending_bytes=N patched_bytes=N to_place=NAMES to_place_more=N] server=URL (the server
// last: a URL may hold blanks; the second bracketed part a check's)
bool read_zone(const std::string& line, bool check, report_file_t::zone_t& zone) {
    std::istringstream in(line);
    std::string stamp, expires;
    const std::size_t server = line.find(" server=");
    if (!(in >> zone.name) || !field(in, "placed", zone.placed) || !field(in, "removed", zone.removed) ||
        !field(in, "kept", zone.kept) || !(in >> stamp >> expires) || stamp.compare(0, 6, "stamp=") != 0 ||
        expires.compare(0, 8, "expires=") != 0 || !field(in, "expired", zone.expired) || server == std::string::npos)
        return false;
    const std::size_t at = static_cast<std::size_t>(in.tellg()) + 1;
    if (line.compare(at, 13, "last_success=") == 0 && !field(in, "last_success", zone.last_success)) return false;
    if (check && !(field(in, "pending", zone.pending) && field(in, "pending_bytes", zone.pending_bytes) &&
                   field(in, "patched_bytes", zone.patched_bytes) && read_names(in, zone.to_place) &&
                   field(in, "to_place_more", zone.to_place_more)))
        return false;
    zone.stamp = stamp.substr(6), zone.expires = expires.substr(8), zone.server = line.substr(server + 8);
    return (zone.stamp + zone.expires).find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

bool report_file_t::valid_run_id(const std::string& id) {
    return id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
           });
}

bool report_file_t::valid_file_name(const std::string& name) {
    return !name.empty() &&
           name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._") ==
               std::string::npos;
}

void report_file_t::zone_t::add_to_place(const std::string& file) {
    // Once one is left out, so is every later one: the names are the first of the list's order.
    const bool may = to_place_more == 0 && to_place.size() < max_names && valid_file_name(file);
    std::size_t bytes = file.size() + 1;
    for (std::size_t i = 0; may && i < to_place.size(); ++i) bytes += to_place[i].size() + 1;
    if (may && bytes <= max_names_bytes)
        to_place.push_back(file);
    else
        ++to_place_more;
}

std::string report_file_t::format() const {
    std::string out = "run_id " + run_id + "\nstatus " + std::to_string(status) + "\ntext " + text + "\ndry_run " +
                      (dry_run ? "1" : "0") + (check ? "\ncheck 1" : "") +
                      (started ? "\nstarted " + std::to_string(started) : "") + "\nduration_ms " +
                      std::to_string(duration_ms) + "\nreceived " + std::to_string(received) + "\n";
    for (const zone_t& z : zones) {
        out += "zone " + z.name + " placed=" + std::to_string(z.placed) + " removed=" + std::to_string(z.removed) +
               " kept=" + std::to_string(z.kept) + " stamp=" + z.stamp + " expires=" + z.expires +
               " expired=" + (z.expired ? "1" : "0") +
               (z.last_success ? " last_success=" + std::to_string(z.last_success) : "");
        if (check) {
            out += " pending=" + std::to_string(z.pending) + " pending_bytes=" + std::to_string(z.pending_bytes) +
                   " patched_bytes=" + std::to_string(z.patched_bytes) + " to_place=";
            for (std::size_t i = 0; i < z.to_place.size(); ++i) out += (i ? "," : "") + z.to_place[i];
            out += " to_place_more=" + std::to_string(z.to_place_more);
        }
        out += " server=" + z.server + "\n";
    }
    return out;
}

report_file_t report_file_t::parse(const char* begin, const char* end) {
    report_file_t r;
    std::uint64_t status = 1u << 31;
    parse_records(begin, end, "as the updater writes it",
                  [&r, &status](const std::string& key, const std::string& value) {
                      if (key == "run_id") return valid_run_id(value) && (r.run_id = value, true);
                      if (key == "status") return number(value, status) && status < (1u << 31);
                      if (key == "text") return r.text = value, true;
                      if (key == "dry_run") return (value == "0" || value == "1") && (r.dry_run = value == "1", true);
                      if (key == "check") return value == "1" && r.zones.empty() && (r.check = true, true);
                      if (key == "started") return number(value, r.started);
                      if (key == "duration_ms") return number(value, r.duration_ms);
                      if (key == "received") return number(value, r.received);
                      if (key != "zone") return false;
                      r.zones.emplace_back();
                      return read_zone(value, r.check, r.zones.back());
                  });
    if (status >= (1u << 31)) throw std::runtime_error("no status");
    r.status = static_cast<int>(status);
    return r;
}

}  // namespace upd
