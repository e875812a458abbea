// The configuration-daemon client against a test peer on the other end of a socket pair.
#include "control/configd.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_io.hpp"

#include <boost/asio/io_service.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::string le32(std::uint32_t n) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((n >> (8 * i)) & 0xff);
    return s;
}

std::string frame(const std::string& payload) { return le32(static_cast<std::uint32_t>(payload.size())) + payload; }

std::string frame(const tvk::Configd2UpdateMessage& m) { return frame(m.SerializePartialAsString()); }

tvk::Configd2UpdateMessage use_context(const std::string& update_dir) {
    tvk::Configd2UpdateMessage m;
    m.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
    m.mutable_config()->set_update_dir(update_dir);
    return m;
}

tvk::Configd2UpdateMessage install_response() {
    tvk::Configd2UpdateMessage m;
    m.set_tag(tvk::Configd2UpdateMessage::INSTALL_UPDATES_RESPONSE);
    return m;
}

tvk::Configd2UpdateMessage install_failed(tvk::ErrorCode code, const char* what) {
    tvk::Configd2UpdateMessage m = install_response();
    m.mutable_error()->set_code(code);
    if (what) m.mutable_error()->set_what(what);
    return m;
}

struct line_t {
    int level;
    std::string text;
};

class capture_log_t : public cf_log_t {
public:
    explicit capture_log_t(std::vector<line_t>& lines) : lines_(lines) {}
    void open() override {}
    void write(level_t level, const std::string& message) override { lines_.push_back({level, message}); }
    void write(const std::string&, int, const std::string& message) override {
        lines_.push_back({-1, message});
    }
    void out_of_memory() override {}

private:
    std::vector<line_t>& lines_;
};

// One client on one end of a socket pair; the test plays the daemon on the other end.
struct session_t {
    session_t() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) throw std::runtime_error("socketpair");
        peer = fds[1];
        configd = std::make_shared<upd::configd_t>();
        configd->start(io, fds[0], [this](const tvk::UpdateConfig& config) {
            contexts.push_back(config.update_dir());
        });
    }
    ~session_t() {
        if (peer >= 0) ::close(peer);
        configd.reset();
    }

    boost::asio::io_service io;
    std::shared_ptr<upd::configd_t> configd;
    int peer = -1;
    std::vector<std::string> contexts;
};

class ConfigdTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        set_log(std::make_shared<capture_log_t>(lines_));
        cf_log_t::level_ = cf_log_t::debug;
        fresh_session();
    }
    void TearDown() override {
        s_.reset();
        reset_log_for_tests();
    }

    void fresh_session() {
        s_.reset();
        s_ = std::make_unique<session_t>();
        lines_.clear();
    }
    void close_peer() {
        if (s_->peer >= 0) ::close(s_->peer);
        s_->peer = -1;
    }
    void send(const std::string& bytes) { write_all(s_->peer, bytes.data(), bytes.size()); }

    // Runs handlers until `done` holds or a handler throws; returns what was thrown.
    std::exception_ptr run_until(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        try {
            while (!done() && !s_->io.stopped() && std::chrono::steady_clock::now() < deadline) {
                s_->io.run_one_for(std::chrono::milliseconds(100));
            }
        } catch (...) {
            return std::current_exception();
        }
        return nullptr;
    }
    std::exception_ptr run_until_thrown() {
        return run_until([] { return false; });
    }

    tvk::Update2ConfigdMessage receive_message() {
        std::string len(4, '\0');
        read_exact(s_->peer, &len[0], 4);
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(len[i]);
        std::string payload(n, '\0');
        read_exact(s_->peer, &payload[0], n);
        tvk::Update2ConfigdMessage m;
        if (!m.ParseFromString(payload)) throw std::runtime_error("unparsable frame from the client");
        return m;
    }
    // Runs the loop until the client's pending write is on the wire, then reads it.
    tvk::Update2ConfigdMessage flush_and_receive() {
        s_->io.poll();
        return receive_message();
    }

    std::vector<std::string> lines_at(int level) const {
        std::vector<std::string> out;
        for (const auto& l : lines_) {
            if (l.level == level) out.push_back(l.text);
        }
        return out;
    }

    std::unique_ptr<session_t> s_;
    std::vector<line_t> lines_;
};

TEST_F(ConfigdTest, InstallRequestKeepsSequenceOrderAndSortsTheSets) {
    struct row_t {
        const char* name;
        int level;
        std::vector<upd::install_entry_t> to_place;
        std::set<std::string> to_remove;
        std::set<std::string> up_to_date;
        std::vector<std::string> debug_lines;
    };
    const std::vector<row_t> rows = {
        {"empty lists", cf_log_t::debug, {}, {}, {}, {"Monitor: removed 0, updated 0, up to date 0"}},
        {"mixed lists",
         cf_log_t::debug,
         {{"/opt/z/tavik32.dws", "/var/upd/base/z.dws"}, {"/opt/a/a.vdb", "/var/upd/base/a.vdb"}},
         {"/opt/old/zz.vdb", "/opt/old/aa.vdb", "/opt/old/mm.vdb"},
         {"/opt/b", "/opt/a"},
         {"Monitor: removed 3, updated 2, up to date 2"}},
        {"threshold above Debug builds no line", cf_log_t::info, {{"/d", "/s"}}, {}, {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        lines_.clear();
        cf_log_t::level_ = row.level;
        s_->configd->request_install(row.to_place, row.to_remove, row.up_to_date, [] {});
        EXPECT_EQ(row.debug_lines, lines_at(cf_log_t::debug));

        const auto m = flush_and_receive();
        EXPECT_EQ(tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST, m.tag());
        ASSERT_TRUE(m.has_install());
        EXPECT_FALSE(m.has_check() || m.has_download() || m.has_stat());
        const auto& install = m.install();
        ASSERT_EQ(static_cast<int>(row.to_place.size()), install.to_place_size());
        for (std::size_t i = 0; i < row.to_place.size(); ++i) {
            EXPECT_EQ(row.to_place[i].destination, install.to_place(static_cast<int>(i)).destination());
            EXPECT_EQ(row.to_place[i].source, install.to_place(static_cast<int>(i)).source());
        }
        EXPECT_EQ(std::vector<std::string>(row.to_remove.begin(), row.to_remove.end()),
                  std::vector<std::string>(install.to_remove().begin(), install.to_remove().end()));
        EXPECT_EQ(std::vector<std::string>(row.up_to_date.begin(), row.up_to_date.end()),
                  std::vector<std::string>(install.up_to_date().begin(), install.up_to_date().end()));
    }
}

TEST_F(ConfigdTest, WatcherCallsBecomeNotifications) {
    tvk::UpdateCheckProgress check;
    check.set_bytes_to_check(4096);
    check.set_bytes_checked(1024);
    tvk::UpdateDownloadProgress download;
    download.set_files_to_process(3);
    download.set_files_processed(1);
    download.set_bytes_to_process(300);
    download.set_bytes_processed(100);
    download.set_current_file("base/tavik32.vdb");
    tvk::UpdateAppStat stat;
    stat.set_bytes_sent(3);
    stat.set_bytes_received(0);

    struct row_t {
        const char* name;
        std::function<void()> call;
        tvk::Update2ConfigdMessage::MessageTag tag;
        std::function<std::string(const tvk::Update2ConfigdMessage&)> field;
        std::string expected;
    };
    const std::vector<row_t> rows = {
        {"check progress", [&] { s_->configd->on_check_progress(check); },
         tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION,
         [](const tvk::Update2ConfigdMessage& m) { return m.has_check() ? m.check().SerializeAsString() : ""; },
         check.SerializeAsString()},
        {"download progress", [&] { s_->configd->on_download_progress(download); },
         tvk::Update2ConfigdMessage::MY_PROGRESS_NOTIFICATION,
         [](const tvk::Update2ConfigdMessage& m) {
             return m.has_download() ? m.download().SerializeAsString() : "";
         },
         download.SerializeAsString()},
        {"statistics", [&] { s_->configd->on_stat(stat); }, tvk::Update2ConfigdMessage::MY_STAT_NOTIFICATION,
         [](const tvk::Update2ConfigdMessage& m) { return m.has_stat() ? m.stat().SerializeAsString() : ""; },
         stat.SerializeAsString()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        row.call();
        const auto m = flush_and_receive();
        EXPECT_EQ(row.tag, m.tag());
        EXPECT_EQ(row.expected, row.field(m));
        const int filled = m.has_check() + m.has_download() + m.has_stat() + m.has_install();
        EXPECT_EQ(1, filled) << "a notification carries exactly one block";
    }
}

TEST_F(ConfigdTest, ConfigurationReachesTheContextOnceAndTheLinkKeepsReading) {
    send(frame(use_context("/var/tmp/upd")));
    ASSERT_EQ(nullptr, run_until([&] { return !s_->contexts.empty(); }));
    EXPECT_EQ(std::vector<std::string>{"/var/tmp/upd"}, s_->contexts);
    s_->io.poll();
    EXPECT_FALSE(s_->io.stopped()) << "the client stopped reading after the configuration";

    int installed = 0;
    s_->configd->request_install({}, {}, {}, [&] { ++installed; });
    flush_and_receive();
    send(frame(install_response()));
    ASSERT_EQ(nullptr, run_until([&] { return installed != 0; }));
    EXPECT_EQ(1, installed);
    EXPECT_EQ(1u, s_->contexts.size());
    EXPECT_TRUE(lines_at(cf_log_t::error).empty());
}

TEST_F(ConfigdTest, EachInstallAnswerRunsItsOwnCallbackOnce) {
    std::vector<std::string> calls;
    s_->configd->request_install({}, {}, {}, [&] {
        calls.push_back("first");
        // The next attempt's request, made from inside the answer, keeps its own callback.
        s_->configd->request_install({}, {}, {}, [&] { calls.push_back("second"); });
    });
    send(frame(install_response()));
    ASSERT_EQ(nullptr, run_until([&] { return calls.size() == 1; }));
    send(frame(install_response()));
    ASSERT_EQ(nullptr, run_until([&] { return calls.size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"first", "second"}), calls);

    // A third answer finds no pending request.
    send(frame(install_response()));
    std::exception_ptr thrown = run_until_thrown();
    ASSERT_NE(nullptr, thrown);
    EXPECT_THROW(std::rethrow_exception(thrown), std::bad_function_call);
    EXPECT_EQ(2u, calls.size());
    EXPECT_EQ(tvk::EC_UNEXPECTED_ERROR, exit_code_of(thrown));
}

enum class outcome_t { error_code, system_error, bad_call };

TEST_F(ConfigdTest, ChannelFailuresEndTheLoopWithTheirStatus) {
    struct row_t {
        const char* name;
        std::vector<std::string> frames;
        bool close_after;
        outcome_t outcome;
        int code;
        const char* what;
        std::vector<std::string> error_lines;
        std::size_t contexts;
    };
    tvk::Configd2UpdateMessage untagged;
    untagged.mutable_config()->set_update_dir("/x");
    tvk::Configd2UpdateMessage no_config;
    no_config.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
    const std::vector<row_t> rows = {
        {"configuration missing", {frame(no_config)}, false, outcome_t::system_error, 12,
         "USE_CONTEXT: Protocol violation", {}, 0},
        {"second configuration", {frame(use_context("/a")), frame(use_context("/b"))}, false, outcome_t::bad_call,
         125, nullptr, {}, 1},
        {"answer without a request", {frame(install_response())}, false, outcome_t::bad_call, 125, nullptr, {}, 0},
        {"installation failed without text", {frame(install_failed(tvk::EC_PERMISSION_DENIED, nullptr))}, false,
         outcome_t::error_code, 24, nullptr, {"Update installation: Permission denied"}, 0},
        {"installation failed with text", {frame(install_failed(tvk::EC_IO_ERROR, "disk full"))}, false,
         outcome_t::error_code, 22, nullptr, {"Update installation: disk full"}, 0},
        {"garbage payload", {frame(std::string("\xff\xff\xff", 3))}, false, outcome_t::error_code, 1, nullptr,
         {"Invalid IPC message format"}, 0},
        {"tag missing", {frame(untagged)}, false, outcome_t::error_code, 1, nullptr,
         {"Invalid IPC message format"}, 0},
        {"tag undefined", {frame(std::string("\x08\x07", 2))}, false, outcome_t::error_code, 1, nullptr,
         {"Invalid IPC message format"}, 0},
        {"daemon closed the socket", {}, true, outcome_t::error_code, 1, nullptr,
         {"Monitor IPC error: End of file"}, 0},
        {"frame of size 0", {le32(0)}, false, outcome_t::error_code, 1, nullptr,
         {"Monitor IPC error: Invalid IPC message size"}, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fresh_session();
        for (const auto& f : row.frames) send(f);
        if (row.close_after) close_peer();
        const std::exception_ptr thrown = run_until_thrown();
        ASSERT_NE(nullptr, thrown);
        switch (row.outcome) {
            case outcome_t::error_code:
                try {
                    std::rethrow_exception(thrown);
                } catch (tvk::ErrorCode code) {
                    EXPECT_EQ(row.code, code);
                } catch (...) {
                    ADD_FAILURE() << "not a bare ErrorCode: " << exception_text(thrown);
                }
                break;
            case outcome_t::system_error:
                try {
                    std::rethrow_exception(thrown);
                } catch (const boost::system::system_error& e) {
                    EXPECT_STREQ(row.what, e.what());
                    EXPECT_EQ(row.code, exit_code_of(e));
                } catch (...) {
                    ADD_FAILURE() << "not a system_error: " << exception_text(thrown);
                }
                break;
            case outcome_t::bad_call:
                EXPECT_THROW(std::rethrow_exception(thrown), std::bad_function_call);
                EXPECT_EQ(row.code, exit_code_of(thrown));
                break;
        }
        EXPECT_EQ(row.error_lines, lines_at(cf_log_t::error));
        EXPECT_EQ(row.contexts, s_->contexts.size());
    }
}

TEST(ConfigdStart, UnusableDescriptorFailsAtAssign) {
    boost::asio::io_service io;
    int fds[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    ::close(fds[0]);
    ::close(fds[1]);
    auto configd = std::make_shared<upd::configd_t>();
    try {
        configd->start(io, fds[0], [](const tvk::UpdateConfig&) {});
        ADD_FAILURE() << "a closed descriptor was adopted";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(0, std::string(e.what()).rfind("assign: ", 0)) << e.what();
    }
}

}  // namespace
