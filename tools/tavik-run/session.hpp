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
    bool check = false;  // the lists compared only: what a run would do (TAVIK_CHECK=1)
    bool quiet = false;  // nothing shown on success; on failure the status and the Warnings and Errors
    bool verbose = false;
    unsigned timeout = 0;  // seconds until the updater is stopped; 0: no limit
    bool json = false;     // the run's report as one JSON object at the end
    std::string run_id;    // given to the updater (TAVIK_RUN_ID): its report names this run
    std::string metrics;   // where the run's gauges go for node_exporter ("": nowhere)
};

// Reads a tvk.UpdateConfig in protobuf text format; false with a message in error otherwise.
bool load_config(const std::string& path, tvk::UpdateConfig& config, std::string& error);

// Starts the updater, hands it the configuration, shows its progress, answers its
// installation request and returns its exit status (128 + N when signal N killed it). With --json
// `out` gets the JSON object alone and every line for people goes to `err`.
int run_session(const run_options_t& options, const tvk::UpdateConfig& config, std::ostream& out, std::ostream& err);

}  // namespace tavik_run
