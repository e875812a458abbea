// The end-to-end tests' servers, zones and installation.
#include "support/servers.hpp"

#include <google/protobuf/text_format.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <iomanip>
#include <set>
#include <sstream>

namespace ts {

namespace {

// A listening socket (its port in *bound) or a connected one; -1 when that fails.
int loopback_socket(std::uint16_t port, bool listen, std::uint16_t* bound = nullptr) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET, a.sin_port = htons(port), a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    auto* address = reinterpret_cast<sockaddr*>(&a);
    if (listen ? ::bind(fd, address, length) || ::listen(fd, 64) || ::getsockname(fd, address, &length)
               : ::connect(fd, address, length))
        return ::close(fd), -1;
    if (bound) *bound = ntohs(a.sin_port);
    return fd;
}

std::string program(const std::string& name, const std::string& package) {
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/usr/lib/squid/", "/usr/local/sbin/", "/usr/local/bin/"})
        if (::access((dir + name).c_str(), X_OK) == 0) return dir + name;
    throw std::runtime_error(name + " is not installed: install the package " + package);
}

// The lines of a log once it holds `count` of them, or after 10 s.
std::vector<std::istringstream> lines_of(const fs::path& log, std::size_t count) {
    std::vector<std::istringstream> lines;
    for (int i = 0; i == 0 || (lines.size() < count && i < 500);
         ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        std::istringstream in(slurp(log));
        lines.clear();
        for (std::string line; std::getline(in, line);) lines.emplace_back(line);
    }
    return lines;
}

}  // namespace

std::uint16_t free_port() {  // never one handed out before: the kernel may offer a closed one again
    static std::set<std::uint16_t> given;
    std::uint16_t port = 0;
    do ::close(loopback_socket(0, true, &port));
    while (!given.insert(port).second);
    return port;
}

std::string run(std::vector<std::string> argv, const std::string& package, int* exit_status) {
    if (argv[0].find('/') == std::string::npos) argv[0] = program(argv[0], package);
    const scratch_t dir("tavik-run");
    int status = 0;
    for (child_process_t child(argv, dir / "out"); child.running(&status);)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (exit_status)
        *exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + ": " + slurp(dir / "out"));
    return slurp(dir / "out");
}

// A throw-away certificate, DIR/cert.pem with its key DIR/key.pem.
static void self_signed(const std::string& dir) {
    run({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
         "-subj", "/CN=localhost", "-keyout", dir + "/key.pem", "-out", dir + "/cert.pem"},
        "openssl");
}

child_process_t::child_process_t(const std::vector<std::string>& argv, const fs::path& output, std::uint16_t port) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    pid = ::fork();
    if (pid == 0) {
#ifdef __linux__
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // should the test die, its servers go with it
#endif
        ::dup2(::open("/dev/null", O_RDONLY), 0), ::dup2(out, 1), ::dup2(out, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out);
    for (int i = 0, fd; port && (fd = loopback_socket(port, false)) < 0; ++i) {
        if (!running() || i > 1000) throw std::runtime_error(argv[0] + " does not listen: " + slurp(output));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

child_process_t::~child_process_t() {
    if (running()) ::kill(pid, SIGTERM);
    for (int i = 0; i < 1000 && running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (running()) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
}

bool child_process_t::running(int* status) {
    if (pid > 0 && ::waitpid(pid, status, WNOHANG) == pid) pid = -1;
    return pid > 0;
}

nginx_t::nginx_t(const std::string& http, bool http2) {
    const std::string d = dir_.path().string();
    self_signed(d);
    fs::create_directories(root_);
    std::ostringstream conf;
    conf << "daemon off; master_process off; pid " << d << "/nginx.pid; error_log " << d << "/error.log;\n"
         << "events {}\nhttp {\n  log_format t '$request_length $bytes_sent $status \"$request\" \"$ssl_server_name\" "
         << "\"$http_proxy_authorization\" $connection $ssl_session_reused';\n  access_log " << d << "/access.log t;\n"
         << http << "\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf << "  " << temp << "_temp_path " << d << "/" << temp << ";\n";
    conf
        << "  server {\n    listen 127.0.0.1:" << http_ << ";\n    listen 127.0.0.1:" << https_
        << (http2 ? " ssl http2;\n" : " ssl;\n")
        << "    location /challenge-basic { add_header Proxy-Authenticate 'Basic realm=\"far\"' always; return 407; }\n"
        << "    location /chunked/ { ssi on; ssi_types *; }\n    location /unframed/ { ssi on; ssi_types *; "
           "chunked_transfer_encoding off; }\n"
        << "    ssl_certificate " << d << "/cert.pem;\n    ssl_certificate_key " << d << "/key.pem;\n    root "
        << root_.string() << ";\n  }\n}\n";
    spit(dir_ / "nginx.conf", conf.str());
    const std::vector<std::string> argv{program("nginx", "nginx"), "-p", d, "-c", d + "/nginx.conf", "-e",
                                        d + "/error.log"};
    process_.reset(new child_process_t(argv, dir_ / "out", http_));
}

h2_fault_server_t::h2_fault_server_t(const fs::path& root, const std::string& fault, const std::string& prefix) {
    const std::string d = dir_.path().string();
    self_signed(d);
    process_.reset(new child_process_t(
        {program("python3", "python3"), TAVIK_SOURCE_DIR "/tests/integration/support/h2_fault_server.py", root.string(),
         fault, prefix, std::to_string(port_), d + "/cert.pem", d + "/key.pem"},
        dir_ / "out", port_));
}

std::string nginx_t::http_url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(http_) + "/" + path;
}
std::string nginx_t::https_url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(https_) + "/" + path;
}

std::vector<nginx_t::access_t> nginx_t::access_log(std::size_t count) const {
    std::vector<access_t> records;
    for (auto& in : lines_of(dir_ / "access.log", count)) {
        records.emplace_back();
        access_t& r = records.back();
        in >> r.request_length >> r.bytes_sent >> r.status >> std::quoted(r.request) >> std::quoted(r.server_name) >>
            std::quoted(r.proxy_authorization) >> r.connection >> r.session_reused;
    }
    return records;
}

squid_t::squid_t(auth_t auth, std::uint16_t refused_port) {
    const std::string d = dir_.path().string(), kind = auth == auth_t::basic ? "basic" : "digest";
    if (auth == auth_t::basic)
        run({"htpasswd", "-b", "-c", d + "/passwd", "u", "s3cret"}, "apache2-utils");
    else
        spit(dir_ / "passwd", "u:s3cret\n");
    std::ostringstream conf;
    conf << "http_port 127.0.0.1:" << port_
         << "\npid_filename none\nlogformat t %>Hs %rm %un %>p\naccess_log stdio:" << d << "/access.log t\ncache_log "
         << d << "/cache.log\n"
         << "cache deny all\npinger_enable off\nshutdown_lifetime 0 seconds\n"
         << "auth_param " << kind << " program "
         << program(auth == auth_t::basic ? "basic_ncsa_auth" : "digest_file_auth", "squid") << " " << d
         << "/passwd\nauth_param " << kind << " realm tavik\n"
         << (auth == auth_t::digest ? "auth_param digest check_nonce_count on\nauth_param digest nonce_max_count 3\n"
                                    : "")
         << "acl authenticated proxy_auth REQUIRED\n"
         << "acl refused port " << (refused_port ? refused_port : 1) << "\nhttp_access deny refused\n"
         << "http_access allow authenticated\nhttp_access deny all\n";
    if (::geteuid() == 0) {  // squid drops to its own account, which then writes the logs
        const passwd* pw = ::getpwnam("proxy");
        if (!pw) throw std::runtime_error("no account proxy for squid to run as");
        conf << "cache_effective_user proxy\n";
        for (const char* file : {"access.log", "cache.log", "passwd"})
            spit(dir_ / file, slurp(dir_ / file)), (void)!::chown((dir_ / file).c_str(), pw->pw_uid, pw->pw_gid);
    }
    spit(dir_ / "squid.conf", conf.str());
    const std::vector<std::string> argv{program("squid", "squid"),   "-N", "-n",
                                        "t" + std::to_string(port_), "-f", d + "/squid.conf"};
    process_.reset(new child_process_t(argv, dir_ / "out", port_));
}

tvk::Proxy squid_t::proxy() const {
    tvk::Proxy proxy;
    proxy.set_type(tvk::Proxy::PROXY_TYPE_HTTP), proxy.set_host("127.0.0.1"), proxy.set_port(port_);
    proxy.set_user("u"), proxy.set_password("s3cret");
    return proxy;
}

std::vector<squid_t::access_t> squid_t::access_log(std::size_t count) const {
    std::vector<access_t> records;
    for (auto& in : lines_of(dir_ / "access.log", count)) {
        access_t& r = (records.emplace_back(), records.back());
        in >> r.status >> r.method >> r.user >> r.client_port;
    }
    return records;
}

fault_server_t::fault_server_t(std::vector<fault_t> script, std::string body)
    : script_(std::move(script)), body_(std::move(body)) {
    start();
}

fault_server_t::fault_server_t(fs::path root, fault_t fault, std::string prefix)
    : script_{fault}, prefix_(std::move(prefix)), root_(std::move(root)) {
    start();
}

void fault_server_t::start() {
    if (::pipe(stop_) != 0 || (listener_ = loopback_socket(0, true, &port_)) < 0) throw std::runtime_error("listen");
    acceptor_ = std::thread([this] {
        for (pollfd p[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}}; ::poll(p, 2, -1) >= 0 && !p[1].revents;) {
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC), one = 1;
            if (fd < 0) continue;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::lock_guard<std::mutex> lock(mutex_);
            const fault_t fault = script_[std::min<std::size_t>(connections_++, script_.size() - 1)];
            open_.push_back(fd);
            threads_.emplace_back([this, fd, fault] { session(fd, fault); });
        }
    });
}

fault_server_t::~fault_server_t() {
    (void)!::write(stop_[1], "x", 1);
    acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);  // wakes every session; none closes anything meanwhile
        for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& session : threads_) session.join();
    for (int fd : open_) ::close(fd);
    for (int fd : {listener_, stop_[0], stop_[1]}) ::close(fd);
}

std::vector<std::string> fault_server_t::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::string fault_server_t::paths() const {
    std::multiset<std::string> paths;
    for (const auto& head : requests())
        paths.insert(
            head.substr(head.find('/', head.find("//") + 2), head.find(' ', 4) - head.find('/', head.find("//") + 2)));
    return std::accumulate(paths.begin(), paths.end(), std::string(),
                           [](std::string t, const std::string& p) { return t + p + " "; });
}

void fault_server_t::session(int fd, fault_t fault) {
    const auto send = [fd](const std::string& data) {
        return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == ssize_t(data.size());
    };
    const auto head_of = [](const std::string& status, const std::string& fields, std::size_t length) {
        return "HTTP/1.1 " + status + "\r\n" + fields + "Content-Length: " + std::to_string(length) +
               "\r\nConnection: close\r\n\r\n";
    };
    const auto canned = [&](const std::string& status, const std::string& fields, const std::string& content = "") {
        send(head_of(status, fields, content.size()) + content);
    };
    std::string head, body = body_;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
    const bool answered = head.find("\r\n\r\n") != std::string::npos;
    bool found = true;
    if (answered) {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(head);
    }
    if (answered && !root_.empty()) {  // the file the path names (absolute-form targets too)
        std::string path = head.substr(4, head.find(' ', 4) - 4);
        if (path.find("://") != std::string::npos) path.erase(0, path.find('/', path.find("://") + 3));
        if (fs::path(path).filename().string().compare(0, prefix_.size(), prefix_) != 0) fault = fault_t::none;
        if (fault == fault_t::republish && !once_.exchange(true))
            fs::rename(root_, root_.string() + ".old"), fs::rename(root_.string() + ".next", root_);
        found = fs::is_regular_file(root_ / path), body = slurp(root_ / path);
    }
    std::string ok = head_of("200 OK", "", body.size());
    const std::size_t range = head.find("\r\nRange: bytes="),
                      from = range == std::string::npos ? 0 : std::stoul(head.substr(range + 15));
    if (from > 0 && from < body.size()) {
        ok = head_of("206 Partial Content",
                     "Content-Range: bytes " + std::to_string(from) + "-" + std::to_string(body.size() - 1) + "/" +
                         std::to_string(body.size()) + "\r\n",
                     body.size() - from);
        body.erase(0, from);
    }
    const std::string challenge = "407 Proxy Authentication Required", auth = "Proxy-Authenticate: ";
    const auto unclosed = [&](const std::string& version) {  // with nothing said of the connection
        return version + " 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    using f = fault_t;
    if (fault == f::close_in_head_once && once_.exchange(true)) fault = f::none;
    if (!answered) fault = f::never_answer;
    if (!found)
        canned("404 Not Found", "", "not found"), fault = f::none;
    else
        switch (fault) {
            case f::none:
            case f::republish: send(ok + body); break;
            case f::unannounced_close: send(unclosed("HTTP/1.1")); break;
            case f::http_1_0: send(unclosed("HTTP/1.0")); break;
            case f::server_error: canned("500 Internal Server Error", ""); break;
            case f::close_in_head:
            case f::close_in_head_once: send("HTTP/1.1 200 OK\r\nContent-Len"); break;
            case f::close_mid_body:
            case f::stall_mid_body: send(ok + body.substr(0, body.size() / 2)); break;
            case f::never_answer: break;
            case f::endless_body:
                ++faults_;
                for (bool sent = send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"); sent;)
                    sent = send(std::string(65536, 'x'));
                break;
            case f::challenge_basic: canned(challenge, auth + "Basic realm=\"tavik\"\r\n"); break;
            case f::challenge_digest:
                canned(challenge, auth + "Digest realm=\"tavik\", nonce=\"5b1c\", qop=\"auth\"\r\n");
                break;
            case f::tunnel_refused: canned("403 Forbidden", "", "<html>Access denied</html>\n"); break;
            case f::crawl:
                for (std::size_t i = 0, sent = send(ok); sent && i < body.size();
                     ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
                    sent = send(body.substr(i, 1));
                break;
            case f::throttle: canned("429 Too Many Requests", "Retry-After: 3600\r\n"); break;
        }
    if (answered && fault != f::none && fault != f::endless_body) ++faults_;
    // An orderly end sends FIN first, then awaits the client, so that no unread byte turns the close
    // into a reset. A stall just waits.
    if (fault != f::never_answer && fault != f::stall_mid_body) ::shutdown(fd, SHUT_WR);
    while (::recv(fd, &c, 1, 0) > 0) {}
    std::lock_guard<std::mutex> lock(mutex_);
    for (int& open : open_)
        if (open == fd) ::close(fd), open = -1;
}

void make_zone(const zone_t& zone, const fs::path& out) {
    const scratch_t files("tavik-zone");
    for (const auto& f : zone.files) spit(files / f.first, f.second);
    std::vector<std::string> argv{(fs::path(TAVIK_BINARY_DIR) / "bin" / "tavik-sign").string(),
                                  "make-zone",
                                  "--key",
                                  TAVIK_SOURCE_DIR "/keys/development.key",
                                  "--ed25519-key",
                                  TAVIK_SOURCE_DIR "/keys/development-ed25519.key",
                                  "--files",
                                  files.path().string(),
                                  "--out",
                                  out.string()};
    for (const auto& u : zone.urls) argv.insert(argv.end(), {"--url", u});
    for (const auto& u : zone.fallbacks) argv.insert(argv.end(), {"--fallback", u});
    for (const auto& p : zone.patterns) argv.insert(argv.end(), {"--pattern", p});
    argv.insert(argv.end(), zone.options.begin(), zone.options.end());
    fs::remove_all(out);  // make-zone takes no stamp below the one it published there last
    run(argv);
}

std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    if (fs::is_regular_file(root)) files[root.string()] = slurp(root);
    if (!fs::is_directory(root)) return files;
    for (fs::recursive_directory_iterator it(root), end; it != end; ++it)
        if (fs::is_regular_file(it->symlink_status())) files[it->path().string()] = slurp(it->path());
    return files;
}

int run_installer(const tvk::UpdateConfig& config, std::string& output) {
    const scratch_t dir("tavik-run");
    std::string text;
    google::protobuf::TextFormat::PrintToString(config, &text);
    spit(dir / "update.conf", text);
    int status;
    output =
        run({(fs::path(TAVIK_BINARY_DIR) / "bin" / "tavik-run").string(), (dir / "update.conf").string()}, "", &status);
    return status;
}

}  // namespace ts
