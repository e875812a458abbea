// Process-wide pieces of the entry: command-line mode, exit, terminate and protobuf log handlers.
#include "app/entry.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"

#include <boost/program_options.hpp>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <new>
#include <unistd.h>

namespace po = boost::program_options;

namespace {

void ensure_console_log() {
    if (has_log()) return;
    cf_log_t::level_ = cf_log_t::notice;
    set_log(std::make_shared<cf_console_log_t>());
}

constexpr int command_line_style = po::command_line_style::unix_style | po::command_line_style::long_case_insensitive;
static_assert(command_line_style == 0x7f7, "unix style with case-insensitive long options");

}  // namespace

void run_from_command_line(const char* program_name, const char* version, int argc, char** argv) {
    cf_log_t::level_ = cf_log_t::error;
    set_log(std::make_shared<cf_console_log_t>());

    po::options_description options("Command line options", po::options_description::m_default_line_length,
                                    po::options_description::m_default_line_length / 2);
    options.add_options()("help,h", po::bool_switch(), "print help message and exit")("version,v", po::bool_switch(),
                                                                                      "print version and exit");

    po::variables_map vm;
    po::store(po::parse_command_line(argc, argv, options, command_line_style), vm);
    po::notify(vm);

    if (vm["help"].as<bool>()) {
        std::cout << options << std::endl;
        std::exit(0);
    }
    if (vm["version"].as<bool>()) {
        std::cout << program_name << ' ' << version << std::endl;
        std::exit(0);
    }
    std::cout << "Cannot run standalone. See " << program_name << "(1) for details." << std::endl;
    std::exit(1);
}

void exit_with_status(int status) {
    ensure_console_log();
    LOG_NOTICE("Exit with status " << status << " (" << error_code_text(static_cast<tvk::ErrorCode>(status)) << ")");
    std::exit(status);
}

void on_terminate() {
    // Running out of memory while reporting leaves through the outer catch.
    try {
        ensure_console_log();
        // std::terminate can be called with no exception in flight (a joinable thread destroyed,
        // a noexcept violation reported by hand); rethrowing then would re-enter this handler.
        const std::exception_ptr current = std::current_exception();
        if (!current) {
            LOG_ERROR("Unexpected exception");
            ::_exit(tvk::EC_UNEXPECTED_ERROR);
        }
        try {
            std::rethrow_exception(current);
        } catch (const std::exception& e) {
            LOG_ERROR(exception_text(e));
            ::_exit(exit_code_of(e));
        } catch (...) {
            LOG_ERROR("Unexpected exception");
            ::_exit(tvk::EC_UNEXPECTED_ERROR);
        }
    } catch (const std::bad_alloc&) {
        log_out_of_memory();
        ::_exit(tvk::EC_NO_MEMORY);
    }
    ::_exit(tvk::EC_UNEXPECTED_ERROR);
}

void on_protobuf_log(google::protobuf::LogLevel level, const char* /*file*/, int /*line*/, const std::string& message) {
    static const char large_message[] = "Reading dangerously large protocol message.";
    switch (level) {
        case google::protobuf::LOGLEVEL_INFO: LOG_INFO(message); break;
        case google::protobuf::LOGLEVEL_WARNING:
            // Frames up to the link's limit are legitimate; the library warns about them anyway.
            if (message.compare(0, sizeof(large_message) - 1, large_message) == 0) break;
            LOG_WARNING(message);
            break;
        default: LOG_ERROR(message); break;
    }
}
