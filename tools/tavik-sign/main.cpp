// tavik-sign: makes signing keys and signs update files for the updater.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "files/public_key.hpp"
#include "framework/cf_log.hpp"
#include "files/signature.hpp"
#include "framework/version.hpp"
#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/ed25519_signer.hpp"
#include "tools/tavik-sign/formats.hpp"
#include "tools/tavik-sign/make_zone.hpp"
#include "tools/tavik-sign/signer.hpp"

namespace {

int run_keygen(std::vector<std::string> args) {
    std::string comment = "tavik-update signing key", base;
    const auto ed25519 = std::find(args.begin(), args.end(), "--ed25519");
    const bool strong = ed25519 != args.end();
    if (strong) args.erase(ed25519);
    sign::take_arguments(args, {{"--comment", &comment}}, {&base}, {"OUT_BASENAME"});
    if (strong)
        sign::ed25519_signer_t::generate(base);
    else
        sign::generate_key(base, comment);
    std::printf("wrote %s.pub and %s.key\n", base.c_str(), base.c_str());
    return 0;
}

int run_sign_data(const std::vector<std::string>& args) {
    std::string key_file, data_file;
    sign::take_positional(args, {&key_file, &data_file}, {"KEY_FILE", "DATA_FILE"});
    const sign::private_key_t key = sign::load_private_key(key_file);
    const std::string data = sign::read_input(data_file);
    std::printf("%s\n", sign::sign_hex(key, data.data(), data.size()).c_str());
    return 0;
}

// Checks with the verifier and key tables compiled into this build, as the updater would.
int run_verify_data(const std::vector<std::string>& args) {
    std::string data_file, signature;
    sign::take_positional(args, {&data_file, &signature}, {"DATA_FILE", "SIGNATURE"});
    const std::string data = sign::read_input(data_file);
    if (upd::verify_signature(data.data(), data.size(), signature)) {
        std::printf("valid\n");
        return 0;
    }
    std::printf("invalid\n");
    return 1;
}

std::vector<sign::command_t> all_commands() {
    std::vector<sign::command_t> commands = {
        {"keygen", "[--ed25519 | --comment TEXT] OUT_BASENAME",
         "make a key pair: OUT_BASENAME.pub and OUT_BASENAME.key (mode 0600), DSA (512-bit p, 160-bit q) or with "
         "--ed25519 "
         "an Ed25519 pair (the public key and the private seed as 64 hex digits each); never overwrites a file",
         [](const std::vector<std::string>& args) { return run_keygen(args); }},
        {"sign-data", "KEY_FILE DATA_FILE", "print the signature text of the whole DATA_FILE", &run_sign_data},
        {"verify-data", "DATA_FILE SIGNATURE",
         "check a signature of the whole DATA_FILE with the key built into this program "
         "(exit status 0 valid, 1 invalid, 2 unreadable)",
         &run_verify_data, true},
    };
    // The signing of the update file formats registers itself in formats.cpp.
    for (auto& c : sign::format_commands()) commands.push_back(c);
    commands.push_back(sign::make_zone_command());
    return commands;
}

void usage(std::FILE* to, const std::vector<sign::command_t>& commands) {
    std::fprintf(to,
                 "usage: tavik-sign COMMAND ARGS...\n       tavik-sign COMMAND --help\n"
                 "       tavik-sign --version\n\ncommands:\n");
    for (const auto& c : commands)
        std::fprintf(to, "  %s %s\n      %s\n", c.name.c_str(), c.usage.c_str(), c.summary.c_str());
}

int run(const sign::command_t& c, const std::vector<std::string>& args) {
    const char* name = c.name.c_str();
    for (const std::string& a : args) {
        if (a != "--help" && a != "-h") continue;
        std::printf("usage: tavik-sign %s %s\n%s\n", name, c.usage.c_str(), c.summary.c_str());
        return 0;
    }
    try {
        return c.run(args);
    } catch (const sign::usage_error_t& e) {
        std::fprintf(stderr, "tavik-sign %s: %s\nusage: tavik-sign %s %s\n", name, e.what(), name, c.usage.c_str());
        return 2;
    } catch (const sign::input_error_t& e) {
        std::fprintf(stderr, "tavik-sign %s: %s\n", name, e.what());
        return c.checks ? 2 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tavik-sign %s: %s\n", name, e.what());
        return 1;
    }
}

}  // namespace

int main(int argc, char** argv) {
    cf_log_t::level_ = cf_log_t::warning;  // the readers' Debug lines are the updater's; this tool says why itself
    const auto commands = all_commands();
    if (argc < 2) {
        usage(stderr, commands);
        return 2;
    }
    const std::string name = argv[1];
    if (name == "-h" || name == "--help") {
        usage(stdout, commands);
        return 0;
    }
    if (name == "--version") {
        std::printf("tavik-sign %s, %s\n", upd_version, upd::key::describe().c_str());
        return 0;
    }
    for (const auto& c : commands)
        if (c.name == name) return run(c, std::vector<std::string>(argv + 2, argv + argc));
    std::fprintf(stderr, "tavik-sign: unknown command \"%s\"\n", name.c_str());
    usage(stderr, commands);
    return 2;
}
