// The record of what make-zone published, and what of the tree before a run was make-zone's.
#include "tools/tavik-sign/published.hpp"

#include "tools/tavik-sign/command.hpp"

#include <boost/filesystem/path.hpp>

#include "files/lst_file.hpp"
#include "files/mirror_tree.hpp"
#include "files/patch_index.hpp"
#include "files/signature_text.hpp"
#include "framework/fd_io.hpp"
#include "framework/limits.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fs = boost::filesystem;

namespace sign {

const char published_t::record_name[] = ".published";

namespace {

// The list `text` as the updater reads it, its signature left to the caller; false when it is none.
bool read_list(const std::string& text, upd::lst_file_t& list) {
    try {
        list.parse(text.data(), text.data() + text.size(), upd::origin_t::publisher);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::string published_t::last_stamp(const std::string& out) {
    std::string text;
    try {
        const std::vector<char> bytes =
            ::read_regular_file((fs::path(out) / upd::mirror_tree::list).string(), upd::max_in_memory);
        text.assign(bytes.begin(), bytes.end());
    } catch (const std::exception&) {
        return "";
    }
    upd::lst_file_t list;
    return read_list(text, list) ? list.stamp() : "";
}

published_t::published_t(const std::string& out, const signing_keys_t& keys) {
    dir_.reset(::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_.get() < 0 && errno != ENOENT)
        throw std::runtime_error("cannot open " + quoted(out) + ": " + std::strerror(errno));
    const std::string text = read_at(upd::mirror_tree::list);
    std::string covered, signature;
    upd::lst_file_t list;
    if (read_list(text, list) && upd::lst_file_t::split_signed(text, covered, signature)) {
        const bool dsa = keys.dsa_verifies(covered, signature), ed25519 = keys.ed25519_verifies(covered, signature);
        const upd::signature_text_t parsed(signature);
        change_ = {!dsa, !ed25519 && !parsed.parts().empty(), parsed.keyids()};
        // What the signed list names is make-zone's; a list none of the keys signed names nothing.
        if (dsa || ed25519)
            for (const std::string& name : list.names()) listed_.insert(name);
    }
    drl_ = read_at(upd::mirror_tree::server_list);
}

std::string published_t::read_at(const std::string& name, std::size_t max) const {
    try {
        const std::vector<char> bytes = ::read_regular_file(name, max, O_NOFOLLOW, dir_.get());
        return std::string(bytes.begin(), bytes.end());
    } catch (const std::runtime_error&) {
        return "";  // none, or none to trust
    }
}

bool published_t::publishes(const std::string& name) const {
    const std::size_t packed = std::strlen(upd::mirror_tree::packed_suffix);
    const bool is_packed =
        name.size() > packed && name.compare(name.size() - packed, packed, upd::mirror_tree::packed_suffix) == 0;
    const std::string base = is_packed ? name.substr(0, name.size() - packed) : name;
    return listed_.count(base) || base == upd::mirror_tree::list || name == record_name ||
           name == upd::mirror_tree::patch_index || upd::patch_index_t::is_patch_path(name) ||
           (name.find('/') == std::string::npos && !drl_.empty() && read_at(name, drl_.size()) == drl_);
}

void published_t::save(const std::string& path) const {
    std::string text =
        "# The files that tavik-sign make-zone published in this tree; the rest was carried over from the tree "
        "before.\n";
    for (const std::string& name : names_) text += name + "\n";
    write_output(path, text);
}

}  // namespace sign
