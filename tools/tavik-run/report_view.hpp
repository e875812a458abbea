// The report the updater left in update_dir, read back for this run: as JSON, and a check's answer as text.
#pragma once

#include "files/report_file.hpp"

#include <optional>
#include <ostream>
#include <string>

namespace tavik_run {

// The report in update_dir when it is as the updater writes it, whatever run wrote it.
std::optional<upd::report_file_t> last_report(const std::string& update_dir);
// The same when it names `run_id`: another (an earlier run's, when this one ended before it wrote
// one) is none.
std::optional<upd::report_file_t> this_runs_report(const std::string& update_dir, const std::string& run_id);

// Whether a check found anything to place or remove.
bool pending(const upd::report_file_t& report);
// Whether a zone went on with a list that had expired on every server (the status 95 of a run).
bool expired(const upd::report_file_t& report);

// The report (null when none) with what tavik-run installed (JSON already, "null" when nothing was
// asked), as one JSON object; a check adds whether anything is pending and whether a list had
// expired. The report's values are escaped, never copied raw: the run-as account can write there.
std::string json_report(const std::optional<upd::report_file_t>& report, int status, const std::string& installed,
                        bool check);

// A check's answer: per zone what a run would do (and the files it would place, when they are
// few), then whether anything is pending.
void show_check(std::ostream& out, const upd::report_file_t& report);

}  // namespace tavik_run
