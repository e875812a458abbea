// tavik-sign: makes signing keys and signs update files for the updater.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/formats.hpp"
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

std::vector<sign::command_t> all_commands() {
  std::vector<sign::command_t> commands = {
      {"keygen", "[--comment TEXT] OUT_BASENAME",
       "make a key pair (512-bit p, 160-bit q): OUT_BASENAME.pub and OUT_BASENAME.key",
       &run_keygen},
  };
  // The signing of the update file formats registers itself in formats.cpp.
  for (auto& c : sign::format_commands()) commands.push_back(c);
  return commands;
}

void usage(const std::vector<sign::command_t>& commands) {
  std::fprintf(stderr, "usage: tavik-sign COMMAND ARGS...\n\ncommands:\n");
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
