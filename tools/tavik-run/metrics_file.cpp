// What a run leaves for a fleet's monitoring: gauges in the Prometheus text format, for node_exporter's textfile
// collector.
#include "metrics_file.hpp"

#include "files/record_file.hpp"
#include "framework/error_code.hpp"
#include "framework/utc_time.hpp"

#include <algorithm>
#include <cstdio>

namespace tavik_run {

namespace {

const char prefix[] = "tavik_update_";

// One gauge and its samples, in base units.
class family_t {
public:
    family_t(const char* name, const char* help) : name_(name), help_(help) {}

    void sample(const std::string& labels, const std::string& value) {
        samples_ += prefix + name_ + labels + " " + value + "\n";
    }
    // Nothing when it has no sample.
    std::string text() const {
        if (samples_.empty()) return "";
        return "# HELP " + (prefix + name_) + " " + help_ + "\n# TYPE " + prefix + name_ + " gauge\n" + samples_;
    }

private:
    std::string name_, help_, samples_;
};

// {zone="NAME"}, the value escaped as the text format asks; "" for a name that is not printable ASCII.
std::string zone_label(const std::string& zone) {
    std::string value;
    for (const char c : zone) {
        if (c < 0x20 || c >= 0x7f) return "";
        if (c == '\\' || c == '"') value += '\\';
        value += c;
    }
    return value.empty() ? "" : "{zone=\"" + value + "\"}";
}

std::string seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

}  // namespace

std::string metrics_text(const run_facts_t& facts, const std::optional<upd::report_file_t>& own,
                         const std::optional<upd::report_file_t>& zones) {
    family_t start("last_run_start_timestamp_seconds", "When the last run started (seconds since 1970).");
    family_t duration("last_run_duration_seconds", "How long the last run took.");
    family_t status("last_run_status", "The exit status of the last run (0: success).");
    family_t received("last_run_received_bytes", "The bytes the last run received.");
    start.sample("", std::to_string(own && own->started ? own->started : facts.started));
    duration.sample("", own ? seconds(static_cast<double>(own->duration_ms) / 1000) : seconds(facts.duration));
    status.sample("", std::to_string(facts.status));
    received.sample("", std::to_string(own ? own->received : facts.received));
    family_t success("zone_last_success_timestamp_seconds",
                     "When a run last brought the zone up to date or found it so (seconds since 1970).");
    family_t expiry("zone_list_expiry_timestamp_seconds", "When the zone's file list expires (seconds since 1970).");
    family_t expired("zone_list_expired", "Whether the zone went on with a file list that had expired (1) or not (0).");
    family_t placed("zone_files_placed", "The files the last run placed in the zone.");
    family_t removed("zone_files_removed", "The files the last run removed from the zone.");
    for (const upd::report_file_t::zone_t& z : zones ? zones->zones : std::vector<upd::report_file_t::zone_t>()) {
        const std::string label = zone_label(z.name);
        if (label.empty()) continue;
        long long at = 0;
        if (z.last_success) success.sample(label, std::to_string(z.last_success));
        if (upd::from_utc_digits(z.expires, at)) expiry.sample(label, std::to_string(at));
        expired.sample(label, z.expired ? "1" : "0");
        placed.sample(label, std::to_string(z.placed));
        removed.sample(label, std::to_string(z.removed));
    }
    std::string text;
    for (const family_t* f : {&start, &duration, &status, &received, &success, &expiry, &expired, &placed, &removed})
        text += f->text();
    return text;
}

void write_metrics(const std::string& path, const std::string& text, std::ostream& err) {
    try {
        upd::save_record_file(path, text, 0644);
    } catch (const std::exception& e) {
        err << "tavik-run: warning: the metrics " << path << " cannot be written: " << exception_text(e) << std::endl;
    }
}

}  // namespace tavik_run
