// Subcommands of the signing tool for the update file formats: sign-drl, sign-lst, sign-ini, verify.
#include "tools/tavik-sign/formats.hpp"

#include "files/drl_file.hpp"
#include "files/ini.hpp"
#include "files/lst_file.hpp"
#include "framework/error_code.hpp"
#include "tools/tavik-sign/signer.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace sign {

namespace {

const char lst_header[] = "[TavikUpdateList]";
const char lst_trailer[] = "[TavikUpdateListEnd]";

// Writes through a temporary name so that a failure never leaves a half-written OUT.
void write_all_to(const std::string& path, const std::string& data) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(data.data(), static_cast<std::streamsize>(data.size()));
        out.close();
        if (!out) {
            const int err = errno;
            std::remove(temporary.c_str());
            throw std::runtime_error("cannot write \"" + temporary + "\": " + std::strerror(err));
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(temporary.c_str());
        throw std::runtime_error("cannot rename \"" + temporary + "\" to \"" + path + "\": " + std::strerror(err));
    }
}

// IN OUT --key K, in any order.
struct sign_args_t {
    std::string in, out, key;
};

sign_args_t parse_sign_args(const std::vector<std::string>& args) {
    sign_args_t a;
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--key" && i + 1 < args.size()) {
            a.key = args[++i];
        } else if (!args[i].empty() && args[i][0] != '-') {
            positional.push_back(args[i]);
        } else {
            throw usage_error_t("unexpected argument \"" + args[i] + "\"");
        }
    }
    take_positional(positional, {&a.in, &a.out}, {"IN", "OUT"});
    if (a.key.empty()) throw usage_error_t("--key is missing");
    return a;
}

// The line end that the text uses first (CR LF, LF or CR); LF for a text without one.
std::string line_end_style(const std::string& text) {
    const std::size_t at = text.find_first_of("\r\n");
    if (at == std::string::npos || text[at] == '\n') return "\n";
    return at + 1 < text.size() && text[at + 1] == '\n' ? "\r\n" : "\r";
}

// Signs the covered bytes and checks the result against the key's own public values, so that
// a wrong key file is noticed here rather than by the updater.
std::string signature_over(const private_key_t& key, const std::string& covered) {
    const std::string signature = sign_hex(key, covered.data(), covered.size());
    const public_key_t pub{key.p, key.q, key.g, key.y};
    if (!verify_hex(pub, covered.data(), covered.size(), signature)) {
        throw std::runtime_error("the signature made does not verify under the key's public value");
    }
    return signature;
}

int run_sign_drl(const std::vector<std::string>& args) {
    const sign_args_t a = parse_sign_args(args);
    std::string covered = read_input(a.in);

    // Only URL lines and empty lines may be signed: the updater ends the signed range at the
    // first signature and refuses every other kind of line.
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
        throw std::runtime_error("line " + std::to_string(number) + " of \"" + a.in +
                                 "\" is neither empty nor a url= line");
    }
    if (urls == 0) throw std::runtime_error("\"" + a.in + "\" has no url= line");

    if (covered.back() != '\r' && covered.back() != '\n') covered += line_end_style(covered);
    write_all_to(a.out, signed_drl(covered, signature_over(load_private_key(a.key), covered)));
    return 0;
}

int run_sign_lst(const std::vector<std::string>& args) {
    const sign_args_t a = parse_sign_args(args);
    const std::string covered = read_input(a.in);

    if (covered.compare(0, sizeof lst_header - 1, lst_header) != 0) {
        throw std::runtime_error("\"" + a.in + "\" does not begin with " + lst_header);
    }
    // The signed part ends with the trailer and its line end; that line end is the style of
    // the signature part too.
    std::string eol;
    for (const char* candidate : {"\r\n", "\n", "\r", "\f"}) {
        const std::string tail = std::string(lst_trailer) + candidate;
        if (covered.size() >= tail.size() &&
            covered.compare(covered.size() - tail.size(), tail.size(), tail) == 0) {
            eol = candidate;
            break;
        }
    }
    if (eol.empty()) {
        throw std::runtime_error("\"" + a.in + "\" does not end with " + lst_trailer + " and a line end");
    }
    const std::string signature = signature_over(load_private_key(a.key), covered);
    write_all_to(a.out, covered + eol + "[Signature]" + eol + "Signature=" + signature + eol);
    return 0;
}

int run_sign_ini(const std::vector<std::string>& args) {
    const sign_args_t a = parse_sign_args(args);
    const std::string covered = read_input(a.in);
    if (covered.empty()) throw std::runtime_error("\"" + a.in + "\" is empty");
    write_all_to(a.out, signed_ini(covered, signature_over(load_private_key(a.key), covered)));
    return 0;
}

bool contains_ini_signature_part(const std::string& data) {
    static const std::string marker = "\r\n[signature]";
    if (data.size() < marker.size()) return false;
    for (std::size_t i = 0; i + marker.size() <= data.size(); ++i) {
        std::size_t k = 0;
        while (k < marker.size() &&
               std::tolower(static_cast<unsigned char>(data[i + k])) == marker[k]) {
            ++k;
        }
        if (k == marker.size()) return true;
    }
    return false;
}

std::string detect_type(const std::string& data) {
    if (data.compare(0, sizeof lst_header - 1, lst_header) == 0) return "lst";
    if (contains_ini_signature_part(data)) return "ini";
    return "drl";
}

int run_verify(const std::vector<std::string>& args) {
    std::string file, type;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--type" && i + 1 < args.size()) {
            type = args[++i];
        } else if (file.empty() && !args[i].empty() && args[i][0] != '-') {
            file = args[i];
        } else {
            throw usage_error_t("unexpected argument \"" + args[i] + "\"");
        }
    }
    if (file.empty()) throw usage_error_t("FILE is missing");
    if (!type.empty() && type != "drl" && type != "lst" && type != "ini") {
        throw usage_error_t("the type \"" + type + "\" is none of drl, lst and ini");
    }
    // Read here first, so that a file that cannot be read is told apart from a bad one.
    const std::string data = read_input(file);
    try {
        if (type.empty()) type = detect_type(data);
        if (type == "drl") {
            upd::drl_file_t drl;
            drl.load(file);
            std::printf("%s: valid DRL file, %zu URLs\n", file.c_str(), drl.urls().size());
            for (const auto& url : drl.urls()) std::printf("  url %s\n", url.c_str());
        } else if (type == "lst") {
            upd::lst_file_t lst;
            lst.parse(data.data(), data.data() + data.size());
            std::printf("%s: valid LST file, %zu files, %zu patterns\n", file.c_str(), lst.files().size(),
                        lst.patterns().size());
        } else {
            const std::vector<std::string> urls = upd::ini::get_file(file);
            std::printf("%s: valid INI file, %zu fallback URLs\n", file.c_str(), urls.size());
            for (const auto& url : urls) std::printf("  url %s\n", url.c_str());
        }
    } catch (const upd::ini::parse_error_t& e) {
        std::fprintf(stderr, "%s:%u:%u: %s\n", file.c_str(), e.line(), e.column(), e.what());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", file.c_str(), exception_text(e));
        return 1;
    }
    return 0;
}

}  // namespace

std::string signed_drl(const std::string& covered, const std::string& signature) {
    return covered + upd::drl_file_t::sign_line_begin + signature + line_end_style(covered);
}

std::string signed_ini(const std::string& covered, const std::string& signature) {
    // The reader finds the signature part by the CR LF in front of its header.
    return covered + "\r\n[Signature]\r\nSignature=" + signature + "\r\n";
}

std::vector<command_t> format_commands() {
    return {
        {"sign-drl", "IN OUT --key KEYFILE",
         "sign a server list: appends a sign= line over all of IN, in IN's line end style", &run_sign_drl},
        {"sign-lst", "IN OUT --key KEYFILE",
         "sign a file list ending with [TavikUpdateListEnd]: appends the [Signature] part", &run_sign_lst},
        {"sign-ini", "IN OUT --key KEYFILE", "sign a zone INI file: appends a CR LF [Signature] section",
         &run_sign_ini},
        {"verify", "FILE [--type drl|lst|ini]",
         "check a signed file with the updater's own reader and built-in key (type found from the content; "
         "exit status 0 valid, 1 invalid, 2 unreadable)",
         &run_verify, true},
    };
}

}  // namespace sign
