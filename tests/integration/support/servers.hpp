// Real servers for end-to-end tests: nginx (HTTP and HTTPS) and squid (Basic or Digest), each on
// free loopback ports with its own configuration and temporary directory, stopped by PID.
#pragma once

#include "proxy.pb.h"

#include <boost/filesystem/path.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tvk_test {

// A directory under the system's temporary directory, removed with everything in it.
class temp_dir_t {
public:
    explicit temp_dir_t(const std::string& prefix = "tavik-test");
    temp_dir_t(const temp_dir_t&) = delete;
    temp_dir_t& operator=(const temp_dir_t&) = delete;
    ~temp_dir_t();
    const boost::filesystem::path& path() const { return path_; }

private:
    boost::filesystem::path path_;
};

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
std::uint16_t free_port();

// The installed program, or std::runtime_error naming the package that provides it.
std::string find_program(const std::string& name, const std::string& package);

// Runs a program to its end; std::runtime_error when it cannot run or exits with a failure.
void run_command(const std::vector<std::string>& argv, const boost::filesystem::path& output);

// A self-signed certificate and its key, made with the openssl command line tool.
struct certificate_t {
    boost::filesystem::path certificate;
    boost::filesystem::path key;
};
certificate_t make_self_signed_certificate(const boost::filesystem::path& dir,
                                           const std::string& common_name = "localhost");

// A child process that is stopped by its PID when the object goes.
class child_process_t {
public:
    // Starts argv[0] (a path) with standard input from /dev/null and both outputs to `output`.
    child_process_t(const std::vector<std::string>& argv, const boost::filesystem::path& output);
    child_process_t(const child_process_t&) = delete;
    child_process_t& operator=(const child_process_t&) = delete;
    ~child_process_t();

    int pid() const { return pid_; }
    bool running();
    // Waits for the end and returns the wait status.
    int wait();
    // SIGTERM, then SIGKILL when it does not end within the grace period; reaps it.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(10000));

private:
    int pid_ = -1;
};

// Waits until something accepts connections on 127.0.0.1:port; std::runtime_error when the child
// ends first or the wait runs out. `log` is quoted in the error.
void wait_for_port(std::uint16_t port, child_process_t& child, const boost::filesystem::path& log,
                   std::chrono::milliseconds limit = std::chrono::milliseconds(20000));

// Reads a file whole; empty when it does not exist.
std::string read_file(const boost::filesystem::path& path);
void write_file(const boost::filesystem::path& path, const std::string& content);

// nginx serving a document root over HTTP and HTTPS; every request is logged with its sizes.
class nginx_server_t {
public:
    // One line of the access log: "$request_length $bytes_sent $status $server_port $request".
    struct access_t {
        std::uint64_t request_length = 0;
        std::uint64_t bytes_sent = 0;
        int status = 0;
        std::uint16_t port = 0;
        std::string request;
    };

    nginx_server_t();
    ~nginx_server_t();

    const boost::filesystem::path& root() const { return root_; }
    std::uint16_t http_port() const { return http_port_; }
    std::uint16_t https_port() const { return https_port_; }
    std::string http_url(const std::string& file) const;
    std::string https_url(const std::string& file) const;

    std::vector<access_t> access_log() const;
    // Waits until the log holds at least `count` lines (nginx writes them after the response).
    std::vector<access_t> wait_for_access_log(std::size_t count) const;

private:
    temp_dir_t dir_;
    boost::filesystem::path root_;
    std::uint16_t http_port_ = 0;
    std::uint16_t https_port_ = 0;
    std::unique_ptr<child_process_t> process_;
};

// squid as an HTTP proxy that demands Basic or Digest credentials of one user.
class squid_server_t {
public:
    enum class auth_t { basic, digest };

    // One line of the access log: "%>Hs %rm %ru %un".
    struct access_t {
        int status = 0;
        std::string method;
        std::string url;
        std::string user;
    };

    squid_server_t(auth_t auth, const std::string& user, const std::string& password);
    ~squid_server_t();

    std::uint16_t port() const { return port_; }
    // Proxy settings for this proxy with the given credentials.
    tvk::Proxy proxy(const std::string& user, const std::string& password) const;

    std::vector<access_t> access_log() const;
    std::vector<access_t> wait_for_access_log(std::size_t count) const;

private:
    temp_dir_t dir_;
    std::uint16_t port_ = 0;
    std::unique_ptr<child_process_t> process_;
};

}  // namespace tvk_test
