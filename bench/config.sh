# Sourced by the benchmarks (from the top of the source tree).

# Builds the programs for a timed run in BUILD_DIR (default build) and sets `bin` to their folder.
bench_build() {
  local build=${BUILD_DIR:-build}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target tavik-update tavik-run tavik-sign >/dev/null
  bin="$(pwd)/$build/bin"
}

# Prints the updater configuration of a timed run (warnings only, on standard error, as the
# current account) for one zone.  Usage: bench_config DRL BASES_DIR UPDATE_DIR
bench_config() {
  cat <<CONF
log_level: LOG_LEVEL_WARNING
actual_log { type: STDERR }
run_as_user { uid: $(id -u) }
network_timeout: 30000
update_dir: "$3"
installed_applications: "bench"
base_installed: true
base_update_enabled: true
base_drl_path: "$1"
virus_base_dir: "$2"
CONF
}
