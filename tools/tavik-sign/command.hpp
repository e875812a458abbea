// A subcommand of the signing tool (its name, synopsis and entry), and the reading and writing of files they share.
#pragma once

#include <sys/types.h>

#include <map>
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
    input_error_t(const std::string& text, int error_number) : std::runtime_error(text), error_number(error_number) {}
    int error_number;  // errno, or 0 for a file of another kind than a regular one
};

// The arguments as the named positional ones, in order: usage_error_t naming the first one
// missing, or the first one too many.
void take_positional(const std::vector<std::string>& args, const std::vector<std::string*>& values,
                     const std::vector<const char*>& names);

// Options that take a value ("--key K"), anywhere, those that may be repeated ("--ed25519-key F"),
// and the named positional arguments as above: usage_error_t too for an empty argument or another
// one beginning with '-'.
void take_arguments(const std::vector<std::string>& args, const std::map<std::string, std::string*>& options,
                    const std::vector<std::string*>& values, const std::vector<const char*>& names,
                    const std::map<std::string, std::vector<std::string>*>& lists = {});

// The whole of a regular file (links followed): input_error_t "\"path\": <errno text>" when it
// cannot be opened or read, or is a folder or another kind of file.
std::string read_input(const std::string& path);
// The mode of what the tool writes, less the umask: a server's own account serves it.
constexpr mode_t output_mode = 0666;
// Replaces `path` by `data` through PATH.tmp (file_replacement_t), in output_mode.
void write_output(const std::string& path, const std::string& data);

// The text in double quotes, as the messages name paths.
std::string quoted(const std::string& text);

}  // namespace sign
