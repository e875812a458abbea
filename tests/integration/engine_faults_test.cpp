// Fault matrix of end-to-end runs: each row breaks one thing (disk, work directory, cache, signed
// files, proxy, name, connection, server, signal, control channel) and every row then proves that
// nothing was lost: the installation is byte-identical, the download directories hold only
// complete and genuine files, and the hash cache is absent, unchanged or true to the disk.
#include "engine_rig.hpp"
#include "support/fault_server.hpp"
#include "support/zone_fault_server.hpp"

#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <pwd.h>
#include <sys/stat.h>

#include <memory>

namespace {

namespace fs = boost::filesystem;
using rig::attempt_t;
using tvk_test::zone_fault_server_t;
using fault_t = tvk_test::zone_fault_server_t::fault_t;

// ---------------------------------------------------------------------------------------------
// What the vendor publishes and what is installed before every row.

const std::map<std::string, std::string> published = {
    {"timestamp", "20261206\n"},
    {"current.avc", "signatures that did not change\n"},
    {"changed.avc", "signatures, new edition\n"},
    {"missing.avc", std::string(70000, 'm')},
};

// State shared by all rows: one nginx, a fresh DRL for the fallback, one installation whose files
// are older than the current second (so that the hash cache takes them).
struct suite_t {
    tvk_test::temp_dir_t scratch{"tavik-faults"};
    tvk_test::nginx_server_t nginx;
    fs::path fresh;    // the fallback servers' tree: a genuine, fresh update.drl
    fs::path install;  // the shared installation (virus_base_dir is install/bases)

    suite_t() {
        // The work directory of one row runs as nobody, who must reach the installation.
        fs::permissions(scratch.path(), fs::perms(0755));
        fresh = nginx.root() / "fresh";
        rig::make_zone(scratch.path(), {{{"timestamp", "1\n"}}, {nginx.http_url("fresh")}, {}, {}, {}}, fresh);
        // The fallback asks for the installed DRL file's name.
        fs::copy_file(fresh / "update.drl", fresh / "bases.drl");
        install = scratch.path() / "install";
        const fs::path made = scratch.path() / "installed-zone";
        rig::make_zone(scratch.path(), {published, {nginx.http_url("none")}, {nginx.http_url("fresh")}, {}, {}}, made);
        rig::write(install / "bases" / "current.avc", published.at("current.avc"));
        rig::write(install / "bases" / "changed.avc", "signatures, old edition\n");
        fs::copy_file(made / "zone.ini", install / "bases" / "zone.ini");
        rig::wait_next_second();
    }
};

suite_t* suite = nullptr;

// ---------------------------------------------------------------------------------------------
// One row's world.

struct row_env_t {
    std::string name;
    fs::path dir;      // the row's scratch directory
    fs::path var;      // update_dir
    fs::path genuine;  // the row's zone exactly as signed, before any forging
    fs::path served;   // what the row's server hands out
    tvk::UpdateConfig config;
    rig::run_options_t options;
    std::vector<fs::path> installations{};  // trees that the run must leave byte-identical
    std::unique_ptr<zone_fault_server_t> zone_server;
    std::unique_ptr<tvk_test::fault_server_t> proxy;
    std::map<std::string, std::string> files = published;
    std::vector<std::string> zone_options;  // further make-zone options
};

// Signs the row's zone with `url` as its only server into `served`, keeps the genuine copy and
// installs the zone's DRL file where the configuration points.
void publish(row_env_t& env, const std::string& url, const fs::path& served) {
    env.genuine = env.dir / "genuine";
    rig::make_zone(env.dir, {env.files, {url}, {suite->nginx.http_url("fresh")}, {}, env.zone_options}, env.genuine);
    fs::create_directories(served);
    for (fs::directory_iterator it(env.genuine), end; it != end; ++it) {
        fs::copy_file(it->path(), served / it->path().filename(), fs::copy_option::overwrite_if_exists);
    }
    env.served = served;
    fs::copy_file(env.genuine / "update.drl", env.dir / "bases.drl", fs::copy_option::overwrite_if_exists);
    env.config.set_base_drl_path((env.dir / "bases.drl").string());
}

void on_nginx(row_env_t& env) {
    publish(env, suite->nginx.http_url(env.name), suite->nginx.root() / env.name);
}

// The zone is served by a fault server that breaks every request for files named `prefix`*.
std::function<void(row_env_t&)> on_fault_server(fault_t fault, std::string prefix = "missing.avc") {
    return [fault, prefix](row_env_t& env) {
        env.zone_server.reset(new zone_fault_server_t(env.dir / "root", fault, prefix));
        publish(env, env.zone_server->url("bases"), env.dir / "root" / "bases");
    };
}

void flip_byte(const fs::path& path, const std::string& near) {
    std::string text = tvk_test::read_file(path);
    const auto at = text.find(near);
    if (at == std::string::npos) throw std::runtime_error("nothing to forge in " + path.string());
    text[at + near.size()] ^= 1;
    tvk_test::write_file(path, text);
}

std::string frame(const std::string& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    return std::string{static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                       static_cast<char>((n >> 16) & 0xff), static_cast<char>((n >> 24) & 0xff)} +
           payload;
}

// Runs `act` once, on the first message that `when` accepts.
rig::on_message_t once(std::function<bool(const tvk::Update2ConfigdMessage&)> when,
                       std::function<void(rig::update_process_t&)> act) {
    auto done = std::make_shared<bool>(false);
    return [done, when, act](rig::update_process_t& peer, const tvk::Update2ConfigdMessage& m) {
        if (*done || !when(m)) return;
        *done = true;
        act(peer);
    };
}

bool check_progress(const tvk::Update2ConfigdMessage& m) { return m.has_check(); }
bool install_request(const tvk::Update2ConfigdMessage& m) {
    return m.tag() == tvk::Update2ConfigdMessage::INSTALL_UPDATES_REQUEST;
}

// Acts once, as soon as the row's fault server has begun its fault (a stall, for instance).
std::function<void(rig::update_process_t&)> when_fault_began(row_env_t& env,
                                                              std::function<void(rig::update_process_t&)> act) {
    auto done = std::make_shared<bool>(false);
    zone_fault_server_t* server = env.zone_server.get();
    return [done, server, act](rig::update_process_t& peer) {
        if (*done || server->faults() == 0) return;
        *done = true;
        act(peer);
    };
}

void terminate(rig::update_process_t& peer) { peer.kill(SIGTERM); }

// ---------------------------------------------------------------------------------------------
// The matrix.

enum class match_t { exact, prefix };
enum class cache_t {
    written,    // a valid cache true to the disk, holding records
    untouched,  // exactly as before the run (absent, the same bytes, or still a directory)
    sound,      // untouched or true to the disk: the run may or may not have reached the checker
};

struct row_t {
    const char* name;
    std::function<void(row_env_t&)> setup;  // world and configuration
    std::function<void(row_env_t&)> fault;  // what breaks, and when
    int status;
    std::string line;  // see expand()
    match_t match;
    cache_t cache;
    std::string absent = {};  // a log line prefix that must not appear (the fault hit before it)
};

std::ostream& operator<<(std::ostream& out, const row_t& row) { return out << row.name; }

void nothing(row_env_t&) {}

// A proxy that answers every request with a 407 challenge of the given kind.
void challenging_proxy(row_env_t& env, tvk_test::fault_server_t::behaviour_t challenge) {
    env.proxy.reset(new tvk_test::fault_server_t({challenge}));
    tvk::Proxy* proxy = env.config.mutable_proxy();
    proxy->set_type(tvk::Proxy::PROXY_TYPE_HTTP);
    proxy->set_host("127.0.0.1");
    proxy->set_port(env.proxy->port());
    proxy->set_user("updater");
    proxy->set_password("never-logged");
}

const row_t rows[] = {
    {"disk_full_while_unpacking_a_download", on_nginx,
     [](row_env_t& env) { env.options.file_size_limit = 65536; },  // below missing.avc's 70000 bytes
     tvk::EC_UNEXPECTED_ERROR, "Error: write: File too large: \"{var}/bases/missing.avc\"", match_t::exact,
     cache_t::written},
    {"disk_full_while_saving_the_cache",
     [](row_env_t& env) {
         // Many current files, older than this second: a cache far larger than anything downloaded.
         const fs::path own = env.dir / "many-install";
         env.files.erase("missing.avc");
         for (int i = 0; i < 100; ++i) {
             const std::string name = "file-" + std::to_string(1000 + i) + ".avc";
             env.files[name] = name;
             rig::write(own / name, name);
         }
         on_nginx(env);
         env.config.set_virus_base_dir(own.string());
         env.installations.push_back(own);
         rig::wait_next_second();
     },
     [](row_env_t& env) {
         env.options.file_size_limit = 4096;
         env.config.set_log_level(tvk::LOG_LEVEL_NOTICE);  // the log file is bounded too
     },
     0, "Warning: Cache: \"{var}/tavik-update.cache\": serializaition failed", match_t::exact, cache_t::untouched},
    {"disk_full_while_downloading_a_plain_file",
     [](row_env_t& env) {
         env.zone_options = {"--plain-only"};
         on_nginx(env);
     },
     [](row_env_t& env) { env.options.file_size_limit = 65536; }, tvk::EC_UNEXPECTED_ERROR,
     "Error: write: File too large", match_t::exact, cache_t::written},
    {"work_directory_read_only", on_nginx,
     [](row_env_t& env) {
         // Root passes every permission check; nobody, who is handed the tree, does not.
         errno = 0;
         const passwd* pw = ::getpwnam("nobody");
         if (!pw) throw std::runtime_error("no account nobody");
         env.config.mutable_run_as_user()->set_uid(pw->pw_uid);
         fs::create_directories(env.var / "bases");
         fs::permissions(env.var / "bases", fs::perms(0555));
         fs::permissions(env.var, fs::perms(0555));
     },
     tvk::EC_PERMISSION_DENIED, "Warning: Cache: \"{var}/tavik-update.cache\": open: Permission denied", match_t::exact,
     cache_t::untouched},
    {"cache_file_garbage", on_nginx,
     [](row_env_t& env) { tvk_test::write_file(env.var / "tavik-update.cache", std::string("\x0a\xff\xff\x07garbage", 11)); },
     0, "Warning: Cache: \"{var}/tavik-update.cache\": invalid format", match_t::exact, cache_t::written},
    {"cache_file_empty", on_nginx, [](row_env_t& env) { tvk_test::write_file(env.var / "tavik-update.cache", ""); }, 0,
     "Debug: Checker: 0 records loaded", match_t::exact, cache_t::written},
    {"cache_file_a_directory", on_nginx,
     [](row_env_t& env) { fs::create_directories(env.var / "tavik-update.cache" / "inside"); }, 0,
     "Warning: Cache: \"{var}/tavik-update.cache\": open: Is a directory", match_t::exact, cache_t::untouched},
    {"lst_one_byte_changed",
     [](row_env_t& env) {
         env.zone_options = {"--no-lzma-list"};
         on_nginx(env);
     },
     [](row_env_t& env) { flip_byte(env.served / "version.lst", "changed.avc"); }, tvk::EC_BAD_LST_FILE,
     "Error: Zone BASE: Invalid LST-file signature", match_t::exact, cache_t::untouched},
    {"packed_lst_one_byte_changed_falls_back_to_the_plain_list", on_nginx,
     [](row_env_t& env) {
         // The properties byte: no decoder accepts it, whatever the signature made of the rest.
         std::string text = tvk_test::read_file(env.served / "version.lst.lzma");
         text[0] = '\xff';
         tvk_test::write_file(env.served / "version.lst.lzma", text);
     },
     0, "Debug: LzmaDecode: error=", match_t::prefix, cache_t::written},
    {"drl_one_byte_changed", on_nginx, [](row_env_t& env) { flip_byte(env.dir / "bases.drl", "url="); },
     tvk::EC_BAD_DRL_FILE, "Error: Zone BASE: Invalid DRL-file signature", match_t::exact, cache_t::untouched},
    {"forged_zone_ini_refused_by_the_fallback",
     [](row_env_t& env) {
         publish(env, "http://127.0.0.1:" + std::to_string(tvk_test::free_port()) + "/bases", env.dir / "dead");
         const fs::path own = env.dir / "own-install";
         fs::create_directories(own);
         for (fs::directory_iterator it(suite->install / "bases"), end; it != end; ++it) {
             fs::copy_file(it->path(), own / it->path().filename());
         }
         env.config.set_virus_base_dir(own.string());
         env.installations.push_back(own);
     },
     [](row_env_t& env) { flip_byte(fs::path(env.config.virus_base_dir()) / "zone.ini", "127.0.0."); },
     tvk::EC_NO_UPDATE_SERVERS, "Error: Zone BASE (fallback): Invalid signature", match_t::exact, cache_t::untouched},
    {"proxy_answers_407_forever_basic", on_nginx,
     [](row_env_t& env) { challenging_proxy(env, tvk_test::fault_server_t::behaviour_t::challenge_basic); },
     tvk::EC_PROXY_AUTH_ERROR, "Error: Zone BASE: Proxy authentication error", match_t::exact, cache_t::untouched},
    {"proxy_answers_407_forever_digest", on_nginx,
     [](row_env_t& env) { challenging_proxy(env, tvk_test::fault_server_t::behaviour_t::challenge_digest); },
     tvk::EC_PROXY_AUTH_ERROR, "Error: Zone BASE: Proxy authentication error", match_t::exact, cache_t::untouched},
    {"server_name_does_not_resolve",
     [](row_env_t& env) { publish(env, "http://updates.tavik.invalid/bases", env.dir / "unreachable"); }, nothing,
     tvk::EC_NO_UPDATE_SERVERS, "Debug: Download LST: Cannot resolve: ", match_t::prefix, cache_t::untouched},
    {"connection_reset_in_head", on_fault_server(fault_t::reset_in_head), nothing, tvk::EC_NO_UPDATE_SERVERS,
     "Debug: Receive: Connection reset by peer: ", match_t::prefix, cache_t::written},
    {"connection_closed_in_head", on_fault_server(fault_t::close_before_head), nothing, tvk::EC_NO_UPDATE_SERVERS,
     "Debug: Receive: End of file: ", match_t::prefix, cache_t::written},
    {"connection_reset_mid_body", on_fault_server(fault_t::reset_mid_body), nothing, tvk::EC_NO_UPDATE_SERVERS,
     "Debug: Receive: Connection reset by peer: ", match_t::prefix, cache_t::written},
    {"connection_closed_mid_body_caught_by_the_digest", on_fault_server(fault_t::close_mid_body), nothing,
     tvk::EC_BAD_CHECKSUM, "Error: SHA256: Invalid checksum: \"{var}/bases/missing.avc\"", match_t::exact,
     cache_t::written},
    {"server_stops_sending", on_fault_server(fault_t::stall_mid_body),
     [](row_env_t& env) { env.config.set_network_timeout(1000); }, tvk::EC_NO_UPDATE_SERVERS,
     "Debug: IO: Network operation timed out: ", match_t::prefix, cache_t::written},
    {"server_sends_forever", on_fault_server(fault_t::endless_body, "timestamp"), nothing, tvk::EC_LIMIT_REACHED,
     "Error: Body exceeds the limit of 9 bytes: ", match_t::prefix, cache_t::written},
    {"server_error_for_a_file", on_fault_server(fault_t::server_error), nothing, tvk::EC_UNEXPECTED_ERROR,
     "Notice: Exit with status 125 (Unexpected error)", match_t::exact, cache_t::written},
    {"file_listed_but_not_on_the_server", on_fault_server(fault_t::not_found), nothing, tvk::EC_NO_SUCH_ENTRY,
     "Error: No such file or directory", match_t::exact, cache_t::written},
    {"served_file_one_byte_changed",
     [](row_env_t& env) {
         env.zone_options = {"--plain-only"};
         on_nginx(env);
     },
     [](row_env_t& env) { flip_byte(env.served / "missing.avc", "mmmm"); }, tvk::EC_BAD_CHECKSUM,
     "Error: SHA256: Invalid checksum: \"{var}/bases/missing.avc\"", match_t::exact, cache_t::written},
    {"installed_file_unreadable",
     [](row_env_t& env) {
         on_nginx(env);
         const fs::path own = env.dir / "own-install";
         fs::create_directories(own);
         for (fs::directory_iterator it(suite->install / "bases"), end; it != end; ++it) {
             fs::copy_file(it->path(), own / it->path().filename());
         }
         fs::permissions(own / "changed.avc", fs::perms(0));
         env.config.set_virus_base_dir(own.string());
         env.installations.push_back(own);
     },
     [](row_env_t& env) {
         errno = 0;
         const passwd* pw = ::getpwnam("nobody");
         if (!pw) throw std::runtime_error("no account nobody");
         env.config.mutable_run_as_user()->set_uid(pw->pw_uid);
     },
     tvk::EC_IO_ERROR, "Error: HASH: \"{dir}/own-install/changed.avc\": open: Permission denied", match_t::exact,
     cache_t::sound},
    {"sigterm_while_checking",
     [](row_env_t& env) {
         for (const char* big : {"big1.avc", "big2.avc", "big3.avc", "big4.avc"}) env.files[big] = big;
         on_nginx(env);
         // The installed editions are large, so that hashing them takes a while.
         const fs::path own = env.dir / "big-install";
         for (const char* big : {"big1.avc", "big2.avc", "big3.avc", "big4.avc"}) {
             rig::write(own / big, std::string(16 << 20, big[3]));
         }
         env.config.set_virus_base_dir(own.string());
         env.installations.push_back(own);
     },
     [](row_env_t& env) { env.options.on_message = once(check_progress, terminate); }, tvk::EC_APP_TERMINATED,
     "Notice: Termination signal received, exiting...", match_t::exact, cache_t::sound, "Debug: Changed "},
    {"sigterm_while_downloading", on_fault_server(fault_t::stall_mid_body),
     [](row_env_t& env) { env.options.on_tick = when_fault_began(env, terminate); }, tvk::EC_APP_TERMINATED,
     "Notice: Termination signal received, exiting...", match_t::exact, cache_t::written, "Debug: Monitor: "},
    {"sigterm_while_waiting_for_installation", on_nginx,
     [](row_env_t& env) {
         env.options.answer = rig::answer_t::none;
         env.options.on_message = once(install_request, terminate);
     },
     tvk::EC_APP_TERMINATED, "Notice: Termination signal received, exiting...", match_t::exact, cache_t::written},
    {"daemon_hangs_up_mid_download", on_fault_server(fault_t::stall_mid_body),
     [](row_env_t& env) {
         env.options.on_tick = when_fault_began(env, [](rig::update_process_t& peer) { peer.hang_up(); });
     },
     tvk::EC_MONITOR_IPC_ERROR, "Error: Monitor IPC error: End of file", match_t::exact, cache_t::written,
     "Debug: Monitor: "},
    {"garbage_frame_mid_download", on_fault_server(fault_t::stall_mid_body),
     [](row_env_t& env) {
         env.options.on_tick = when_fault_began(
             env, [](rig::update_process_t& peer) { peer.send_raw(frame("\xff\xff\xff\xff\xff")); });
     },
     tvk::EC_MONITOR_IPC_ERROR, "Error: Invalid IPC message format", match_t::exact, cache_t::written,
     "Debug: Monitor: "},
    {"oversized_frame_mid_download", on_fault_server(fault_t::stall_mid_body),
     [](row_env_t& env) {
         env.options.on_tick = when_fault_began(
             env, [](rig::update_process_t& peer) { peer.send_raw(std::string("\x00\x00\x00\x05", 4)); });
     },
     tvk::EC_MONITOR_IPC_ERROR, "Error: Monitor IPC error: Invalid IPC message size", match_t::exact,
     cache_t::written, "Debug: Monitor: "},
    {"zero_length_frame_mid_download", on_fault_server(fault_t::stall_mid_body),
     [](row_env_t& env) {
         env.options.on_tick =
             when_fault_began(env, [](rig::update_process_t& peer) { peer.send_raw(std::string(4, '\0')); });
     },
     tvk::EC_MONITOR_IPC_ERROR, "Error: Monitor IPC error: Invalid IPC message size", match_t::exact,
     cache_t::written, "Debug: Monitor: "},
    {"second_use_context_mid_download", on_fault_server(fault_t::stall_mid_body),
     [](row_env_t& env) {
         const tvk::UpdateConfig config = env.config;
         env.options.on_tick = when_fault_began(env, [config](rig::update_process_t& peer) {
             tvk::Configd2UpdateMessage again;
             again.set_tag(tvk::Configd2UpdateMessage::USE_CONTEXT);
             *again.mutable_config() = config;
             peer.send(again);
         });
     },
     tvk::EC_UNEXPECTED_ERROR, "Error: bad_function_call", match_t::exact, cache_t::written, "Debug: Monitor: "},
};

// ---------------------------------------------------------------------------------------------
// "Nothing lost" checks.

// Every regular file below `root` with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    if (!fs::exists(root)) return files;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it) {
        if (fs::is_regular_file(it->symlink_status())) files[it->path().string()] = tvk_test::read_file(it->path());
    }
    return files;
}

std::string digest(const EVP_MD* md, const std::string& bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, bytes.data(), bytes.size());
    EVP_DigestFinal_ex(ctx, out, &size);
    EVP_MD_CTX_free(ctx);
    return std::string(reinterpret_cast<const char*>(out), size);
}

struct cache_state_t {
    enum { absent, file, directory } kind = absent;
    std::string bytes;
    bool operator==(const cache_state_t& o) const { return kind == o.kind && bytes == o.bytes; }
};

cache_state_t cache_state(const fs::path& var) {
    const fs::path path = var / "tavik-update.cache";
    cache_state_t s;
    if (fs::is_directory(path)) {
        s.kind = cache_state_t::directory;
    } else if (fs::exists(path)) {
        s.kind = cache_state_t::file;
        s.bytes = tvk_test::read_file(path);
    }
    return s;
}

// Empty when the cache file parses and every record equals the disk; otherwise what differs.
std::string cache_faults(const fs::path& var, int* records) {
    upd::Cache cache;
    if (!cache.ParseFromString(tvk_test::read_file(var / "tavik-update.cache"))) return "the cache does not parse";
    std::string faults;
    for (const auto& crc : cache.crcs()) {
        struct stat st {};
        if (::stat(crc.path().c_str(), &st) != 0) {
            faults += crc.path() + ": recorded but gone\n";
            continue;
        }
        if (crc.dev() != static_cast<std::uint32_t>(st.st_dev) || crc.ino() != static_cast<std::uint32_t>(st.st_ino) ||
            crc.ctime() != static_cast<std::uint64_t>(static_cast<std::int64_t>(static_cast<std::int32_t>(st.st_ctime)))) {
            faults += crc.path() + ": identity differs from stat\n";
        }
        const std::string bytes = tvk_test::read_file(crc.path());
        if (crc.sha256() != digest(EVP_sha256(), bytes)) faults += crc.path() + ": SHA-256 differs\n";
        if (crc.md5() != digest(EVP_md5(), bytes)) faults += crc.path() + ": MD5 differs\n";
    }
    *records = cache.crcs_size();
    return faults;
}

// "{var}" stands for the work directory, "{dir}" for the row's scratch directory.
std::string expand(std::string text, const row_env_t& env) {
    for (const auto& p : {std::make_pair(std::string("{var}"), env.var.string()),
                          std::make_pair(std::string("{dir}"), env.dir.string())}) {
        const auto at = text.find(p.first);
        if (at != std::string::npos) text.replace(at, p.first.size(), p.second);
    }
    return text;
}

class engine_faults : public ::testing::TestWithParam<row_t> {
public:
    static void SetUpTestSuite() { suite = new suite_t; }
    static void TearDownTestSuite() {
        delete suite;
        suite = nullptr;
    }
};

TEST_P(engine_faults, nothing_is_lost) {
    const row_t& row = GetParam();
    row_env_t env;
    env.name = row.name;
    env.dir = suite->scratch.path() / row.name;
    env.var = env.dir / "var";
    fs::create_directories(env.var);
    env.config = rig::base_config(env.var);
    env.config.set_network_timeout(5000);
    env.config.set_base_installed(true);
    env.config.set_base_update_enabled(true);
    env.config.set_virus_base_dir((suite->install / "bases").string());
    env.installations = {suite->install, env.dir / "bases.drl"};
    row.setup(env);
    row.fault(env);

    std::map<std::string, std::string> before;
    for (const auto& tree : env.installations) {
        const auto files = fs::is_directory(tree) ? snapshot(tree) : std::map<std::string, std::string>{
                                                                         {tree.string(), tvk_test::read_file(tree)}};
        before.insert(files.begin(), files.end());
    }
    const cache_state_t cache_before = cache_state(env.var);

    const attempt_t a = rig::run_attempt(env.config, env.options);
    const std::string expected = expand(row.line, env);

    EXPECT_EQ(a.status, row.status) << a.log_text();
    EXPECT_TRUE(row.match == match_t::exact ? a.logged(expected) : a.logged_prefix(expected))
        << "expected " << expected << "\n" << a.log_text();
    if (!row.absent.empty()) {
        EXPECT_FALSE(a.logged_prefix(row.absent)) << a.log_text();
    }
    for (const auto& line : a.log) EXPECT_EQ(line.find("never-logged"), std::string::npos) << line;

    // The installation is the daemon's: byte-identical, nothing added, nothing removed.
    std::map<std::string, std::string> after;
    for (const auto& tree : env.installations) {
        const auto files = fs::is_directory(tree) ? snapshot(tree) : std::map<std::string, std::string>{
                                                                         {tree.string(), tvk_test::read_file(tree)}};
        after.insert(files.begin(), files.end());
    }
    EXPECT_EQ(after.size(), before.size());
    for (const auto& f : before) {
        EXPECT_TRUE(after.count(f.first) && after[f.first] == f.second) << "installed file changed: " << f.first;
    }

    // The work directory holds only complete, genuine downloads: no container, no partial file,
    // no unverified server list.
    const fs::path cache_path = env.var / "tavik-update.cache";
    for (fs::recursive_directory_iterator it(env.var), end; it != end; ++it) {
        if (it->path() == cache_path) {
            it.no_push();
            continue;
        }
        if (!fs::is_regular_file(it->symlink_status())) continue;
        const std::string name = it->path().filename().string();
        EXPECT_NE(fs::extension(it->path()), ".lzma") << "temporary container left: " << it->path();
        const std::string bytes = tvk_test::read_file(it->path());
        const bool genuine = (fs::exists(env.genuine / name) && tvk_test::read_file(env.genuine / name) == bytes) ||
                             (fs::exists(suite->fresh / name) && tvk_test::read_file(suite->fresh / name) == bytes);
        // A complete download that failed its digest stays for the next run to replace; it is
        // never offered for installation.
        bool offered = false;
        for (const auto& item : a.request.to_place()) offered |= item.source() == it->path().string();
        const bool failed_digest =
            row.status == tvk::EC_BAD_CHECKSUM &&
            a.logged("Error: SHA256: Invalid checksum: \"" + it->path().string() + "\"") && !offered;
        EXPECT_TRUE(genuine || failed_digest) << "partial or unverified file left: " << it->path() << " (" << bytes.size() << " bytes)";
    }

    if (HasFailure()) std::cerr << "The run's log:\n" << a.log_text();

    // The hash cache is absent or unchanged where the run could not write it, else true to the disk.
    const cache_state_t cache_after = cache_state(env.var);
    if (row.cache == cache_t::untouched) {
        EXPECT_TRUE(cache_after == cache_before) << "the cache changed; the run's log:\n" << a.log_text();
    } else if (row.cache == cache_t::sound) {
        int records = 0;
        if (!(cache_after == cache_before)) {
            EXPECT_EQ(cache_faults(env.var, &records), "");
        }
    } else {
        ASSERT_EQ(cache_after.kind, cache_state_t::file) << "no cache written";
        int records = 0;
        EXPECT_EQ(cache_faults(env.var, &records), "");
        EXPECT_GT(records, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(matrix, engine_faults, ::testing::ValuesIn(rows),
                         [](const ::testing::TestParamInfo<row_t>& info) { return std::string(info.param.name); });

}  // namespace
