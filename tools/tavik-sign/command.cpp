// What the subcommands of the signing tool share: argument checks and the reading of inputs.
#include "tools/tavik-sign/command.hpp"

#include "framework/fd_guard.hpp"
#include "framework/file_replacement.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace sign {

namespace {

[[noreturn]] void input_failure(const std::string& path, int err) {
    throw input_error_t(quoted(path) + ": " + std::strerror(err), err);
}

}  // namespace

void take_positional(const std::vector<std::string>& args, const std::vector<std::string*>& values,
                     const std::vector<const char*>& names) {
    for (std::size_t i = 0; i < args.size() || i < names.size(); ++i) {
        if (i >= names.size()) throw usage_error_t("unexpected argument " + quoted(args[i]));
        if (i >= args.size()) throw usage_error_t(std::string(names[i]) + " is missing");
        *values[i] = args[i];
    }
}

void take_arguments(const std::vector<std::string>& args, const std::map<std::string, std::string*>& options,
                    const std::vector<std::string*>& values, const std::vector<const char*>& names,
                    const std::map<std::string, std::vector<std::string>*>& lists) {
    std::vector<std::string> positional;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto option = options.find(args[i]);
        const auto list = lists.find(args[i]);
        if (option != options.end() && i + 1 < args.size())
            *option->second = args[++i];
        else if (list != lists.end() && i + 1 < args.size())
            list->second->push_back(args[++i]);
        else if (args[i].empty() || args[i][0] == '-')
            throw usage_error_t("unexpected argument " + quoted(args[i]));
        else
            positional.push_back(args[i]);
    }
    take_positional(positional, values, names);
}

std::string read_input(const std::string& path) {
    // Without blocking: a FIFO or a device is refused below rather than waited on.
    fd_guard_t fd;
    do fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    while (fd.get() < 0 && errno == EINTR);
    if (fd.get() < 0) input_failure(path, errno);
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) input_failure(path, errno);
    if (S_ISDIR(st.st_mode)) input_failure(path, EISDIR);
    if (!S_ISREG(st.st_mode)) throw input_error_t(quoted(path) + ": not a regular file", 0);
    if (static_cast<std::uint64_t>(st.st_size) > PTRDIFF_MAX / 2) input_failure(path, EFBIG);
    std::string data;
    data.reserve(static_cast<std::size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) input_failure(path, errno);
        if (n == 0) return data;
        data.append(buffer, static_cast<std::size_t>(n));
    }
}

void write_output(const std::string& path, const std::string& data) {
    file_replacement_t file(path, output_mode);
    file.append(data.data(), data.size());
    file.commit();
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace sign
