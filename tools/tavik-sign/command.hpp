// A subcommand of the signing tool: its name, its argument synopsis and its entry.
#pragma once

#include <string>
#include <vector>

namespace sign {

struct command_t {
  std::string name;
  std::string usage;  // the arguments after the name, for the help text
  std::string summary;
  // Gets the arguments after the subcommand name; returns the exit status. Failures may throw
  // std::exception, which the dispatcher prints and turns into status 1.
  int (*run)(const std::vector<std::string>& args);
};

}  // namespace sign
