// Subcommands of the signing tool that sign and check the update file formats.
#pragma once

#include <string>
#include <vector>

#include "tools/tavik-sign/command.hpp"

namespace sign {

// The format subcommands (sign-drl, sign-lst, sign-ini, verify), added to the dispatch table
// of main.cpp after the built-in ones.
std::vector<command_t> format_commands();

// The signed forms that sign-drl, sign-lst and sign-ini write: the covered text (for a server
// list, ending with its line end; for a file list, with its trailer and line end), then the
// signature part holding the signature text.
std::string signed_drl(const std::string& covered, const std::string& signature);
std::string signed_lst(const std::string& covered, const std::string& signature);
std::string signed_ini(const std::string& covered, const std::string& signature);

}  // namespace sign
