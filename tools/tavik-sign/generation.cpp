// The generation of a zone's tree that a make-zone run builds beside its output folder, and the switch of the output to
// it.
#include "tools/tavik-sign/generation.hpp"

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/published.hpp"

#include "files/lst_file.hpp"

#include <boost/filesystem/operations.hpp>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <vector>

namespace fs = boost::filesystem;

namespace sign {

namespace {

std::string generation_name(const std::string& name, const std::string& stamp) { return "." + name + ".gen-" + stamp; }
std::string switch_name(const std::string& name) { return "." + name + ".switch"; }
std::string lock_name(const std::string& name) { return "." + name + ".lock"; }
// What follows the generations' common head in `entry`: the stamp, when it is one of them.
std::string stamp_of(const std::string& name, const std::string& entry) {
    return entry.substr(std::min(generation_name(name, "").size(), entry.size()));
}

bool is_generation(const std::string& name, const std::string& entry) {
    const std::string head = generation_name(name, ""), stamp = stamp_of(name, entry);
    return entry.compare(0, head.size(), head) == 0 && upd::list_trust_t::valid_stamp(stamp);
}

// OUT as its folder and its last part.
std::pair<std::string, std::string> split(std::string out) {
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    const fs::path path(out);
    const std::string name = path.filename().string();
    if (name == "." || name == ".." || name == "/")
        throw std::runtime_error("--out " + quoted(out) + " must end in the name of a folder");
    return {path.has_parent_path() ? path.parent_path().string() : ".", name};
}

[[noreturn]] void fail(const char* what, const std::string& path) {
    const int error = errno;
    throw std::runtime_error(std::string(what) + " " + quoted(path) + ": " + std::strerror(error));
}

int open_folder(int at, const std::string& name) {
    return ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The mode of a folder made after `st`'s: the run writes into it.
mode_t writable(const struct stat& st) { return (st.st_mode & 07777) | S_IRWXU; }

bool is_folder(int at, const std::string& name, struct stat& st) {
    return ::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// The names in the folder open at `dir`, but "." and "..".
std::vector<std::string> entries(int dir, const std::string& path) {
    fd_guard_t listing(::dup(dir));
    DIR* d = listing.get() >= 0 ? ::fdopendir(listing.get()) : nullptr;
    if (!d) fail("cannot list", path);
    listing.release();
    const std::unique_ptr<DIR, int (*)(DIR*)> closer(d, ::closedir);
    ::rewinddir(d);  // the duplicate shares the offset of an earlier listing
    std::vector<std::string> names;
    for (errno = 0; const struct dirent* entry = ::readdir(d); errno = 0)
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    if (errno != 0) fail("cannot list", path);
    return names;
}

// Removes the folder `name` in `at` with all it holds, by descriptor: a link is removed, never
// followed. With `own`, only the folder of its device and inode: another under that name stays.
void remove_folder(int at, const std::string& name, const std::string& path, const struct stat* own = nullptr,
                   int depth = 0) {
    const fd_guard_t dir(open_folder(at, name));
    struct stat st;
    if (dir.get() < 0) fail("cannot open", path);
    if (own && (::fstat(dir.get(), &st) != 0 || st.st_dev != own->st_dev || st.st_ino != own->st_ino))
        throw std::runtime_error(quoted(path) + " is not the folder this run made: it stays");
    for (const std::string& entry : entries(dir.get(), path)) {
        if (!is_folder(dir.get(), entry, st)) {
            if (::unlinkat(dir.get(), entry.c_str(), 0) != 0) fail("cannot remove", path + "/" + entry);
        } else if (depth < generation_t::max_depth) {
            remove_folder(dir.get(), entry, path + "/" + entry, nullptr, depth + 1);
        }
    }
    if (::unlinkat(at, name.c_str(), AT_REMOVEDIR) != 0) fail("cannot remove", path);
}

// A generation that no tree shows goes; what stays is said, and the next run tries again.
void drop(int at, const std::string& name, const std::string& path, const struct stat* own = nullptr) noexcept {
    try {
        remove_folder(at, name, path, own);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavik-sign make-zone: warning: %s\n", e.what());
    }
}

// Hard-links into `to` what the folder `from` (at `prefix` in the tree at `tree`) holds and
// `published` does not claim, folders made anew: the entries themselves, links never followed.
void carry(int from, int to, const std::string& tree, const std::string& prefix, int depth,
           const std::function<bool(const std::string&)>& published) {
    for (const std::string& entry : entries(from, tree + "/" + prefix)) {
        const std::string name = prefix + entry, path = tree + "/" + name;
        struct stat st;
        if (published(name)) continue;
        if (!is_folder(from, entry, st)) {
            if (::linkat(from, entry.c_str(), to, entry.c_str(), 0) != 0 && errno != EEXIST) fail("cannot link", path);
            continue;
        }
        if (depth == generation_t::max_depth)
            throw std::runtime_error(quoted(path) + " is more than " + std::to_string(depth) +
                                     " folders deep: not carried over");
        if (::mkdirat(to, entry.c_str(), writable(st)) != 0 && errno != EEXIST) fail("cannot make", path);
        const fd_guard_t sub_from(open_folder(from, entry)), sub_to(open_folder(to, entry));
        if (sub_from.get() < 0 || sub_to.get() < 0) fail("cannot open", path);
        carry(sub_from.get(), sub_to.get(), tree, name + "/", depth + 1, published);
    }
}

}  // namespace

bool generation_t::of_tree(const std::string& out, const fs::path& entry) {
    const auto place = split(out);
    const std::string name = entry.filename().string();
    boost::system::error_code ignored;
    return (name == place.second || name == switch_name(place.second) || name == lock_name(place.second) ||
            is_generation(place.second, name)) &&
           fs::equivalent(entry.parent_path(), place.first, ignored);
}

std::string generation_t::lock_path(const std::string& out) {
    const auto place = split(out);
    return (fs::path(place.first) / lock_name(place.second)).string();
}

generation_t::generation_t(const std::string& out, const std::string& stamp) {
    std::tie(parent_, name_) = split(out);
    fs::create_directories(parent_);
    at_.reset(::open(parent_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (at_.get() < 0) fail("cannot open", parent_);
    new_ = generation_name(name_, stamp);
    struct stat st;
    mode_t mode = 0777;  // less the umask; else that of the tree before
    if (is_folder(at_.get(), name_, st)) {
        const std::string last = published_t::last_stamp(out);
        old_ = name_, converted_ = generation_name(name_, last.empty() ? "0" : last), mode = writable(st);
    } else if (::fstatat(at_.get(), name_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        char target[512];
        const ssize_t n = S_ISLNK(st.st_mode) ? ::readlinkat(at_.get(), name_.c_str(), target, sizeof target) : -1;
        if (n > 0 && n < static_cast<ssize_t>(sizeof target)) old_.assign(target, static_cast<std::size_t>(n));
        if (!is_generation(name_, old_) || !is_folder(at_.get(), old_, st)) {
            throw std::runtime_error(
                "--out " + quoted(out) +
                " is neither a folder nor a link to one of the generations make-zone keeps beside it");
        }
        mode = writable(st);
    } else if (errno != ENOENT) {
        fail("cannot read", out);
    }
    if (new_ == old_) throw std::runtime_error(quoted(path()) + " is the tree " + quoted(out) + " shows now");
    // Left by a run cut short, or before --out was removed; but one below the stamp OUT shows may be
    // the generation before it, which clients may still be fetching from.
    const std::string shown = stamp_of(name_, converted_.empty() ? old_ : converted_);
    for (const std::string& stale : {new_, converted_}) {
        if (stale.empty() || !is_folder(at_.get(), stale, st)) continue;
        const std::string stale_path = (fs::path(parent_) / stale).string();
        if (!shown.empty() && upd::list_trust_t::stamp_less(stamp_of(name_, stale), shown))
            throw std::runtime_error(quoted(stale_path) + " is a generation before the tree " + quoted(out) +
                                     " shows: it stays");
        remove_folder(at_.get(), stale, stale_path);
    }
    if (::mkdirat(at_.get(), new_.c_str(), mode) != 0) fail("cannot make", path());
    if (::fstatat(at_.get(), new_.c_str(), &made_, AT_SYMLINK_NOFOLLOW) != 0) fail("cannot read", path());
}

generation_t::~generation_t() {
    if (switched_) return;
    if (linked_) ::unlinkat(at_.get(), switch_name(name_).c_str(), 0);
    drop(at_.get(), new_, path(), &made_);
}

std::string generation_t::path() const { return (fs::path(parent_) / new_).string(); }

void generation_t::carry_over(const std::function<bool(const std::string&)>& published) const {
    if (old_.empty()) return;
    const fd_guard_t from(open_folder(at_.get(), old_)), to(open_folder(at_.get(), new_));
    if (from.get() < 0 || to.get() < 0) fail("cannot open", (fs::path(parent_) / old_).string());
    carry(from.get(), to.get(), (fs::path(parent_) / old_).string(), "", 0, published);
}

void generation_t::switch_to() {
    const std::string link = switch_name(name_), out = (fs::path(parent_) / name_).string(),
                      link_path = (fs::path(parent_) / link).string();
    if (::unlinkat(at_.get(), link.c_str(), 0) != 0 && errno != ENOENT)
        fail("cannot remove", link_path);  // left by a run cut short
    if (::symlinkat(new_.c_str(), at_.get(), link.c_str()) != 0) fail("cannot make the link", link_path);
    linked_ = true;
    if (!converted_.empty()) {
        // A link cannot replace a folder by rename: between the two renames, with nothing else
        // between them, OUT is missing, and clients asking then are told so. It happens once.
        if (::renameat(at_.get(), name_.c_str(), at_.get(), converted_.c_str()) != 0) fail("cannot rename", out);
    }
    if (::renameat(at_.get(), link.c_str(), at_.get(), name_.c_str()) != 0) {
        const int error = errno;
        if (!converted_.empty()) ::renameat(at_.get(), converted_.c_str(), at_.get(), name_.c_str());
        errno = error;
        fail("cannot switch", out);
    }
    switched_ = true;
    if (!converted_.empty())
        std::printf(
            "tavik-sign make-zone: %s was a folder: it is now %s beside it, and %s a link to the generation each run "
            "publishes\n",
            quoted(out).c_str(), quoted(converted_).c_str(), quoted(out).c_str());
    const std::string previous = converted_.empty() ? old_ : converted_;
    try {
        struct stat st;
        for (const std::string& entry : entries(at_.get(), parent_))
            if (entry != new_ && entry != previous && is_generation(name_, entry) && is_folder(at_.get(), entry, st))
                drop(at_.get(), entry, (fs::path(parent_) / entry).string());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavik-sign make-zone: warning: %s\n", e.what());
    }
}

}  // namespace sign
