// The options of tavik-sign make-zone: read from its command line, checked, and what they name.
#include "tools/tavik-sign/zone_options.hpp"

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/generation.hpp"
#include "tools/tavik-sign/published.hpp"
#include "tools/tavik-sign/zone_checks.hpp"

#include "files/lst_file.hpp"
#include "files/mirror_tree.hpp"
#include "framework/utc_time.hpp"

#include <boost/filesystem/operations.hpp>

#include <algorithm>
#include <ctime>
#include <map>
#include <set>

namespace fs = boost::filesystem;

namespace sign {

namespace {

void refuse(const std::string& problem) {
    if (!problem.empty()) throw std::runtime_error(problem);
}

}  // namespace

const char zone_usage[] =
    "--key K --files DIR --out OUTDIR --url U [--url U]... [--fallback U]... [--pattern P]... "
    "[--zone NAME] [--ed25519-key FILE]... [--new-keys] [--wait SECONDS] [--stamp DIGITS] "
    "[--valid-for DAYSd|HOURSh|none] "
    "[--drl-name NAME] "
    "[--previous DIR]... [--no-lzma-list] [--plain-only] [--allow-empty]";

zone_options_t zone_options(const std::vector<std::string>& args) {
    zone_options_t o;
    std::string wait = "0";
    const std::map<std::string, std::string*> values{
        {"--key", &o.key},           {"--files", &o.files},         {"--out", &o.out}, {"--stamp", &o.stamp},
        {"--drl-name", &o.drl_name}, {"--valid-for", &o.valid_for}, {"--wait", &wait}, {"--zone", &o.zone}};
    const std::map<std::string, std::vector<std::string>*> lists{{"--url", &o.urls},
                                                                 {"--fallback", &o.fallbacks},
                                                                 {"--pattern", &o.patterns},
                                                                 {"--previous", &o.previous},
                                                                 {"--ed25519-key", &o.ed25519_keys}};
    const std::map<std::string, std::pair<bool*, bool>> switches{{"--no-lzma-list", {&o.lzma_list, false}},
                                                                 {"--plain-only", {&o.packed, false}},
                                                                 {"--allow-empty", {&o.allow_empty, true}},
                                                                 {"--new-keys", {&o.new_keys, true}}};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (values.count(a) && has_value)
            *values.at(a) = args[++i];
        else if (lists.count(a) && has_value)
            lists.at(a)->push_back(args[++i]);
        else if (switches.count(a))
            *switches.at(a).first = switches.at(a).second;
        else
            throw usage_error_t("unexpected argument " + quoted(a));
    }
    const std::pair<const char*, bool> required[] = {{"--key", !o.key.empty()},
                                                     {"--files", !o.files.empty()},
                                                     {"--out", !o.out.empty()},
                                                     {"--url", !o.urls.empty()}};
    for (const auto& r : required)
        if (!r.second) throw usage_error_t(std::string(r.first) + " is missing");
    if (wait.empty() || wait.size() > 5 || wait.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(wait) > o.max_wait)
        throw usage_error_t("--wait takes a number from 0 to " + std::to_string(o.max_wait));
    o.wait = static_cast<unsigned>(std::stoul(wait));
    return o;
}

void check_options(const zone_options_t& o) {
    if (o.urls.empty()) throw std::runtime_error("at least one --url is needed");
    for (const std::string& u : o.urls) refuse(check_url(u, false));
    for (const std::string& u : o.fallbacks) refuse(check_url(u, true));
    for (const std::string& p : o.patterns) refuse(check_pattern(p));
    if (!o.zone.empty() && !upd::list_trust_t::valid_zone(o.zone))
        throw std::runtime_error("the zone " + quoted(o.zone) + " must be 1 to " +
                                 std::to_string(upd::list_trust_t::max_zone_chars) + " letters, digits and '_'");
    validity_seconds(o.valid_for);
    if (!o.drl_name.empty() && !check_file_name(o.drl_name).empty()) {
        throw std::runtime_error("--drl-name " + quoted(o.drl_name) + ": " + check_file_name(o.drl_name));
    }
    if (!o.stamp.empty() && !upd::list_trust_t::valid_stamp(o.stamp)) {
        throw std::runtime_error("the stamp " + quoted(o.stamp) + " must be 1 to " +
                                 std::to_string(upd::list_trust_t::max_stamp_digits) + " decimal digits");
    }
}

std::string list_stamp(const zone_options_t& o) {
    // To the second: two lists made in the same minute must not share a stamp, or a mirror could
    // serve either. Taken under the lock: a run that waited for it stamps its list with the time it
    // got it, not the time it began.
    const std::string stamp = o.stamp.empty() ? upd::utc_digits(std::time(nullptr)) : o.stamp;
    // Clients take no list below the one they installed last, and may take one of the same stamp
    // from any mirror: each list must be above the last.
    const std::string previous = published_t::last_stamp(o.out);
    if (!previous.empty() && !upd::list_trust_t::stamp_less(previous, stamp)) {
        throw std::runtime_error("the stamp " + stamp + " is not above " + previous + ", the stamp of the list in " +
                                 quoted(o.out) + " (to go back, remove that tree first)");
    }
    return stamp;
}

long long validity_seconds(const std::string& text) {
    if (text == "none") return 0;
    const std::string digits = text.substr(0, text.size() - 1);
    const char unit = text.empty() ? ' ' : text.back();
    if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (unit != 'd' && unit != 'h'))
        throw std::runtime_error("--valid-for " + quoted(text) + " is none of DAYSd, HOURSh and none");
    const long long seconds = std::stoll(digits) * (unit == 'd' ? 86400 : 3600);
    // Clients allow their clocks this much error: a list valid for less could expire, for a client
    // whose clock is ahead, before the mirrors have served it.
    if (seconds < upd::list_trust_t::clock_allowance)
        throw std::runtime_error("--valid-for " + quoted(text) + " is less than an hour");
    return seconds;
}

std::string list_expiry(const zone_options_t& o) {
    const long long seconds = validity_seconds(o.valid_for);
    return seconds ? upd::utc_digits(std::time(nullptr) + seconds) : "";
}

bool made_by_make_zone(const std::string& name) {
    static const char* const names[] = {upd::mirror_tree::server_list, upd::mirror_tree::zone_ini,
                                        upd::mirror_tree::list,        upd::mirror_tree::packed_list,
                                        published_t::record_name,      upd::mirror_tree::patches};
    return std::count(std::begin(names), std::end(names), name) > 0;
}

std::vector<zone_input_t> list_inputs(const zone_options_t& o) {
    if (!fs::is_directory(o.files)) throw std::runtime_error(quoted(o.files) + " is not a directory");
    std::vector<zone_input_t> inputs;
    boost::system::error_code ec;
    for (fs::directory_iterator it(o.files, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string(), path = it->path().string();
        if (generation_t::of_tree(o.out, it->path())) continue;
        if (!fs::is_regular_file(it->path()))
            throw std::runtime_error(quoted(path) + " is not a regular file");  // follows links
        const std::string problem = check_file_name(name);
        if (!problem.empty()) throw std::runtime_error(quoted(path) + ": " + problem);
        if (made_by_make_zone(name))
            throw std::runtime_error(quoted(path) + ": " + name + " is made by make-zone itself");
        inputs.push_back({name, path});
    }
    if (ec) throw std::runtime_error("cannot list " + quoted(o.files) + ": " + ec.message());
    if (inputs.empty() && !o.allow_empty) {
        throw std::runtime_error(quoted(o.files) +
                                 " holds no regular file (--allow-empty publishes a zone without files)");
    }
    std::sort(inputs.begin(), inputs.end(),
              [](const zone_input_t& a, const zone_input_t& b) { return a.name < b.name; });
    // NAME.lzma of one file would overwrite another input of that name.
    std::set<std::string> names;
    for (const zone_input_t& i : inputs) names.insert(i.name);
    for (const zone_input_t& i : inputs) {
        if (o.packed && !upd::lst_file_t::is_timestamp(i.name) &&
            names.count(i.name + upd::mirror_tree::packed_suffix)) {
            throw std::runtime_error(quoted(i.path + upd::mirror_tree::packed_suffix) +
                                     " would be replaced by the packed form of " + i.name);
        }
    }
    return inputs;
}

}  // namespace sign
