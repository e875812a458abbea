// Until when update servers asked not to be asked again (Retry-After), kept across runs.
#include "files/servers_file.hpp"

#include "files/record_file.hpp"
#include "framework/cf_log.hpp"
#include "framework/limits.hpp"
#include "framework/utc_time.hpp"

#include <algorithm>

namespace upd {

servers_file_t::waits_t servers_file_t::parse(const char* begin, const char* end) {
    waits_t waits;
    parse_records(begin, end, "\"SECONDS URL\" of a server not named before",
                  [&waits](const std::string& until, const std::string& url) {
                      const bool printable = std::none_of(url.begin(), url.end(),
                                                          [](char c) { return static_cast<unsigned char>(c) < 0x20; });
                      return !until.empty() && until.size() <= 12 &&
                             until.find_first_not_of("0123456789") == std::string::npos && !url.empty() && printable &&
                             waits.emplace(url, std::stoll(until)).second;
                  });
    return waits;
}

std::string servers_file_t::format(const waits_t& waits, std::time_t now) {
    std::string text;
    for (const auto& w : waits) {
        const std::string line = std::to_string(w.second) + ' ' + w.first + '\n';
        if (w.second > now && text.size() + line.size() <= max_size) text += line;
    }
    return text;
}

servers_file_t::waits_t servers_file_t::load(const boost::filesystem::path& path, std::time_t now) {
    waits_t waits;
    load_record_file(path, max_size, "Servers", "no server is left alone for an earlier request in this run",
                     [&waits](const char* begin, const char* end) { waits = parse(begin, end); });
    for (auto it = waits.begin(); it != waits.end();) {
        if (it->second <= now + max_server_wait) {
            ++it;
            continue;
        }
        LOG_DEBUG("Servers " << path << ": " << it->first << " asked to wait until " << utc_minute(it->second)
                             << ", beyond " << max_server_wait / 3600 << " hours: not kept");
        it = waits.erase(it);
    }
    return waits;
}

void servers_file_t::save(const boost::filesystem::path& path, const waits_t& waits, std::time_t now) {
    save_record_file(path, format(waits, now));
}

}  // namespace upd
