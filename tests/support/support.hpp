// Shared by the tests: files, scratch folders, a kept log, development-key signatures, digests, frames.
#pragma once

#include "control/progress_watcher.hpp"
#include "framework/cf_log.hpp"
#include "framework/cf_outcome.hpp"
#include "framework/digest.hpp"
#include "framework/error_code.hpp"
#include "tools/tavik-sign/ed25519_signer.hpp"
#include "tools/tavik-sign/signer.hpp"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <fstream>
#include <functional>
#include <numeric>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

namespace ts {

namespace fs = boost::filesystem;

inline std::string slurp(const fs::path& path) {  // empty when the file cannot be read
    std::ifstream in(path.string(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void spit(const fs::path& path, const std::string& content) {  // parent folders too
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream(path.string(), std::ios::binary | std::ios::trunc) << content;
}

inline std::string listing(const fs::path& dir) {  // the sorted names, each followed by a blank
    std::set<std::string> names;
    for (fs::directory_iterator it(dir), end; it != end; ++it) names.insert(it->path().filename().string());
    return std::accumulate(names.begin(), names.end(), std::string(),
                           [](std::string t, const std::string& n) { return t + n + " "; });
}

// A fresh folder, removed with its contents; mode 0755, so that a dropped account reaches it.
class scratch_t {
public:
    explicit scratch_t(const std::string& prefix = "tavik-test") {
        std::string pattern = (fs::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!::mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp " + pattern);
        fs::permissions(path_ = pattern, fs::perms(0755));
    }
    scratch_t(const scratch_t&) = delete;
    ~scratch_t() {
        boost::system::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

inline int lowest_free_fd() {  // grows when something leaves a descriptor open
    const int fd = ::open("/dev/null", O_RDONLY);
    return ::close(fd), fd;
}

// Lines of a log, as a sink keeps them or a process wrote them.
struct log_lines_t {
    bool has(const std::string& line) const { return std::count(lines.begin(), lines.end(), line) > 0; }
    bool has_prefix(const std::string& p) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& l) { return l.compare(0, p.size(), p) == 0; });
    }
    std::string text() const {
        return std::accumulate(lines.begin(), lines.end(), std::string(),
                               [](std::string t, const std::string& l) { return t + l + "\n"; });
    }
    std::vector<std::string> lines;
};

// Keeps every line as "Level: text"; install() makes it the sink, at the threshold.
class capture_log_t : public cf_log_t, public log_lines_t {
public:
    static std::shared_ptr<capture_log_t> install(level_t threshold = debug) {
        auto sink = std::make_shared<capture_log_t>();
        reset_log_for_tests(), set_log(sink);
        cf_log_t::level_ = threshold;
        return sink;
    }
    void open() override {}
    void write(level_t level, const std::string& message) override {
        lines.push_back(std::string(level_text(level)) + ": " + message);
    }
    void write(const std::string&, int, const std::string& message) override { lines.push_back(message); }
    void out_of_memory() override { lines.push_back("out of memory"); }
};

struct null_watcher_t : upd::progress_watcher_t {
    void on_check_progress(const tvk::UpdateCheckProgress&) override {}
    void on_download_progress(const tvk::UpdateDownloadProgress&) override {}
    void on_stat(const tvk::UpdateAppStat&) override {}
};

// The development keys' signature text: DSA, then (when strong) an Ed25519 part.
inline std::string sign(const std::string& data, bool strong = true) {
    static const sign::private_key_t key = sign::load_private_key(TAVIK_SOURCE_DIR "/keys/development.key");
    static const sign::ed25519_signer_t ed25519 =
        sign::ed25519_signer_t::load(TAVIK_SOURCE_DIR "/keys/development-ed25519.key");
    return sign::sign_hex(key, data.data(), data.size()) + (strong ? ed25519.part(data.data(), data.size()) : "");
}

// The covered text, then the tail with "%s" (if any) replaced by its signature.
inline std::string signed_text(const std::string& covered, std::string tail) {
    if (tail.find("%s") != std::string::npos) tail.replace(tail.find("%s"), 2, sign(covered));
    return covered + tail;
}

inline std::string hex(const std::string& bytes) { return to_hex(bytes); }
inline std::string digest(const EVP_MD* md, const std::string& bytes) {
    return cf_digest_t::of(bytes.data(), bytes.size(), md);
}  // raw

// A status as the exit line shows it: "24 (Permission denied)".
inline std::string status(const cf_outcome_t& o) { return std::to_string(o.code()) + " (" + o.text() + ")"; }

// How a call ended: "ok", the exit code and the text the engine logs, or a status.
inline std::string outcome(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return std::to_string(exit_code_of(e)) + " " + exception_text(e);
    } catch (const cf_outcome_t& o) {
        return status(o);
    }
    return "ok";
}

inline std::string frame(const std::string& payload) {  // the length, 4 bytes little-endian, then the payload
    const auto n = static_cast<std::uint32_t>(payload.size());
    return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)} + payload;
}

inline std::string forged(std::string bytes, const std::string& near) {  // the last byte of `near` flipped
    const auto at = bytes.find(near);
    if (at == std::string::npos) throw std::runtime_error("nothing to forge near " + near);
    bytes[at + near.size() - 1] ^= 1;
    return bytes;
}

}  // namespace ts
