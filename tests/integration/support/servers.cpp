// Real servers for end-to-end tests: nginx (HTTP and HTTPS) and squid (Basic or Digest), each on
// free loopback ports with its own configuration and temporary directory, stopped by PID.
#include "support/servers.hpp"

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem/operations.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = boost::filesystem;

namespace tvk_test {

namespace {

std::runtime_error errno_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// Connects to 127.0.0.1:port once; true when something accepted.
bool port_accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

std::vector<std::string> read_lines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path.string());
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

template <class Parse>
auto wait_for_lines(Parse parse, std::size_t count) -> decltype(parse()) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto lines = parse();
    while (lines.size() < count && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lines = parse();
    }
    return lines;
}

// A helper program of squid: the known Debian and FreeBSD places, then the package's file list.
std::string find_squid_helper(const std::string& name) {
    for (const char* dir : {"/usr/lib/squid", "/usr/lib64/squid", "/usr/libexec/squid",
                            "/usr/local/libexec/squid"}) {
        const fs::path candidate = fs::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    temp_dir_t scratch("tavik-dpkg");
    const fs::path listing = scratch.path() / "files";
    try {
        run_command({"/usr/bin/dpkg", "-L", "squid"}, listing);
    } catch (const std::exception&) {
    }
    for (const std::string& line : read_lines(listing)) {
        if (boost::algorithm::ends_with(line, "/" + name)) {
            return line;
        }
    }
    throw std::runtime_error("squid helper " + name + " not found: install the package squid");
}

}  // namespace

// ---------------------------------------------------------------------------------------------

temp_dir_t::temp_dir_t(const std::string& prefix) {
    std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(&pattern[0]) == nullptr) {
        throw errno_error("mkdtemp " + pattern);
    }
    path_ = pattern;
}

temp_dir_t::~temp_dir_t() {
    boost::system::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::uint16_t free_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw errno_error("socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const auto error = errno_error("bind");
        ::close(fd);
        throw error;
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string find_program(const std::string& name, const std::string& package) {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/local/sbin:/usr/bin:/usr/local/bin";
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) {
            continue;
        }
        const fs::path candidate = fs::path(dir) / name;
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    throw std::runtime_error(name + " is not installed: install the package " + package);
}

// ---------------------------------------------------------------------------------------------

child_process_t::child_process_t(const std::vector<std::string>& argv, const fs::path& output) {
    // Everything the child needs is prepared before fork: it only redirects and executes.
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        throw errno_error("open " + output.string());
    }
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_ = ::fork();
    if (pid_ == 0) {
#ifdef __linux__
        // Should the test process die without its destructors, the server goes with it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    const int fork_errno = errno;
    ::close(out);
    ::close(in);
    if (pid_ < 0) {
        errno = fork_errno;
        throw errno_error("fork");
    }
}

child_process_t::~child_process_t() { stop(); }

bool child_process_t::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void child_process_t::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + grace;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
}

void run_command(const std::vector<std::string>& argv, const fs::path& output) {
    child_process_t child(argv, output);
    const int status = child.wait();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(argv[0] + " failed: " + read_file(output));
    }
}

int child_process_t::wait() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, 0) != pid_) {
        throw errno_error("waitpid");
    }
    pid_ = -1;
    return status;
}

void wait_for_port(std::uint16_t port, child_process_t& child, const fs::path& log,
                   std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (!port_accepts(port)) {
        if (!child.running()) {
            throw std::runtime_error("server ended before it listened on port " + std::to_string(port) +
                                     ": " + read_file(log));
        }
        if (std::chrono::steady_clock::now() >= until) {
            throw std::runtime_error("server does not listen on port " + std::to_string(port) + ": " +
                                     read_file(log));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path.string(), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const fs::path& path, const std::string& content) {
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

certificate_t make_self_signed_certificate(const fs::path& dir, const std::string& common_name) {
    const std::string openssl = find_program("openssl", "openssl");
    certificate_t result{dir / "certificate.pem", dir / "key.pem"};
    run_command({openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                 "-nodes", "-days", "2", "-subj", "/CN=" + common_name, "-keyout", result.key.string(),
                 "-out", result.certificate.string()},
                dir / "openssl.out");
    return result;
}

// ---------------------------------------------------------------------------------------------

nginx_server_t::nginx_server_t() : dir_("tavik-nginx") {
    const std::string nginx = find_program("nginx", "nginx");
    const fs::path& dir = dir_.path();
    root_ = dir / "www";
    fs::create_directories(root_);
    const certificate_t certificate = make_self_signed_certificate(dir);
    http_port_ = free_port();
    https_port_ = free_port();
    while (https_port_ == http_port_) {
        https_port_ = free_port();
    }

    const std::string d = dir.string();
    std::ostringstream conf;
    conf << "daemon off;\n"
         << "master_process off;\n"
         << "worker_processes 1;\n"
         << "pid " << d << "/nginx.pid;\n"
         << "error_log " << d << "/error.log info;\n"
         << "events { worker_connections 256; }\n"
         << "http {\n"
         << "  log_format sizes '$request_length $bytes_sent $status $server_port \"$request\"';\n"
         << "  access_log " << d << "/access.log sizes;\n"
         << "  client_body_temp_path " << d << "/client_body;\n"
         << "  proxy_temp_path " << d << "/proxy;\n"
         << "  fastcgi_temp_path " << d << "/fastcgi;\n"
         << "  uwsgi_temp_path " << d << "/uwsgi;\n"
         << "  scgi_temp_path " << d << "/scgi;\n"
         << "  default_type application/octet-stream;\n"
         << "  sendfile on;\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << http_port_ << ";\n"
         << "    listen 127.0.0.1:" << https_port_ << " ssl;\n"
         << "    ssl_certificate " << certificate.certificate.string() << ";\n"
         << "    ssl_certificate_key " << certificate.key.string() << ";\n"
         << "    root " << root_.string() << ";\n"
         << "  }\n"
         << "}\n";
    write_file(dir / "nginx.conf", conf.str());

    const fs::path output = dir / "nginx.out";
    process_.reset(new child_process_t(
        {nginx, "-p", d, "-c", (dir / "nginx.conf").string(), "-e", d + "/error.log"}, output));
    wait_for_port(http_port_, *process_, dir / "error.log");
    wait_for_port(https_port_, *process_, dir / "error.log");
}

nginx_server_t::~nginx_server_t() { process_.reset(); }

std::string nginx_server_t::http_url(const std::string& file) const {
    return "http://127.0.0.1:" + std::to_string(http_port_) + "/" + file;
}

std::string nginx_server_t::https_url(const std::string& file) const {
    return "https://127.0.0.1:" + std::to_string(https_port_) + "/" + file;
}

std::vector<nginx_server_t::access_t> nginx_server_t::access_log() const {
    std::vector<access_t> records;
    for (const std::string& line : read_lines(dir_.path() / "access.log")) {
        std::istringstream in(line);
        access_t record;
        in >> record.request_length >> record.bytes_sent >> record.status >> record.port;
        std::getline(in >> std::ws, record.request);
        records.push_back(record);
    }
    return records;
}

std::vector<nginx_server_t::access_t> nginx_server_t::wait_for_access_log(std::size_t count) const {
    return wait_for_lines([this] { return access_log(); }, count);
}

// ---------------------------------------------------------------------------------------------

squid_server_t::squid_server_t(auth_t auth, const std::string& user, const std::string& password)
    : dir_("tavik-squid") {
    const std::string squid = find_program("squid", "squid");
    const fs::path& dir = dir_.path();
    const std::string d = dir.string();
    port_ = free_port();

    // squid drops to an unprivileged account when started as root; it must read and write here.
    const bool root = ::geteuid() == 0;
    ::chmod(dir.c_str(), 0755);
    std::ostringstream auth_conf;
    if (auth == auth_t::basic) {
        const std::string htpasswd = find_program("htpasswd", "apache2-utils");
        run_command({htpasswd, "-b", "-c", d + "/passwd", user, password}, dir / "htpasswd.out");
        auth_conf << "auth_param basic program " << find_squid_helper("basic_ncsa_auth") << " " << d
                  << "/passwd\n"
                  << "auth_param basic realm tavik\n";
    } else {
        write_file(dir / "passwd", user + ":" + password + "\n");
        auth_conf << "auth_param digest program " << find_squid_helper("digest_file_auth") << " " << d
                  << "/passwd\n"
                  << "auth_param digest realm tavik\n";
    }
    ::chmod((dir / "passwd").c_str(), 0644);

    std::ostringstream conf;
    conf << "http_port 127.0.0.1:" << port_ << "\n"
         << "pid_filename none\n"
         << "logformat tavik %>Hs %rm %ru %un\n"
         << "access_log stdio:" << d << "/access.log tavik\n"
         << "cache_log " << d << "/cache.log\n"
         << "coredump_dir " << d << "\n"
         << "cache deny all\n"
         << "cache_mem 8 MB\n"
         << "pinger_enable off\n"
         << "shutdown_lifetime 0 seconds\n"
         << auth_conf.str() << "acl authenticated proxy_auth REQUIRED\n"
         << "http_access allow authenticated\n"
         << "http_access deny all\n";
    std::string account;
    if (root) {
        const passwd* pw = ::getpwnam("proxy");
        if (pw == nullptr) {
            pw = ::getpwnam("squid");
        }
        if (pw == nullptr) {
            throw std::runtime_error("no account proxy or squid for squid to run as");
        }
        account = pw->pw_name;
        conf << "cache_effective_user " << account << "\n";
        for (const char* file : {"access.log", "cache.log"}) {
            write_file(dir / file, "");
            if (::chown((dir / file).c_str(), pw->pw_uid, pw->pw_gid) != 0) {
                throw errno_error(std::string("chown ") + file);
            }
        }
    }
    write_file(dir / "squid.conf", conf.str());

    const fs::path output = dir / "squid.out";
    process_.reset(new child_process_t(
        {squid, "-N", "-n", "tavik" + std::to_string(port_), "-f", (dir / "squid.conf").string()}, output));
    wait_for_port(port_, *process_, dir / "cache.log");
}

squid_server_t::~squid_server_t() { process_.reset(); }

tvk::Proxy squid_server_t::proxy(const std::string& user, const std::string& password) const {
    tvk::Proxy proxy;
    proxy.set_type(tvk::Proxy::PROXY_TYPE_HTTP);
    proxy.set_host("127.0.0.1");
    proxy.set_port(port_);
    proxy.set_user(user);
    proxy.set_password(password);
    return proxy;
}

std::vector<squid_server_t::access_t> squid_server_t::access_log() const {
    std::vector<access_t> records;
    for (const std::string& line : read_lines(dir_.path() / "access.log")) {
        std::istringstream in(line);
        access_t record;
        in >> record.status >> record.method >> record.url >> record.user;
        records.push_back(record);
    }
    return records;
}

std::vector<squid_server_t::access_t> squid_server_t::wait_for_access_log(std::size_t count) const {
    return wait_for_lines([this] { return access_log(); }, count);
}

}  // namespace tvk_test
