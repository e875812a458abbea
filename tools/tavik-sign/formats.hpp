// Subcommands of the signing tool that sign and check the update file formats.
#pragma once

#include <vector>

#include "tools/tavik-sign/command.hpp"

namespace sign {

// The format subcommands (sign-drl, sign-lst, sign-ini, verify), added to the dispatch table
// of main.cpp after the built-in ones.
std::vector<command_t> format_commands();

}  // namespace sign
