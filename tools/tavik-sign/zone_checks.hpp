// The checks of what make-zone writes into the signed files: file names, name patterns and URLs.
#pragma once

#include <string>

namespace sign {

// Each returns an error text, or "" for a name, pattern or URL that the updater reads back as given.
std::string check_file_name(const std::string& name);
std::string check_pattern(const std::string& pattern);
std::string check_url(const std::string& url, bool in_ini);

}  // namespace sign
