// tavik-run: starts tavik-update with a configuration and plays the configuration daemon for it.
#include "session.hpp"

#include "error.pb.h"
#include "engine/run_settings.hpp"
#include "net/rate_limit.hpp"
#include "files/public_key.hpp"
#include "framework/version.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/program_options.hpp>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <random>
#include <unistd.h>
#if defined(__FreeBSD__)
#include <sys/sysctl.h>
#include <sys/types.h>
#endif

namespace po = boost::program_options;

namespace {

// Our own executable, to find the updater beside it.
boost::filesystem::path own_executable(const char* argv0) {
#if defined(__linux__)
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0) return boost::filesystem::path(std::string(buffer, static_cast<std::size_t>(n)));
#elif defined(__FreeBSD__)
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, -1};
    char buffer[PATH_MAX];
    std::size_t size = sizeof buffer;
    if (::sysctl(mib, 4, buffer, &size, nullptr, 0) == 0) return boost::filesystem::path(buffer);
#endif
    const std::string name = argv0 ? argv0 : "";
    if (name.find('/') != std::string::npos) return boost::filesystem::absolute(name);
    if (const char* path = std::getenv("PATH")) {
        std::string dirs = path;
        std::size_t start = 0;
        while (start <= dirs.size()) {
            const std::size_t end = std::min(dirs.find(':', start), dirs.size());
            const boost::filesystem::path candidate = boost::filesystem::path(dirs.substr(start, end - start)) / name;
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
            start = end + 1;
        }
    }
    return boost::filesystem::path(name);
}

// Switches of the command line that tavik-update reads from its environment.
struct switches_t {
    unsigned connections = 0;
    unsigned wait = 0;
    std::string max_rate;
    bool wait_given = false, no_keep_alive = false, no_patches = false, http1 = false;
};

po::options_description visible_options(tavik_run::run_options_t& options, switches_t& s) {
    po::options_description visible("Options");
    visible.add_options()("help,h", "print this help and exit")(
        "version", "print the version and the keys the build trusts, and exit")(
        "updater", po::value<std::string>(&options.updater),
        "tavik-update program to start (default: the one beside tavik-run)")(
        "dry-run", po::bool_switch(&options.dry_run),
        "answer the installation request with success without installing")(
        "check", po::bool_switch(&options.check),
        "compare the lists only and tell per zone what a run would place or remove and fetch; install nothing")(
        "quiet,q", po::bool_switch(&options.quiet),
        "print nothing when the run succeeds; when it fails, its status and the updater's Warnings and Errors on "
        "standard error")("verbose,v", po::bool_switch(&options.verbose), "list the files of the installation request")(
        "timeout", po::value<unsigned>(&options.timeout),
        "stop tavik-update with SIGTERM after this many seconds (SIGKILL 10 s later)")(
        "wait", po::value<unsigned>(&s.wait),
        "wait up to this many seconds (0 to 86400) for another run on the same update_dir, instead of ending with "
        "status 2")("connections", po::value<unsigned>(&s.connections),
                    "files tavik-update downloads at once, 1 to 16 (default: the build's)")(
        "json", po::bool_switch(&options.json),
        "print the run's report (update_dir/tavik-update.report) and the installation as one JSON object at the end, "
        "alone on standard output (everything else goes to standard error)")(
        "no-keep-alive", po::bool_switch(&s.no_keep_alive),
        "a new connection for every request, instead of keeping each one for the next (HTTP/1.1 only)")(
        "http1.1", po::bool_switch(&s.http1),
        "HTTP/1.1 alone: HTTPS servers are not offered HTTP/2, and each lane keeps a connection of its own")(
        "no-patches", po::bool_switch(&s.no_patches), "whole files only, never patches to the installed ones")(
        "max-rate", po::value<std::string>(&s.max_rate),
        "receive at most this many bytes a second over all connections, 1k to 1024M (k: 1024, M: 1024 * 1024)")(
        "metrics", po::value<std::string>(&options.metrics),
        "after the run, write its gauges in the Prometheus text format to this file (for node_exporter's textfile "
        "collector)");
    return visible;
}

// A number outside its option's range is a usage error, as one that does not parse.
bool out_of_range(const po::variables_map& vm, const char* name, unsigned value, unsigned low, unsigned high) {
    if (!vm.count(name) || (value >= low && value <= high)) return false;
    std::cerr << "tavik-run: --" << name << " takes a number from " << low << " to " << high
              << "\nTry 'tavik-run --help'." << std::endl;
    return true;
}

// Reads the command line: -1 to go on, or the status to exit with.
int parse(int argc, char** argv, tavik_run::run_options_t& options, switches_t& s) {
    const po::options_description visible = visible_options(options, s);
    po::options_description hidden;
    hidden.add_options()("config", po::value<std::string>(&options.config_path)->default_value(TAVIK_DEFAULT_CONFIG));
    po::options_description all;
    all.add(visible).add(hidden);
    po::positional_options_description positional;
    positional.add("config", 1);
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(all).positional(positional).run(), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        std::cerr << "tavik-run: " << e.what() << "\nTry 'tavik-run --help'." << std::endl;
        return tvk::EC_INVALID_ARGUMENT;
    }
    if (vm.count("help")) {
        std::cout << "Usage: tavik-run [options] [CONFIG]\n"
                     "Starts tavik-update, sends it the tvk.UpdateConfig of CONFIG (protobuf text\n"
                     "format; default " TAVIK_DEFAULT_CONFIG
                     "), shows its progress, installs what\n"
                     "it asks for and exits with its exit status.\n\n"
                  << visible << std::endl;
        return 0;
    }
    if (vm.count("version")) {
        std::cout << "tavik-run " << upd_version << ", " << upd::key::describe() << std::endl;
        return 0;
    }
    if (out_of_range(vm, "connections", s.connections, 1, upd::run_settings_t::max_connections) ||
        out_of_range(vm, "wait", s.wait, 0, upd::run_settings_t::max_lock_wait))
        return tvk::EC_INVALID_ARGUMENT;
    if (vm.count("max-rate") && !upd::rate_limit_t::parse(s.max_rate)) {
        std::cerr << "tavik-run: --max-rate takes a rate from 1k to 1024M bytes a second, such as 500k or 2M"
                  << "\nTry 'tavik-run --help'." << std::endl;
        return tvk::EC_INVALID_ARGUMENT;
    }
    s.wait_given = vm.count("wait") > 0;
    return -1;
}

// tavik-update reads these from its environment.
void pass_switches(tavik_run::run_options_t& options, const switches_t& s) {
    if (s.connections) ::setenv("TAVIK_DOWNLOAD_CONNECTIONS", std::to_string(s.connections).c_str(), 1);
    if (s.wait_given) ::setenv("TAVIK_LOCK_WAIT", std::to_string(s.wait).c_str(), 1);
    if (s.no_keep_alive) ::setenv("TAVIK_KEEP_ALIVE", "0", 1);
    if (s.http1) ::setenv("TAVIK_HTTP2", "0", 1);
    if (s.no_patches) ::setenv("TAVIK_PATCHES", "0", 1);
    if (!s.max_rate.empty()) ::setenv("TAVIK_MAX_RATE", s.max_rate.c_str(), 1);
    // A check asks for no installation: it wins over a dry run. tavik-run alone decides whether
    // a run is one, since only then does it show the answer.
    if (options.check)
        options.dry_run = false, ::setenv("TAVIK_CHECK", "1", 1);
    else
        ::unsetenv("TAVIK_CHECK");
    // A dry run leaves nothing in update_dir that would change a later real run.
    if (options.dry_run) ::setenv("TAVIK_DRY_RUN", "1", 1);
    // The updater's report names this run, so that a report left by another is never shown as its.
    std::random_device random;
    char run_id[40];
    std::snprintf(run_id, sizeof run_id, "%08x%08x%08x%08x", random(), random(), random(), random());
    ::setenv("TAVIK_RUN_ID", (options.run_id = run_id).c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
    tavik_run::run_options_t options;
    switches_t switches;
    const int parsed = parse(argc, argv, options, switches);
    if (parsed >= 0) return parsed;
    pass_switches(options, switches);
    if (options.updater.empty()) {
        options.updater = (own_executable(argv[0]).parent_path() / "tavik-update").string();
    }

    tvk::UpdateConfig config;
    std::string error;
    if (!tavik_run::load_config(options.config_path, config, error)) {
        std::cerr << "tavik-run: " << error << std::endl;
        return tvk::EC_BAD_CONFIG;
    }
    // Without a log the updater would log to syslog, where a failing run leaves no trace here.
    if (!config.has_actual_log()) {
        config.mutable_actual_log()->set_type(tvk::Log::STDERR);
        if (!options.quiet)
            std::cerr << "tavik-run: the configuration names no log; tavik-update logs to standard error" << std::endl;
    }
    return tavik_run::run_session(options, config, std::cout, std::cerr);
}
