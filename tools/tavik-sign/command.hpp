// A subcommand of the signing tool: its name, its argument synopsis and its entry.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace sign {

struct command_t {
  std::string name;
  std::string usage;  // the arguments after the name, for the help text
  std::string summary;
  // Gets the arguments after the subcommand name; returns the exit status. Failures may throw
  // std::exception, which the dispatcher prints and turns into status 1; usage_error_t is
  // status 2, and so is input_error_t for a checking command.
  int (*run)(const std::vector<std::string>& args);
  // A checking command answers 1 for a bad signature or file, so one it cannot read is told
  // apart by status 2.
  bool checks = false;
};

// Arguments a command cannot take: the dispatcher prints the text and the command's usage to
// standard error and exits with status 2.
struct usage_error_t : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A file that cannot be read: the text names it and the system's cause.
struct input_error_t : std::runtime_error {
  input_error_t(const std::string& text, int error_number)
      : std::runtime_error(text), error_number(error_number) {}
  int error_number;  // errno, or 0 for a file of another kind than a regular one
};

// The arguments as the named positional ones, in order: usage_error_t naming the first one
// missing, or the first one too many.
void take_positional(const std::vector<std::string>& args, const std::vector<std::string*>& values,
                     const std::vector<const char*>& names);

// The whole of a regular file (links followed): input_error_t "\"path\": <errno text>" when it
// cannot be opened or read, or is a folder or another kind of file.
std::string read_input(const std::string& path);

}  // namespace sign
