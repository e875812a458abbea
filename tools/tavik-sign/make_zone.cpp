// tavik-sign make-zone: builds the update-server tree of one zone from a folder of files.
#include "tools/tavik-sign/make_zone.hpp"

#include "tools/tavik-sign/formats.hpp"
#include "tools/tavik-sign/signer.hpp"

#include "files/lst_file.hpp"

#include <lzma/LzmaEnc.h>
#include <openssl/evp.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>

namespace fs = boost::filesystem;

namespace sign {

namespace {

const char* const reserved_names[] = {"update.drl", "zone.ini", "version.lst", "version.lst.lzma"};

// Zero-filled: the SDK's match finder compares sizes of its first allocation before it has set
// them (harmlessly, but memory checkers rightly flag it).
void* sz_alloc(void*, size_t size) { return size ? std::calloc(1, size) : nullptr; }
void sz_free(void*, void* address) { std::free(address); }

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + quoted(path) + ": " + std::strerror(errno));
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("cannot read " + quoted(path));
    return data;
}

// Through a temporary name, so that a server never offers a half-written file.
void write_all(const std::string& path, const std::string& data) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            throw std::runtime_error("cannot write " + quoted(temporary));
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(temporary.c_str());
        throw std::runtime_error("cannot rename " + quoted(temporary) + ": " + std::strerror(err));
    }
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

std::string sha256_hex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return to_hex(digest, length);
}

bool name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// Signs text with one of the format commands, which also checks the result against the key.
void sign_into(const char* command, const std::string& text, const std::string& path,
               const std::string& key) {
    const std::string unsigned_path = path + ".unsigned";
    write_all(unsigned_path, text);
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
    std::sort(inputs.begin(), inputs.end(),
              [](const input_t& a, const input_t& b) { return a.name < b.name; });
    if (options.packed) {
        // NAME.lzma of one file would overwrite another input of that name.
        std::set<std::string> names;
        for (const input_t& i : inputs) names.insert(i.name);
        for (const input_t& i : inputs) {
            if (i.name != "timestamp" && names.count(i.name + ".lzma")) {
                throw std::runtime_error(quoted(i.path + ".lzma") +
                                         " would be replaced by the packed form of " + i.name);
            }
        }
    }
    return inputs;
}

}  // namespace

std::string lzma_pack(const std::string& data) {
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = 7;
    // A dictionary no larger than the data keeps the encoder's memory small for small files.
    props.reduceSize = static_cast<UInt32>(std::min<std::uint64_t>(data.size(), 0xffffffffu));
    props.writeEndMark = 0;

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
    std::memcpy(&out[0], properties, LZMA_PROPS_SIZE);
    const std::uint64_t size = data.size();
    for (int i = 0; i < 8; ++i) out[5 + i] = static_cast<char>((size >> (8 * i)) & 0xff);
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
    for (char c : url) {
        // The readers trim blanks and end lines at CR or LF; the INI reader also cuts comments.
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v') {
            return "the URL " + quoted(url) + " holds a blank or a line end";
        }
        if (in_ini && (c == '#' || c == ';')) {
            return "the URL " + quoted(url) + " holds '#' or ';', which zone.ini takes for a comment";
        }
    }
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
    load_private_key(options.key);  // a bad key file fails before anything is written
    if (!fs::is_directory(options.files)) {
        throw std::runtime_error(quoted(options.files) + " is not a directory");
    }
    const std::vector<input_t> inputs = list_inputs(options);

    fs::create_directories(options.out);
    if (fs::equivalent(options.out, options.files)) {
        throw std::runtime_error("the output folder must not be the folder of files");
    }
    const fs::path out(options.out);
    std::vector<zone_entry_t> entries;
    std::size_t packed_count = 0;

    // A packed file left over from an earlier run would be fetched in place of the plain one and
    // fail its digest check; it goes whenever this run offers no packed form of the file.
    auto publish = [&](const std::string& name, const std::string& content) {
        entries.push_back({name, sha256_hex(content), content.size()});
        const std::string packed_path = (out / (name + ".lzma")).string();
        if (options.packed && name != "timestamp" && content.size() <= max_packed_content) {
            write_all(packed_path, lzma_pack(content));
            ++packed_count;
        } else {
            std::remove(packed_path.c_str());
        }
    };

    for (const input_t& input : inputs) {
        // List sizes are 32-bit; a bigger file could never be described, so it is not read.
        if (fs::file_size(input.path) > 0xffffffffu) {
            throw std::runtime_error(quoted(input.path) + " is larger than 4 GiB");
        }
        const std::string content = read_all(input.path);
        write_all((out / input.name).string(), content);
        publish(input.name, content);
    }

    std::string drl;
    for (const std::string& u : options.urls) drl += "url=" + u + "\n";
    sign_into("sign-drl", drl, (out / "update.drl").string(), options.key);
    publish("update.drl", read_all((out / "update.drl").string()));

    std::string ini = "[Fallback]";
    for (const std::string& u : options.fallbacks) ini += "\r\nurl = " + u;
    sign_into("sign-ini", ini, (out / "zone.ini").string(), options.key);
    publish("zone.ini", read_all((out / "zone.ini").string()));

    // The list comes last, so that it never names a file the tree does not hold yet.
    const std::string list_path = (out / "version.lst").string();
    const std::string list_lzma_path = list_path + ".lzma";
    sign_into("sign-lst", lst_text(stamp, entries, options.patterns), list_path + ".signed",
              options.key);
    const std::string list = read_all(list_path + ".signed");
    if (options.lzma_list && options.packed && list.size() <= max_packed_content) {
        write_all(list_lzma_path, lzma_pack(list));
    } else {
        std::remove(list_lzma_path.c_str());
    }
    if (std::rename((list_path + ".signed").c_str(), list_path.c_str()) != 0) {
        const int err = errno;
        std::remove((list_path + ".signed").c_str());
        throw std::runtime_error("cannot rename to " + quoted(list_path) + ": " + std::strerror(err));
    }

    std::printf("%s: %zu files listed (%zu packed), %zu patterns, %zu URLs, %zu fallback URLs\n",
                options.out.c_str(), entries.size(), packed_count, options.patterns.size(),
                options.urls.size(), options.fallbacks.size());
}

namespace {

const char make_zone_usage[] =
    "--key K --files DIR --out OUTDIR [--url U]... [--fallback U]... [--pattern P]... "
    "[--stamp DIGITS] [--no-lzma-list] [--plain-only]";

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
        } else if (a == "--no-lzma-list") {
            options.lzma_list = false;
        } else if (a == "--plain-only") {
            options.packed = false;
        } else {
            std::fprintf(stderr, "tavik-sign make-zone: unexpected argument \"%s\"\n", a.c_str());
            std::fprintf(stderr, "usage: tavik-sign make-zone %s\n", make_zone_usage);
            return 2;
        }
    }
    if (options.key.empty() || options.files.empty() || options.out.empty()) {
        std::fprintf(stderr, "usage: tavik-sign make-zone %s\n", make_zone_usage);
        return 2;
    }
    make_zone(options);
    return 0;
}

}  // namespace

command_t make_zone_command() {
    return {"make-zone", make_zone_usage,
            "build a zone's server tree: signed version.lst (and .lzma), NAME.lzma of every file "
            "but timestamp, signed update.drl and zone.ini",
            &run_make_zone};
}

}  // namespace sign
