// What a run leaves for a fleet's monitoring: gauges in the Prometheus text format, for node_exporter's textfile
// collector.
#pragma once

#include "files/report_file.hpp"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace tavik_run {

// The run as tavik-run saw it, for when the updater left no report of it.
struct run_facts_t {
    std::uint64_t started = 0;  // seconds since 1970, UTC
    double duration = 0;        // seconds
    int status = 0;
    std::uint64_t received = 0;
};

// The gauges of the run (its own report's values where it wrote one, else `facts`) and per zone of
// `zones` (this run's report, or the last one left when this run wrote none, so that a zone's last
// success outlives a run that failed before it wrote its report). Zone names are label values,
// escaped as the format asks; one that is not printable ASCII is left out.
std::string metrics_text(const run_facts_t& facts, const std::optional<upd::report_file_t>& own,
                         const std::optional<upd::report_file_t>& zones);

// Replaces `path` through a temporary file beside it (PATH.tmp, which node_exporter does not read),
// mode 0644 for node_exporter's own account; a link at either path is replaced, never followed.
// A failure is a warning on `err`, never the run's status.
void write_metrics(const std::string& path, const std::string& text, std::ostream& err);

}  // namespace tavik_run
