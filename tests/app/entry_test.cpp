// The real tavik-update: command line, bad channel input, signals, ends.
#include "files/public_key.hpp"
#include "framework/error_code.hpp"
#include "tests/support/updater_process.hpp"

namespace {

using namespace tvk;

using lines_t = std::vector<std::string>;
const std::string start = "Notice: Update 11.0.5.1807201428";

std::string exit_line(ErrorCode code) {
    return "Notice: Exit with status " + std::to_string(code) + " (" + error_code_text(code) + ")";
}

TEST(entry, command_line_and_bad_input) {
    const std::string version = "tavik-update 11.0.5.1807201428, " +  // the development keys', by hand
                                (upd::key::development ? "key 7c839e0b85c89cd8 (development key), ed25519 "
                                                         "c59aabed9143d796 (development key), 1 of 1, lenient lists"
                                                       : upd::key::describe()) +
                                (TAVIK_HTTP2 ? ", HTTP/2 over HTTPS\n" : ", without HTTP/2\n");
    const std::tuple<lines_t, int, std::string, lines_t> modes[] = {
        {{}, 1, "Cannot run standalone. See tavik-update(1) for details.\n", {}},
        {{"-v"}, 0, version, {}},
        {{"--bogus"}, 125, "", {"Error: unrecognised option '--bogus'"}},
        {{"-v", "--HELP"},
         0,
         "Command line options:\n  -h [ --help ]         print help message and exit\n"
         "  -v [ --version ]      print version and exit\n\n",
         {}}};
    for (const auto& [args, status, out, err] : modes) {
        ts::updater_t updater(ts::launch_t{args, nullptr});
        EXPECT_EQ(updater.wait_exit(), status);
        EXPECT_EQ(updater.out(), out);
        EXPECT_EQ(updater.err_lines(), err);
    }
    Configd2UpdateMessage m;
    m.set_tag(Configd2UpdateMessage::USE_CONTEXT);
    const std::string no_config = ts::frame(m.SerializePartialAsString());
    m.set_tag(Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
    const std::string answer = ts::frame(m.SerializePartialAsString());
    m.mutable_error()->set_code(EC_PERMISSION_DENIED);
    const std::string refused = ts::frame(m.SerializePartialAsString());
    const std::tuple<const char*, std::string, ErrorCode, std::string> rows[] = {
        {"7x", "", EC_UNEXPECTED_ERROR,
         "Error: bad lexical cast: source type value could not be interpreted as target"},
        {"+0000012", "", EC_MONITOR_IPC_ERROR, "Error: Monitor IPC error: End of file"},
        {"7", std::string("\x01\0\0\x04", 4), EC_MONITOR_IPC_ERROR,
         "Error: Monitor IPC error: Invalid IPC message size"},  // one byte above 64 MiB
        {"7", ts::frame("\xff\xff\xff"), EC_MONITOR_IPC_ERROR, "Error: Invalid IPC message format"},
        {"7", no_config, EC_PROTOCOL_VIOLATION, "Error: USE_CONTEXT: Protocol violation"},
        {"7", refused, EC_PERMISSION_DENIED, "Error: Update installation: Permission denied"},
        {"7", answer, EC_UNEXPECTED_ERROR, "Error: bad_function_call"},
    };
    for (const auto& [monitor, bytes, status, error] : rows) {  // --help: ignored with a channel
        ts::updater_t updater(ts::launch_t{{"--help"}, monitor, std::atoi(monitor)});
        updater.send_raw(bytes);
        updater.close_write();
        EXPECT_EQ(updater.wait_exit(), status);
        EXPECT_EQ(updater.err_lines(), (lines_t{start, error, exit_line(status)}));
    }
    ts::updater_t no_socket(ts::launch_t{{}, "-1"});
    EXPECT_EQ(no_socket.wait_exit(), EC_UNEXPECTED_ERROR);
    EXPECT_EQ(no_socket.err_lines().at(1).rfind("Error: assign: ", 0), 0u);
}

TEST(entry, signals) {
    ts::scratch_t dir;
    UpdateConfig config = ts::base_config(dir / "var");
    config.set_log_level(LOG_LEVEL_NOTICE);
    for (const auto& [signal, configured] :
         {std::make_pair(SIGTERM, false), {SIGINT, true}, {0, true}}) {  // 0: a second configuration
        ts::updater_t updater;
        ASSERT_TRUE(updater.signals_ready());
        std::vector<Update2ConfigdMessage> messages;
        if (configured) updater.send(ts::use_context(config));
        while (configured && messages.empty()) updater.receive(messages, 100);  // the installation request
        for (int i = 0; i < 3; ++i) updater.kill(SIGHUP);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (signal)
            updater.kill(signal);
        else
            updater.send(ts::use_context(config));
        const auto status = signal ? EC_APP_TERMINATED : EC_UNEXPECTED_ERROR;
        EXPECT_EQ(updater.wait_exit(), status);
        lines_t expected{start, signal ? "Notice: Termination signal received, exiting..." : "Error: bad_function_call",
                         exit_line(status)};
        if (configured)
            expected.insert(expected.begin() + 1,
                            "Warning: No zone is installed and enabled: there is nothing to update");
        EXPECT_EQ(updater.err_lines(), expected);
    }
}

// However a run ends: the exit status, last line and report the daemon always saw.
TEST(entry, each_end_keeps_its_status) {
    ts::scratch_t dir;
    const UpdateConfig none = ts::base_config(dir / "var"),
                       failing = ts::base_config(dir / "var", dir / "no.drl", dir / "var");
    const ts::daemon_t answers{}, refuses{ts::answer_t::refuse},
        hangs_up{ts::answer_t::none,  // instead of an answer
                 [](ts::updater_t&u, const Update2ConfigdMessage&m) {
                     if (m.has_install()) u.hang_up();
                 }};
    const std::tuple<const char*, UpdateConfig, ts::daemon_t, int, std::string> rows[] = {
        {"success", none, answers, 0, "Success"},
        {"a failed zone", failing, answers, 23, "No such file or directory"},
        {"the daemon refuses", none, refuses, 24, "Permission denied"},
        {"a broken channel", none, hangs_up, 1, "Error on monitor channel"},
    };
    for (const auto& [name, config, daemon, code, text] : rows) {
        SCOPED_TRACE(name);
        ts::fs::remove(dir / "var" / "tavik-update.report");
        const ts::attempt_t a = ts::run_attempt(config, daemon);
        const std::string status = std::to_string(code);
        EXPECT_EQ(a.status, code);
        EXPECT_EQ(a.log.lines.back(), "Notice: Exit with status " + status + " (" + text + ")");
        EXPECT_NE(ts::slurp(dir / "var" / "tavik-update.report").find("\nstatus " + status + "\ntext " + text + "\n"),
                  std::string::npos);
    }
}

}  // namespace
