// Subcommands of the signing tool for the update file formats: sign-drl, sign-lst, sign-ini, verify.
#include "tools/tavik-sign/formats.hpp"

#include "files/drl_file.hpp"
#include "files/ini.hpp"
#include "files/lst_file.hpp"
#include "files/public_key.hpp"
#include "files/signature_text.hpp"
#include "framework/limits.hpp"
#include "framework/error_code.hpp"
#include "tools/tavik-sign/signing_keys.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sign {

namespace {

// The line end that the text uses first (CR LF, LF or CR); LF for a text without one.
std::string line_end_style(const std::string& text) {
    const std::size_t at = text.find_first_of("\r\n");
    if (at == std::string::npos || text[at] == '\n') return "\n";
    return at + 1 < text.size() && text[at + 1] == '\n' ? "\r\n" : "\r";
}

// The line end after the list's trailer, which ends the signed part; "" when it has none. The
// signature part takes the same style.
std::string list_line_end(const std::string& covered) {
    for (const char* candidate : {"\r\n", "\n", "\r", "\f"}) {
        const std::string tail = upd::lst_file_t::trailer + std::string(candidate);
        if (covered.size() >= tail.size() && covered.rfind(tail) == covered.size() - tail.size()) return candidate;
    }
    return "";
}

// IN OUT --key K [--ed25519-key F]..., in any order: IN's text, once `check` has taken it (and perhaps ended its last
// line), signed into OUT in the signed `form`.
int sign_file(const std::vector<std::string>& args, void (*check)(const std::string& in, std::string& covered),
              std::string (*form)(const std::string& covered, const std::string& signature)) {
    std::string in, out, key;
    std::vector<std::string> ed25519;
    take_arguments(args, {{"--key", &key}}, {&in, &out}, {"IN", "OUT"}, {{"--ed25519-key", &ed25519}});
    if (key.empty()) throw usage_error_t("--key is missing");
    std::string covered = read_input(in);
    check(in, covered);
    write_output(out, form(covered, signing_keys_t::load(key, ed25519).signature(covered)));
    return 0;
}

// Only URL lines and empty lines may be signed: the updater ends the signed range at the first
// signature and refuses every other kind of line.
void check_drl(const std::string& in, std::string& covered) {
    std::size_t urls = 0;
    for (std::size_t p = 0, number = 1; p < covered.size(); ++number) {
        const std::size_t end = std::min(covered.find_first_of("\r\n", p), covered.size());
        const std::string line = covered.substr(p, end - p);
        p = end == covered.size() ? end : end + 1;
        if (line.empty()) continue;
        if (line.compare(0, upd::drl_file_t::url_line_begin.size(), upd::drl_file_t::url_line_begin) == 0) {
            ++urls;
            continue;
        }
        throw std::runtime_error("line " + std::to_string(number) + " of " + quoted(in) +
                                 " is neither empty nor a url= line");
    }
    if (urls == 0) throw std::runtime_error(quoted(in) + " has no url= line");
    if (covered.back() != '\r' && covered.back() != '\n') covered += line_end_style(covered);
}

void check_lst(const std::string& in, std::string& covered) {
    const std::string header = upd::lst_file_t::header, trailer = upd::lst_file_t::trailer;
    if (covered.compare(0, header.size(), header) != 0)
        throw std::runtime_error(quoted(in) + " does not begin with " + header);
    if (list_line_end(covered).empty())
        throw std::runtime_error(quoted(in) + " does not end with " + trailer + " and a line end");
}

void check_ini(const std::string& in, std::string& covered) {
    if (covered.empty()) throw std::runtime_error(quoted(in) + " is empty");
}

int run_sign_drl(const std::vector<std::string>& args) { return sign_file(args, &check_drl, &signed_drl); }
int run_sign_lst(const std::vector<std::string>& args) { return sign_file(args, &check_lst, &signed_lst); }
int run_sign_ini(const std::vector<std::string>& args) { return sign_file(args, &check_ini, &signed_ini); }

bool contains_ini_signature_part(const std::string& data) {
    static const std::string marker = "\r\n[signature]";
    const auto same = [](char c, char lower) { return std::tolower(static_cast<unsigned char>(c)) == lower; };
    return std::search(data.begin(), data.end(), marker.begin(), marker.end(), same) != data.end();
}

std::string detect_type(const std::string& data) {
    if (data.rfind(upd::lst_file_t::header, 0) == 0) return "lst";
    if (contains_ini_signature_part(data)) return "ini";
    return "drl";
}

// Names every key that signed the file and refuses one that this build's updater would refuse from
// a server: no valid DSA signature, a damaged tail, or (in a build with Ed25519 keys) no part by one.
int report_keys(const std::string& file, const std::string& covered, const std::string& signature) {
    const upd::list_trust_t& trust = upd::list_trust_t::built_in();
    std::printf("  signed by DSA key %s\n", upd::key::fingerprint);
    for (const auto& part :
         upd::signature_text_t(signature).part_verdicts(covered.data(), covered.size(), trust.keys()))
        std::printf("  Ed25519 part by %s: %s\n", part.keyid.c_str(),
                    !part.key    ? "not a key of this build"
                    : part.valid ? "valid"
                                 : "invalid");
    if (trust.signature(upd::origin_t::server, covered.data(), covered.size(), signature)) return 0;
    std::fprintf(stderr, "%s: no valid Ed25519 part by a key of this build (%s)\n", file.c_str(),
                 upd::key::ed25519_keyids);
    return 1;
}

int run_verify(const std::vector<std::string>& args) {
    std::string file, type;
    take_arguments(args, {{"--type", &type}}, {&file}, {"FILE"});
    if (!type.empty() && type != "drl" && type != "lst" && type != "ini") {
        throw usage_error_t("the type \"" + type + "\" is none of drl, lst and ini");
    }
    // Read here first, so that a file that cannot be read is told apart from a bad one.
    const std::string data = read_input(file);
    try {
        if (type.empty()) type = detect_type(data);
        // The updater's own caps: a larger file would be refused before it is read.
        if (data.size() > (type == "drl"   ? upd::drl_file_t::max_size
                           : type == "ini" ? upd::ini::max_size
                                           : upd::max_in_memory))
            throw std::runtime_error("file too big");
        std::string covered, signature;
        if (type == "drl") {
            upd::drl_file_t drl;
            drl.parse(data.data(), data.data() + data.size(), upd::origin_t::installed);
            std::printf("%s: valid DRL file, %zu URLs\n", file.c_str(), drl.urls().size());
            for (const auto& url : drl.urls()) std::printf("  url %s\n", url.c_str());
            covered = data.substr(0, drl.signed_size()), signature = drl.signature();
        } else if (type == "lst") {
            upd::lst_file_t lst;
            lst.parse(data.data(), data.data() + data.size(), upd::origin_t::installed);
            std::printf("%s: valid LST file, %zu files, %zu patterns\n", file.c_str(), lst.files().size(),
                        lst.patterns().size());
            std::printf("  zone %s\n", lst.zone().empty() ? "none named" : lst.zone().c_str());
            upd::lst_file_t::split_signed(data, covered, signature);
        } else {
            const std::vector<std::string> urls =
                upd::ini::parse(data.data(), data.data() + data.size(), upd::origin_t::installed);
            std::printf("%s: valid INI file, %zu fallback URLs\n", file.c_str(), urls.size());
            for (const auto& url : urls) std::printf("  url %s\n", url.c_str());
            std::size_t size = 0;
            signature = upd::ini::signature(data.data(), data.data() + data.size(), size),
            covered = data.substr(0, size);
        }
        return report_keys(file, covered, signature);
    } catch (const upd::ini::parse_error_t& e) {
        std::fprintf(stderr, "%s:%u:%u: %s\n", file.c_str(), e.line(), e.column(), e.what());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), exception_text(e));
    }
    return 1;
}

}  // namespace

std::string signed_drl(const std::string& covered, const std::string& signature) {
    return covered + upd::drl_file_t::sign_line_begin + signature + line_end_style(covered);
}

std::string signed_lst(const std::string& covered, const std::string& signature) {
    const std::string eol = list_line_end(covered);
    return covered + eol + upd::lst_file_t::signature_header + eol + upd::lst_file_t::signature_begin + signature + eol;
}

std::string signed_ini(const std::string& covered, const std::string& signature) {
    // The reader finds the signature part by the CR LF in front of its header.
    return covered + "\r\n[Signature]\r\nSignature=" + signature + "\r\n";
}

std::vector<command_t> format_commands() {
    return {
        {"sign-drl", "IN OUT --key KEYFILE [--ed25519-key FILE]...",
         "sign a server list: appends a sign= line over all of IN, in IN's line end style", &run_sign_drl},
        {"sign-lst", "IN OUT --key KEYFILE [--ed25519-key FILE]...",
         std::string("sign a file list ending with ") + upd::lst_file_t::trailer + ": appends the " +
             upd::lst_file_t::signature_header + " part",
         &run_sign_lst},
        {"sign-ini", "IN OUT --key KEYFILE [--ed25519-key FILE]...",
         "sign a zone INI file: appends a CR LF [Signature] section", &run_sign_ini},
        {"verify", "FILE [--type drl|lst|ini]",
         "check a signed file with the updater's own reader and built-in keys, naming the keys that signed it (type "
         "found from "
         "the content; exit status 0 valid, 1 invalid or without an Ed25519 part by a key of this build, 2 unreadable)",
         &run_verify, true},
    };
}

}  // namespace sign
