# Sourced by the benchmarks: prints the updater configuration of a timed run (warnings only, on
# standard error, as the current account) for one zone.  Usage: bench_config DRL BASES_DIR UPDATE_DIR
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
