// One update attempt driven from our side of the control channel, from start to exit status.
#pragma once

#include "update_config.pb.h"

#include <ostream>
#include <string>

namespace tavik_run {

struct run_options_t {
    std::string config_path;
    std::string updater;
    bool dry_run = false;
    bool verbose = false;
    unsigned timeout = 0;  // seconds until the updater is stopped; 0: no limit
    bool json = false;     // the run's report as one JSON object at the end
    std::string run_id;    // given to the updater (TAVIK_RUN_ID): its report names this run
};

// Reads a tvk.UpdateConfig in protobuf text format; false with a message in error otherwise.
bool load_config(const std::string& path, tvk::UpdateConfig& config, std::string& error);

// Starts the updater, hands it the configuration, shows its progress, answers its
// installation request and returns its exit status (128 + N when signal N killed it).
int run_session(const run_options_t& options, const tvk::UpdateConfig& config, std::ostream& out,
                std::ostream& err);

// The report the updater left in update_dir (its "KEY VALUE" lines), with what tavik-run
// installed, as one JSON object; the report's values are checked and escaped, never copied raw
// (the run-as account can write there). `installed` is JSON already.
// Only a report that names `run_id` is this run's: another (an earlier run's, when this one ended
// before it wrote one) is null.
std::string json_report(const std::string& update_dir, const std::string& run_id, int status, const std::string& installed);

}  // namespace tavik_run
