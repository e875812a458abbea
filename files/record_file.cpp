// The work folder's small record files (list stamps, busy servers): bounded, never followed, and
// replaced whole.
#include "files/record_file.hpp"

#include "framework/cf_log.hpp"
#include "framework/error_code.hpp"
#include "framework/fd_io.hpp"
#include "framework/file_replacement.hpp"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <stdexcept>
#include <vector>

namespace upd {

void parse_records(const char* begin, const char* end, const char* form,
                   const std::function<bool(const std::string& first, const std::string& rest)>& take) {
    int number = 0;
    for (const char* p = begin; p != end;) {
        const char* line_end = std::find(p, end, '\n');
        const std::string line(p, line_end);
        p = line_end == end ? end : line_end + 1;
        ++number;
        if (line.empty()) continue;
        const std::size_t space = line.find(' ');
        if (!take(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1))) {
            throw std::runtime_error("line " + std::to_string(number) + " is not " + form);
        }
    }
}

void load_record_file(const boost::filesystem::path& path, std::size_t max_size, const char* what,
                      const char* consequence, const std::function<void(const char* begin, const char* end)>& parse) {
    try {
        const std::vector<char> text = read_regular_file(path.string(), max_size, O_NOFOLLOW);
        parse(text.data(), text.data() + text.size());
    } catch (const std::exception& e) {
        if (error_code_of(e) == boost::system::errc::no_such_file_or_directory) return;
        LOG_WARNING(what << " " << path << ": " << exception_text(e) << "; " << consequence);
    }
}

void save_record_file(const boost::filesystem::path& path, const std::string& text, mode_t mode) {
    replace_file(path.string(), [&](int fd) {
        if (mode != 0600 && ::fchmod(fd, mode) != 0) throw boost::system::system_error(last_errno(), "fchmod");
        write_all(fd, text.data(), text.size());
    });
}

}  // namespace upd
