// Entry of tavik-update: command-line mode without the control channel, else one update run.
#include "app/entry.hpp"
#include "app/inventory.hpp"
#include "files/public_key.hpp"
#include "framework/version.hpp"
#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"

#include <boost/lexical_cast.hpp>
#include <google/protobuf/stubs/common.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <exception>

int main(int argc, char** argv) {
    std::set_terminate(on_terminate);
    google::protobuf::SetLogHandler(on_protobuf_log);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    // A peer that goes away must end the run through the channel's error path (status 1),
    // not kill the process with SIGPIPE on a platform where sends do not suppress it.
    std::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    try {
        const char* monitor = std::getenv("COM_TAVIK_MONITOR");
        // The key a build trusts tells builds apart; the repository's development key is named.
        const std::string version = std::string(upd_version) + ", " + upd::key::describe() +
                                    (TAVIK_HTTP2 ? ", HTTP/2 over HTTPS" : ", without HTTP/2");
        if (!monitor) run_from_command_line("tavik-update", version.c_str(), argc, argv);

        LOG_NOTICE("Update " << upd_version);
        const int fd = boost::lexical_cast<int>(monitor);
        {
            upd::inventory_t inventory;
            status = inventory.run(fd).code();
        }
    } catch (const std::exception& e) {
        LOG_ERROR(exception_text(e));
        status = exit_code_of(e);
    }
    exit_with_status(status);
}
