// tavik-sign make-zone: builds the update-server tree of one zone from a folder of files.
#include "tools/tavik-sign/make_zone.hpp"

#include "tools/tavik-sign/formats.hpp"
#include "tools/tavik-sign/signer.hpp"

#include "files/apply_patch.hpp"
#include "files/lst_file.hpp"
#include "files/patch_index.hpp"
#include "framework/fd_guard.hpp"
#include "framework/fd_io.hpp"
#include "net/url.hpp"

#include <lzma/LzmaEnc.h>
#include <openssl/evp.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <boost/filesystem.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace sign {

const char published_t::record_name[] = ".published";

namespace {

const char* const reserved_names[] = {"update.drl", "zone.ini", "version.lst", "version.lst.lzma",
                                      published_t::record_name, "patches"};

// Zero-filled: the SDK's match finder compares sizes of its first allocation before it has set
// them (harmlessly, but memory checkers rightly flag it).
void* sz_alloc(void*, size_t size) { return size ? std::calloc(1, size) : nullptr; }
void sz_free(void*, void* address) { std::free(address); }

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

[[noreturn]] void fail(const char* what, const std::string& path, int err) {
    // (what is a plain text, so that nothing between the failed call and this one changes errno)
    throw std::runtime_error(std::string(what) + " " + quoted(path) + ": " + std::strerror(err));
}

// A file of the tree, written under a temporary name and renamed into place once complete, so
// that a server never offers a half-written file; the temporary goes unless committed.
class sink_t {
public:
    explicit sink_t(std::string path) : path_(std::move(path)), temporary_(path_ + ".part") {
        ::unlink(temporary_.c_str());  // never written through a link planted there
        fd_.reset(::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd_.get() < 0) fail("cannot create", temporary_, errno);
    }
    ~sink_t() {
        if (!committed_) fd_.reset(), ::unlink(temporary_.c_str());
    }
    void write(const void* data, std::size_t size) {
        boost::system::error_code ec;
        write_all(fd_.get(), data, size, ec);
        if (ec) throw std::runtime_error("cannot write " + quoted(temporary_) + ": " + ec.message());
    }
    void commit() {
        if (fd_.close_checked() != 0) fail("cannot write", temporary_, errno);
        if (::rename(temporary_.c_str(), path_.c_str()) != 0) fail("cannot rename to", path_, errno);
        committed_ = true;
    }

private:
    std::string path_, temporary_;
    fd_guard_t fd_;
    bool committed_ = false;
};

void write_file(const std::string& path, const std::string& data) {
    sink_t sink(path);
    sink.write(data.data(), data.size());
    sink.commit();
}

std::string to_hex(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// One file read in chunks, each of them fed to the SHA-256 digest and, when asked, to a copy:
// no file is ever held whole in memory.
class source_t {
public:
    source_t(std::string path, sink_t* copy) : path_(std::move(path)), copy_(copy) {
        boost::system::error_code ec;
        struct stat st;
        fd_.reset(open_regular(path_.c_str(), ec, &st));
        if (fd_.get() < 0) throw std::runtime_error("cannot read " + quoted(path_) + ": " + ec.message());
        size_ = static_cast<std::uint64_t>(st.st_size);
        // List sizes are 32-bit; a bigger file could never be described, so it is not read.
        if (size_ > 0xffffffffu) throw std::runtime_error(quoted(path_) + " is larger than 4 GiB");
        if (!sha_ || EVP_DigestInit_ex(sha_.get(), EVP_sha256(), nullptr) != 1) {
            throw std::runtime_error("SHA-256 failed");
        }
    }
    std::uint64_t size() const { return size_; }
    // Every byte read from now on is also appended to `whole`.
    void keep(std::string* whole) {
        keep_ = whole;
        keep_->reserve(static_cast<std::size_t>(size_));
    }

    // At most `max` bytes; 0 once the size found at the start is read.
    std::size_t read(void* buffer, std::size_t max) {
        max = static_cast<std::size_t>(std::min<std::uint64_t>(max, size_ - done_));
        if (max == 0) return 0;
        ssize_t n;
        do n = ::read(fd_.get(), buffer, max);
        while (n < 0 && errno == EINTR);
        if (n < 0) fail("cannot read", path_, errno);
        if (n == 0) throw std::runtime_error(quoted(path_) + " became shorter while it was read");
        if (EVP_DigestUpdate(sha_.get(), buffer, static_cast<std::size_t>(n)) != 1) {
            throw std::runtime_error("SHA-256 failed");
        }
        if (copy_) copy_->write(buffer, static_cast<std::size_t>(n));
        if (keep_) keep_->append(static_cast<const char*>(buffer), static_cast<std::size_t>(n));
        done_ += static_cast<std::uint64_t>(n);
        return static_cast<std::size_t>(n);
    }

    // The list entry, once every byte is read; a file changed meanwhile would not match it.
    zone_entry_t entry(const std::string& name) {
        struct stat st;
        if (::fstat(fd_.get(), &st) != 0) fail("cannot read", path_, errno);
        if (done_ != size_ || static_cast<std::uint64_t>(st.st_size) != size_) {
            throw std::runtime_error(quoted(path_) + " changed while it was read");
        }
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(sha_.get(), digest, &length) != 1) throw std::runtime_error("SHA-256 failed");
        return {name, to_hex(digest, length), size_};
    }

private:
    struct md_free_t {
        void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
    };
    std::string path_;
    sink_t* copy_;
    std::string* keep_ = nullptr;
    fd_guard_t fd_;
    std::uint64_t size_ = 0, done_ = 0;
    std::unique_ptr<EVP_MD_CTX, md_free_t> sha_{EVP_MD_CTX_new()};
};

// The encoder settings of every packed file: lzma_pack and the streams write the same bytes.
CLzmaEncProps pack_props(std::uint64_t size) {
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 7;
    // A dictionary no larger than the data keeps the encoder's memory small for small files.
    props.reduceSize = static_cast<UInt32>(std::min<std::uint64_t>(size, 0xffffffffu));
    props.writeEndMark = 0;
    return props;
}

std::string container_head(const Byte (&properties)[LZMA_PROPS_SIZE], std::uint64_t size) {
    std::string head(reinterpret_cast<const char*>(properties), LZMA_PROPS_SIZE);
    for (int i = 0; i < 8; ++i) head += static_cast<char>((size >> (8 * i)) & 0xff);
    return head;
}

// The encoder calls back through these; an exception must not cross its C frames, so it waits
// in the context until the encoder has returned.
struct pack_context_t {
    source_t* source;
    sink_t* sink;
    std::exception_ptr error;
};
struct pack_in_t {
    ISeqInStream base;
    pack_context_t* context;
};
struct pack_out_t {
    ISeqOutStream base;
    pack_context_t* context;
};

SRes pack_read(void* p, void* buffer, size_t* size) {
    pack_context_t& c = *static_cast<pack_in_t*>(p)->context;
    try {
        *size = c.source->read(buffer, *size);
        return SZ_OK;
    } catch (...) {
        c.error = std::current_exception(), *size = 0;
        return SZ_ERROR_READ;
    }
}

size_t pack_write(void* p, const void* data, size_t size) {
    pack_context_t& c = *static_cast<pack_out_t*>(p)->context;
    try {
        c.sink->write(data, size);
        return size;
    } catch (...) {
        c.error = std::current_exception();
        return 0;
    }
}

// The whole source packed into the sink as a stream, in the container of lzma_pack.
void pack_stream(source_t& source, sink_t& sink) {
    ISzAlloc alloc = {sz_alloc, sz_free};
    const CLzmaEncProps props = pack_props(source.size());
    struct encoder_t {
        CLzmaEncHandle handle;
        ISzAlloc* alloc;
        ~encoder_t() { if (handle) LzmaEnc_Destroy(handle, alloc, alloc); }
    } encoder{LzmaEnc_Create(&alloc), &alloc};
    if (!encoder.handle) throw std::bad_alloc();
    Byte properties[LZMA_PROPS_SIZE];
    SizeT properties_size = LZMA_PROPS_SIZE;
    pack_context_t context{&source, &sink, nullptr};
    pack_in_t in{{&pack_read}, &context};
    pack_out_t out{{&pack_write}, &context};
    SRes r = LzmaEnc_SetProps(encoder.handle, &props);
    if (r == SZ_OK) r = LzmaEnc_WriteProperties(encoder.handle, properties, &properties_size);
    if (r == SZ_OK && properties_size == LZMA_PROPS_SIZE) {
        const std::string head = container_head(properties, source.size());
        sink.write(head.data(), head.size());
        r = LzmaEnc_Encode(encoder.handle, &out.base, &in.base, nullptr, &alloc, &alloc);
    }
    if (context.error) std::rethrow_exception(context.error);
    if (r != SZ_OK || properties_size != LZMA_PROPS_SIZE) {
        throw std::runtime_error("LZMA encoder failed with result " + std::to_string(r));
    }
}

void drain(source_t& source) {
    char buffer[65536];
    while (source.read(buffer, sizeof buffer) != 0) {
    }
}

// Reads one file once for its list entry, its copy at `copy` (unless empty), its bytes into
// `whole` when given and the file is small enough to patch, and, when `pack` is set and it is at
// most 32 MiB, its packed form at `packed`. Otherwise a packed form left there by an earlier run
// goes: it would be fetched in place of the plain one and fail its digest check. Returns whether
// the file was packed.
bool stream_file(const std::string& path, const std::string& copy, const std::string& packed, bool pack,
                 zone_entry_t& entry, std::string* whole = nullptr) {
    std::unique_ptr<sink_t> copy_sink(copy.empty() ? nullptr : new sink_t(copy));
    source_t source(path, copy_sink.get());
    if (whole && source.size() <= upd::max_patched_size) source.keep(whole);
    std::unique_ptr<sink_t> packed_sink(pack && source.size() <= upd::max_in_memory ? new sink_t(packed) : nullptr);
    if (packed_sink) {
        pack_stream(source, *packed_sink);
    } else {
        drain(source);
    }
    entry = source.entry(entry.name);
    if (copy_sink) copy_sink->commit();
    if (packed_sink) packed_sink->commit();
    else std::remove(packed.c_str());
    return packed_sink != nullptr;
}

// zstd's level 9: on a 100 MiB file with 1% changed it makes the same patch as every level up to
// 15 in about a second, and a few percent smaller ones than the faster levels where the new bytes
// compress; levels 16 and up lose most matches into a long reference.
constexpr int patch_level = 9;

// The patch that makes `target` of `reference`: one frame with the reference as its raw prefix,
// long-distance matching, a window over both, the content size and a checksum. Empty when it
// would take more than `capacity` bytes.
std::string encode_patch(const std::string& reference, const std::string& target, std::size_t capacity) {
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    if (!cctx) throw std::bad_alloc();
    const std::pair<ZSTD_cParameter, int> parameters[] = {
        {ZSTD_c_compressionLevel, patch_level},
        {ZSTD_c_enableLongDistanceMatching, 1},
        {ZSTD_c_windowLog, static_cast<int>(upd::patch_window_log(reference.size(), target.size()))},
        {ZSTD_c_checksumFlag, 1}};
    size_t r = 0;
    for (const auto& p : parameters) {
        if (!ZSTD_isError(r)) r = ZSTD_CCtx_setParameter(cctx.get(), p.first, p.second);
    }
    if (!ZSTD_isError(r)) r = ZSTD_CCtx_refPrefix(cctx.get(), reference.data(), reference.size());
    // Left uninitialised: only the pages that the frame fills are ever touched.
    std::unique_ptr<char[]> frame(new char[capacity + 1]);
    if (!ZSTD_isError(r)) r = ZSTD_compress2(cctx.get(), frame.get(), capacity, target.data(), target.size());
    if (ZSTD_getErrorCode(r) == ZSTD_error_dstSize_tooSmall) return "";
    if (ZSTD_isError(r)) throw std::runtime_error(std::string("zstd encoder failed: ") + ZSTD_getErrorName(r));
    return std::string(frame.get(), r);
}

// The patches from the versions of the files that the --previous folders hold to those of this
// run, and their index.
class patcher_t {
public:
    patcher_t(const fs::path& out, const std::vector<std::string>& previous, published_t& published)
        : out_(out), previous_(previous), published_(published) {}

    // Whether a folder holds a file of that name, whose new bytes make() then needs.
    bool wanted(const std::string& name) const {
        struct stat st;
        for (const std::string& dir : previous_) {
            if (::stat((fs::path(dir) / name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
        }
        return false;
    }

    // A patch to `target`, the bytes of the file that `entry` lists, from each distinct earlier
    // version, when it is below half of `replaced`: the size of what a client fetches otherwise.
    void make(const zone_entry_t& entry, const std::string& target, std::uint64_t replaced) {
        if (entry.size > upd::max_patched_size || target.size() != entry.size) return;
        std::set<std::string> seen{entry.sha256_hex};
        for (const std::string& dir : previous_) {
            const std::string path = (fs::path(dir) / entry.name).string();
            struct stat st;
            if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
            std::string reference;
            source_t source(path, nullptr);
            if (source.size() > upd::max_patched_size) continue;
            source.keep(&reference);
            drain(source);
            const std::string old_hex = source.entry(entry.name).sha256_hex;
            if (!seen.insert(old_hex).second) continue;
            const std::string name = upd::patch_index_t::patch_path(old_hex, entry.sha256_hex);
            // Tried already for a file of the same bytes under another name.
            auto tried = tried_.find(name);
            if (tried == tried_.end()) {
                const std::string patch = encode_patch(reference, target, static_cast<std::size_t>(replaced == 0 ? 0 : (replaced - 1) / 2));
                tried = tried_.emplace(name, !patch.empty()).first;
                if (!patch.empty()) {
                    published_.add(name);
                    published_.add(upd::patch_index_t::path);
                    published_.save_pending();
                    fs::create_directories((out_ / name).parent_path());
                    write_file((out_ / name).string(), patch);
                }
            }
            if (tried->second) lines_.insert(upd::patch_index_t::line(entry.name, old_hex, entry.sha256_hex));
        }
    }

    // Writes the index, sorted, when there is a patch; returns the number of its lines.
    std::size_t write_index() const {
        std::string text;
        for (const std::string& line : lines_) text += line;
        if (!text.empty()) write_file((out_ / upd::patch_index_t::path).string(), text);
        return lines_.size();
    }

private:
    const fs::path out_;
    const std::vector<std::string>& previous_;
    published_t& published_;
    std::map<std::string, bool> tried_;  // patch name: written
    std::set<std::string> lines_;
};

bool name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Signs text with one of the format commands, which also checks the result against the key.
void sign_into(const char* command, const std::string& text, const std::string& path,
               const std::string& key) {
    const std::string unsigned_path = path + ".unsigned";
    write_file(unsigned_path, text);
    struct remover_t {
        std::string path;
        ~remover_t() { std::remove(path.c_str()); }
    } remover{unsigned_path};
    for (const command_t& c : format_commands()) {
        if (c.name != command) continue;
        if (c.run({unsigned_path, path, "--key", key}) != 0) {
            throw std::runtime_error(std::string(command) + " failed for " + quoted(path));
        }
        return;
    }
    throw std::runtime_error(std::string("the signing tool has no ") + command + " command");
}

// True when `path` holds this covered text signed under this key already. Signing anew would
// change the file (each signature has a random nonce), and every client would fetch and install
// it again after each publication.
bool signed_already(const std::string& path, const std::string& covered,
                    std::string (*form)(const std::string&, const std::string&), const public_key_t& key) {
    std::string existing;
    try {
        existing = read_input(path);
    } catch (const input_error_t&) {
        return false;  // signed anew, and written where it may be
    }
    const std::string zeros(80, '0'), probe = form(covered, zeros);
    const std::size_t at = probe.find(zeros, covered.size());
    if (existing.size() != probe.size() || at == std::string::npos) return false;
    const std::string signature = existing.substr(at, zeros.size());
    return existing == form(covered, signature) && verify_hex(key, covered.data(), covered.size(), signature);
}

std::string utc_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[32];
    // To the second: two lists made in the same minute must not share a stamp, or a mirror could
    // serve either.
    std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    return text;
}

// The stamp of the list a tree holds already; empty when it holds none that can be read.
std::string published_stamp(const fs::path& out) {
    std::ifstream in((out / "version.lst").string(), std::ios::binary);
    std::string header, line;
    if (!std::getline(in, header) || !std::getline(in, line)) return "";
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < 3 || line.front() != '[' || line.back() != ']') return "";
    line = line.substr(1, line.size() - 2);
    return line.find_first_not_of("0123456789") == std::string::npos ? line : "";
}

// One input file: copied to the tree, measured and, unless told otherwise, packed beside it.
struct input_t {
    std::string name;
    std::string path;
};

std::vector<input_t> list_inputs(const zone_options_t& options) {
    std::vector<input_t> inputs;
    boost::system::error_code ec;
    for (fs::directory_iterator it(options.files, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::string path = it->path().string();
        boost::system::error_code ignored;
        if (fs::is_directory(it->path(), ignored) && fs::equivalent(it->path(), options.out, ignored)) {
            continue;  // the tree itself, kept inside the folder of files
        }
        if (!fs::is_regular_file(it->path())) {  // follows links
            throw std::runtime_error(quoted(path) + " is not a regular file");
        }
        const std::string problem = check_file_name(name);
        if (!problem.empty()) throw std::runtime_error(quoted(path) + ": " + problem);
        for (const char* reserved : reserved_names) {
            if (name == reserved) {
                throw std::runtime_error(quoted(path) + ": " + name +
                                         " is made by make-zone itself");
            }
        }
        inputs.push_back({name, path});
    }
    if (ec) throw std::runtime_error("cannot list " + quoted(options.files) + ": " + ec.message());
    if (inputs.empty() && !options.allow_empty) {
        throw std::runtime_error(quoted(options.files) + " holds no regular file (--allow-empty publishes a zone without files)");
    }
    std::sort(inputs.begin(), inputs.end(),
              [](const input_t& a, const input_t& b) { return a.name < b.name; });
    if (options.packed) {
        // NAME.lzma of one file would overwrite another input of that name.
        std::set<std::string> names;
        for (const input_t& i : inputs) names.insert(i.name);
        for (const input_t& i : inputs) {
            if (!upd::lst_file_t::is_timestamp(i.name) && names.count(i.name + ".lzma")) {
                throw std::runtime_error(quoted(i.path + ".lzma") +
                                         " would be replaced by the packed form of " + i.name);
            }
        }
    }
    return inputs;
}

// A name the record may hold: relative, in plain file names, never leading out of the tree.
bool recordable(const std::string& name) {
    std::size_t begin = 0;
    for (std::size_t end; begin <= name.size(); begin = end + 1) {
        end = std::min(name.find('/', begin), name.size());
        const std::string part = name.substr(begin, end - begin);
        if (!check_file_name(part).empty() || part == "." || part == "..") return false;
    }
    return true;
}

}  // namespace

published_t::published_t(std::string out) : out_(std::move(out)) {
    const std::string path = (fs::path(out_) / record_name).string();
    std::string text;
    try {
        text = read_input(path);
    } catch (const input_error_t& e) {
        if (e.error_number != ENOENT) throw;  // the first run
    }
    for (std::size_t begin = 0, end; begin < text.size(); begin = end + 1) {
        end = std::min(text.find('\n', begin), text.size());
        const std::string name = text.substr(begin, end - begin);
        if (!name.empty() && name[0] != '#' && recordable(name)) last_.insert(name);
    }
}

void published_t::add(const std::string& name) {
    if (!recordable(name)) throw std::invalid_argument("no name of a published file: " + quoted(name));
    names_.insert(name);
}

void published_t::save(const std::set<std::string>& names) const {
    std::string text = "# The files that tavik-sign make-zone published here: its next run removes those it no longer publishes.\n";
    for (const std::string& name : names) text += name + "\n";
    write_file((fs::path(out_) / record_name).string(), text);
}

void published_t::save_pending() const {
    std::set<std::string> names = last_;
    names.insert(names_.begin(), names_.end());
    save(names);
}

void published_t::finish() const {
    std::set<std::string> kept = names_;
    std::set<fs::path> folders;
    for (const std::string& name : last_) {
        const std::string path = (fs::path(out_) / name).string();
        if (names_.count(name)) continue;
        for (fs::path f = fs::path(name).parent_path(); !f.empty(); f = f.parent_path()) folders.insert(f);
        if (::unlink(path.c_str()) == 0 || errno == ENOENT) continue;
        std::fprintf(stderr, "tavik-sign make-zone: warning: cannot remove %s: %s\n", quoted(path).c_str(),
                     std::strerror(errno));
        kept.insert(name);
    }
    // The folders that held what went, once empty, the deepest first; one that holds anything stays.
    for (auto f = folders.rbegin(); f != folders.rend(); ++f) ::rmdir((fs::path(out_) / *f).c_str());
    save(kept);
}

std::string lzma_pack(const std::string& data) {
    const CLzmaEncProps props = pack_props(data.size());
    // Incompressible data grows a little; this bound leaves room for it.
    SizeT stream_size = data.size() + data.size() / 2 + 1024;
    std::string out(13 + stream_size, '\0');
    Byte properties[LZMA_PROPS_SIZE];
    SizeT properties_size = LZMA_PROPS_SIZE;
    ISzAlloc alloc = {sz_alloc, sz_free};
    const SRes r = LzmaEncode(reinterpret_cast<Byte*>(&out[13]), &stream_size,
                              reinterpret_cast<const Byte*>(data.data()), data.size(), &props,
                              properties, &properties_size, 0, nullptr, &alloc, &alloc);
    if (r != SZ_OK || properties_size != LZMA_PROPS_SIZE) {
        throw std::runtime_error("LZMA encoder failed with result " + std::to_string(r));
    }
    out.replace(0, 13, container_head(properties, data.size()));
    out.resize(13 + stream_size);
    return out;
}

std::string check_file_name(const std::string& name) {
    if (name.empty()) return "empty file name";
    for (char c : name) {
        if (!name_char(c)) {
            return "the file name may hold only letters, digits, '-', '.' and '_'";
        }
    }
    return "";
}

std::string check_pattern(const std::string& pattern) {
    if (pattern.empty()) return "empty pattern";
    for (char c : pattern) {
        if (!name_char(c) && c != '?' && c != '*') {
            return "the pattern " + quoted(pattern) +
                   " may hold only letters, digits, '?', '*', '-', '.' and '_'";
        }
    }
    return "";
}

std::string check_url(const std::string& url, bool in_ini) {
    if (url.empty()) return "empty URL";
    const std::string the_url = "the URL " + quoted(url);
    for (char c : url) {
        // The readers trim blanks and end lines at CR or LF; the INI reader also cuts comments.
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            return the_url + " holds a blank or a line end";
        }
        if (in_ini && (c == '#' || c == ';')) {
            return the_url + " holds '#' or ';', which zone.ini takes for a comment";
        }
    }
    // The updater splits URLs plainly and never fails: what it cannot take, it takes for
    // something else, so each URL must read back as it was given.
    const upd::url_t parsed(url);
    std::string scheme = parsed.scheme();
    for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t host_at = url.find("://") + 3;
    if (host_at == 2 || (scheme != "http" && scheme != "https")) return the_url + " does not begin with http:// or https://";
    if (parsed.host().empty()) return the_url + " names no host";
    const std::string authority = url.substr(host_at, url.find('/', host_at) - host_at);
    if (authority.find('@') != std::string::npos) {
        return the_url + " holds a user name, which the updater would take for the host";
    }
    const std::size_t colon = authority.find(':');
    const std::string port = colon == std::string::npos ? "1" : authority.substr(colon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(port) == 0 || std::stoul(port) > 65535) {
        return "the port of " + the_url + " is not a number from 1 to 65535";
    }
    for (char c : parsed.host()) {
        if (!name_char(c)) return "the host of " + the_url + " may hold only letters, digits, '-', '.' and '_'";
    }
    const std::string back = parsed.to_string();  // a base URL's last '/' is added when joining
    if (back != url && back + "/" != url) return the_url + " would be read as " + quoted(back);
    return "";
}

std::string lst_text(const std::string& stamp, std::vector<zone_entry_t> entries,
                     const std::vector<std::string>& patterns) {
    std::sort(entries.begin(), entries.end(),
              [](const zone_entry_t& a, const zone_entry_t& b) { return a.name < b.name; });
    std::string text = "[TavikUpdateList]\n[" + stamp + "]\n";
    for (const zone_entry_t& e : entries) {
        text += "+" + e.name + ", " + e.sha256_hex + ", " + std::to_string(e.size) + "\n";
    }
    for (const std::string& p : patterns) text += "-" + p + ",\n";
    text += "[TavikUpdateListEnd]\n";
    return text;
}

void make_zone(const zone_options_t& options) {
    if (options.urls.empty()) throw std::runtime_error("at least one --url is needed");
    for (const std::string& u : options.urls) {
        const std::string problem = check_url(u, false);
        if (!problem.empty()) throw std::runtime_error(problem);
    }
    for (const std::string& u : options.fallbacks) {
        const std::string problem = check_url(u, true);
        if (!problem.empty()) throw std::runtime_error(problem);
    }
    for (const std::string& p : options.patterns) {
        const std::string problem = check_pattern(p);
        if (!problem.empty()) throw std::runtime_error(problem);
    }
    if (!options.drl_name.empty() && !check_file_name(options.drl_name).empty()) {
        throw std::runtime_error("--drl-name " + quoted(options.drl_name) + ": " + check_file_name(options.drl_name));
    }
    const std::string stamp = options.stamp.empty() ? utc_stamp() : options.stamp;
    if (stamp.empty() || stamp.find_first_not_of("0123456789") != std::string::npos ||
        stamp.size() > upd::lst_file_t::max_stamp_digits) {
        throw std::runtime_error("the stamp " + quoted(stamp) + " must be 1 to " +
                                 std::to_string(upd::lst_file_t::max_stamp_digits) + " decimal digits");
    }
    // Clients take no list below the one they installed last, and may take one of the same stamp
    // from any mirror: each list must be above the last.
    const std::string previous = published_stamp(options.out);
    if (!previous.empty() && !upd::stamp_less(previous, stamp)) {
        throw std::runtime_error("the stamp " + stamp + " is not above " + previous + ", the stamp of the list in " +
                                 quoted(options.out) + " (to go back, remove that tree first)");
    }
    const private_key_t key = load_private_key(options.key);  // a bad key file fails before anything is written
    const public_key_t public_key{key.p, key.q, key.g, key.y};
    if (!fs::is_directory(options.files)) {
        throw std::runtime_error(quoted(options.files) + " is not a directory");
    }
    const std::vector<input_t> inputs = list_inputs(options);

    fs::create_directories(options.out);
    if (fs::equivalent(options.out, options.files)) {
        throw std::runtime_error("the output folder must not be the folder of files");
    }
    for (const std::string& dir : options.previous) {
        if (!fs::is_directory(dir)) throw std::runtime_error("--previous " + quoted(dir) + " is not a directory");
        // Its files would be replaced before they are read.
        if (fs::equivalent(dir, options.out)) {
            throw std::runtime_error("--previous " + quoted(dir) + " is the output folder (copy it first)");
        }
    }
    const fs::path out(options.out);
    published_t published(options.out);
    const auto may_pack = [&](const std::string& name) { return options.packed && !upd::lst_file_t::is_timestamp(name); };
    std::vector<std::string> listed{"update.drl", "zone.ini"};
    for (const input_t& input : inputs) listed.push_back(input.name);
    for (const std::string& name : listed) {
        published.add(name);
        if (may_pack(name)) published.add(name + ".lzma");
    }
    published.add("version.lst");
    if (options.lzma_list && options.packed) published.add("version.lst.lzma");
    const bool drl_copy = !options.drl_name.empty() && options.drl_name != "update.drl";
    if (drl_copy && (published.has(options.drl_name) ||
                     std::count(std::begin(reserved_names), std::end(reserved_names), options.drl_name))) {
        throw std::runtime_error("--drl-name " + quoted(options.drl_name) + " is the name of another file of the tree");
    }
    if (drl_copy) published.add(options.drl_name);
    published.save_pending();

    std::vector<zone_entry_t> entries;
    std::size_t packed_count = 0;
    patcher_t patcher(out, options.previous, published);
    const auto publish = [&](const std::string& name, const std::string& from, const std::string& copy) {
        entries.push_back({name, "", 0});
        const std::string packed = (out / (name + ".lzma")).string();
        std::string whole;  // the new bytes, held only while an earlier version may be patched to them
        const bool wanted = patcher.wanted(name);
        const bool was_packed = stream_file(from, copy, packed, may_pack(name), entries.back(), wanted ? &whole : nullptr);
        if (was_packed) ++packed_count;
        if (wanted) patcher.make(entries.back(), whole, was_packed ? fs::file_size(packed) : entries.back().size);
    };
    for (const input_t& input : inputs) publish(input.name, input.path, (out / input.name).string());

    const std::string drl_path = (out / "update.drl").string(), ini_path = (out / "zone.ini").string();
    std::string drl;
    for (const std::string& u : options.urls) drl += "url=" + u + "\n";
    if (!signed_already(drl_path, drl, &signed_drl, public_key)) sign_into("sign-drl", drl, drl_path, options.key);
    publish("update.drl", drl_path, "");
    if (drl_copy) {
        // Fallback servers are asked for the file name of the DRL path an installation configures.
        const std::string copy_path = (out / options.drl_name).string(), signed_text = read_input(drl_path);
        std::string current;
        try {
            current = read_input(copy_path);
        } catch (const input_error_t&) {
        }
        if (current != signed_text) write_file(copy_path, signed_text);
    }

    std::string ini = "[Fallback]";
    for (const std::string& u : options.fallbacks) ini += "\r\nurl = " + u;
    if (!signed_already(ini_path, ini, &signed_ini, public_key)) sign_into("sign-ini", ini, ini_path, options.key);
    publish("zone.ini", ini_path, "");
    const std::size_t patch_count = patcher.write_index();

    // The list comes last, so that it never names a file the tree does not hold yet.
    const std::string list_path = (out / "version.lst").string();
    sign_into("sign-lst", lst_text(stamp, entries, options.patterns), list_path + ".signed",
              options.key);
    zone_entry_t list_entry;
    stream_file(list_path + ".signed", "", list_path + ".lzma", options.lzma_list && options.packed, list_entry);
    if (std::rename((list_path + ".signed").c_str(), list_path.c_str()) != 0) {
        const int err = errno;
        std::remove((list_path + ".signed").c_str());
        fail("cannot rename to", list_path, err);
    }
    published.finish();

    std::printf("%s: %zu files listed (%zu packed), %zu patterns, %zu URLs, %zu fallback URLs, %zu patches\n",
                options.out.c_str(), entries.size(), packed_count, options.patterns.size(),
                options.urls.size(), options.fallbacks.size(), patch_count);
}

namespace {

const char make_zone_usage[] =
    "--key K --files DIR --out OUTDIR --url U [--url U]... [--fallback U]... [--pattern P]... "
    "[--stamp DIGITS] [--drl-name NAME] [--previous DIR]... [--no-lzma-list] [--plain-only] [--allow-empty]";

int run_make_zone(const std::vector<std::string>& args) {
    zone_options_t options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool has_value = i + 1 < args.size();
        if (a == "--key" && has_value) {
            options.key = args[++i];
        } else if (a == "--files" && has_value) {
            options.files = args[++i];
        } else if (a == "--out" && has_value) {
            options.out = args[++i];
        } else if (a == "--url" && has_value) {
            options.urls.push_back(args[++i]);
        } else if (a == "--fallback" && has_value) {
            options.fallbacks.push_back(args[++i]);
        } else if (a == "--pattern" && has_value) {
            options.patterns.push_back(args[++i]);
        } else if (a == "--stamp" && has_value) {
            options.stamp = args[++i];
        } else if (a == "--drl-name" && has_value) {
            options.drl_name = args[++i];
        } else if (a == "--previous" && has_value) {
            options.previous.push_back(args[++i]);
        } else if (a == "--no-lzma-list") {
            options.lzma_list = false;
        } else if (a == "--plain-only") {
            options.packed = false;
        } else if (a == "--allow-empty") {
            options.allow_empty = true;
        } else {
            throw usage_error_t("unexpected argument \"" + a + "\"");
        }
    }
    const std::pair<const char*, bool> required[] = {{"--key", !options.key.empty()}, {"--files", !options.files.empty()},
                                                     {"--out", !options.out.empty()}, {"--url", !options.urls.empty()}};
    for (const auto& r : required) {
        if (!r.second) throw usage_error_t(std::string(r.first) + " is missing");
    }
    make_zone(options);
    return 0;
}

}  // namespace

command_t make_zone_command() {
    return {"make-zone", make_zone_usage,
            "build a zone's server tree: signed version.lst (and .lzma), NAME.lzma of every file "
            "but timestamp, signed update.drl and zone.ini (each kept as it is while its text is "
            "unchanged), patches from the versions in each --previous folder and their index; "
            "what an earlier run published and this one does not is removed",
            &run_make_zone};
}

}  // namespace sign
