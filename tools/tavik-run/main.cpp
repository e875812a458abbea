// tavik-run: starts tavik-update with a configuration and plays the configuration daemon for it.
#include "session.hpp"

#include "error.pb.h"
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
            const boost::filesystem::path candidate =
                boost::filesystem::path(dirs.substr(start, end - start)) / name;
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
            start = end + 1;
        }
    }
    return boost::filesystem::path(name);
}

}  // namespace

int main(int argc, char** argv) {
    tavik_run::run_options_t options;
    unsigned connections = 0;
    bool no_keep_alive = false, no_patches = false;
    po::options_description visible("Options");
    visible.add_options()
        ("help,h", "print this help and exit")
        ("version", "print the version and the keys the build trusts, and exit")
        ("updater", po::value<std::string>(&options.updater),
         "tavik-update program to start (default: the one beside tavik-run)")
        ("dry-run", po::bool_switch(&options.dry_run),
         "answer the installation request with success without installing")
        ("verbose,v", po::bool_switch(&options.verbose),
         "list the files of the installation request")
        ("timeout", po::value<unsigned>(&options.timeout),
         "stop tavik-update with SIGTERM after this many seconds (SIGKILL 10 s later)")
        ("connections", po::value<unsigned>(&connections),
         "files tavik-update downloads at once, 1 to 16 (default: the build's)")
        ("json", po::bool_switch(&options.json),
         "print the run's report (update_dir/tavik-update.report) and the installation as one JSON object at the end")
        ("no-keep-alive", po::bool_switch(&no_keep_alive),
         "a new connection for every request, instead of keeping each one for the next")
        ("no-patches", po::bool_switch(&no_patches), "whole files only, never patches to the installed ones");
    po::options_description hidden;
    hidden.add_options()("config", po::value<std::string>(&options.config_path));
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
        std::cout << "Usage: tavik-run [options] CONFIG\n"
                     "Starts tavik-update, sends it the tvk.UpdateConfig of CONFIG (protobuf text\n"
                     "format), shows its progress, installs what it asks for and exits with its\n"
                     "exit status.\n\n"
                  << visible << std::endl;
        return 0;
    }
    if (vm.count("version")) {
        std::cout << "tavik-run " << upd_version << ", " << upd::key::describe() << std::endl;
        return 0;
    }
    if (vm.count("connections") && (connections < 1 || connections > 16)) {
        std::cerr << "tavik-run: --connections takes a number from 1 to 16\nTry 'tavik-run --help'." << std::endl;
        return tvk::EC_INVALID_ARGUMENT;
    }
    // tavik-update reads it from its environment.
    if (connections) ::setenv("TAVIK_DOWNLOAD_CONNECTIONS", std::to_string(connections).c_str(), 1);
    if (no_keep_alive) ::setenv("TAVIK_KEEP_ALIVE", "0", 1);
    if (no_patches) ::setenv("TAVIK_PATCHES", "0", 1);
    // A dry run leaves nothing in update_dir that would change a later real run.
    if (options.dry_run) ::setenv("TAVIK_DRY_RUN", "1", 1);
    // The updater's report names this run, so that a report left by another is never shown as its.
    std::random_device random;
    char run_id[40];
    std::snprintf(run_id, sizeof run_id, "%08x%08x%08x%08x", random(), random(), random(), random());
    ::setenv("TAVIK_RUN_ID", (options.run_id = run_id).c_str(), 1);
    if (options.config_path.empty()) {
        std::cerr << "tavik-run: no configuration file given\nTry 'tavik-run --help'." << std::endl;
        return tvk::EC_INVALID_ARGUMENT;
    }
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
        std::cerr << "tavik-run: the configuration names no log; tavik-update logs to standard error" << std::endl;
    }
    return tavik_run::run_session(options, config, std::cout, std::cerr);
}
