// tavik-sign: makes signing keys and signs update files for the updater.
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "files/public_key.hpp"
#include "files/signature.hpp"
#include "framework/version.hpp"
#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/formats.hpp"
#include "tools/tavik-sign/make_zone.hpp"
#include "tools/tavik-sign/signer.hpp"

namespace {

int run_keygen(const std::vector<std::string>& args) {
  std::string comment = "tavik-update signing key";
  std::string base;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--comment" && i + 1 < args.size()) {
      comment = args[++i];
    } else if (base.empty() && !args[i].empty() && args[i][0] != '-') {
      base = args[i];
    } else {
      std::fprintf(stderr, "tavik-sign keygen: unexpected argument \"%s\"\n", args[i].c_str());
      return 2;
    }
  }
  if (base.empty()) {
    std::fprintf(stderr, "tavik-sign keygen: OUT_BASENAME missing\n");
    return 2;
  }
  sign::generate_key(base, comment);
  std::printf("wrote %s.pub and %s.key\n", base.c_str(), base.c_str());
  return 0;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error(path + ": cannot be read");
  std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) throw std::runtime_error(path + ": read error");
  return data;
}

int run_sign_data(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: tavik-sign sign-data KEY_FILE DATA_FILE\n");
    return 2;
  }
  const sign::private_key_t key = sign::load_private_key(args[0]);
  const std::string data = read_file(args[1]);
  std::printf("%s\n", sign::sign_hex(key, data.data(), data.size()).c_str());
  return 0;
}

// Checks with the verifier and key tables compiled into this build, as the updater would.
int run_verify_data(const std::vector<std::string>& args) {
  if (args.size() != 2) {
    std::fprintf(stderr, "usage: tavik-sign verify-data DATA_FILE SIGNATURE\n");
    return 2;
  }
  const std::string data = read_file(args[0]);
  if (upd::verify_signature(data.data(), data.size(), args[1])) {
    std::printf("valid\n");
    return 0;
  }
  std::printf("invalid\n");
  return 1;
}

std::vector<sign::command_t> all_commands() {
  std::vector<sign::command_t> commands = {
      {"keygen", "[--comment TEXT] OUT_BASENAME",
       "make a key pair (512-bit p, 160-bit q): OUT_BASENAME.pub and OUT_BASENAME.key",
       &run_keygen},
      {"sign-data", "KEY_FILE DATA_FILE",
       "print the signature text of the whole DATA_FILE", &run_sign_data},
      {"verify-data", "DATA_FILE SIGNATURE",
       "check a signature of the whole DATA_FILE with the key built into this program "
       "(exit status 0 valid, 1 invalid)",
       &run_verify_data},
  };
  // The signing of the update file formats registers itself in formats.cpp.
  for (auto& c : sign::format_commands()) commands.push_back(c);
  commands.push_back(sign::make_zone_command());
  return commands;
}

void usage(const std::vector<sign::command_t>& commands) {
  std::fprintf(stderr, "usage: tavik-sign COMMAND ARGS...\n       tavik-sign --version\n\ncommands:\n");
  for (const auto& c : commands)
    std::fprintf(stderr, "  %s %s\n      %s\n", c.name.c_str(), c.usage.c_str(),
                 c.summary.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const auto commands = all_commands();
  if (argc < 2 || std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help") {
    usage(commands);
    return argc < 2 ? 2 : 0;
  }
  const std::string name = argv[1];
  if (name == "--version") {
    std::printf("tavik-sign %s, %s\n", upd_version, upd::key::describe().c_str());
    return 0;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  for (const auto& c : commands) {
    if (c.name != name) continue;
    try {
      return c.run(args);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "tavik-sign %s: %s\n", name.c_str(), e.what());
      return 1;
    }
  }
  std::fprintf(stderr, "tavik-sign: unknown command \"%s\"\n", name.c_str());
  usage(commands);
  return 2;
}
