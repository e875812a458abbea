// tavik-sign make-zone: builds the update-server tree of one zone from a folder of files.
#pragma once

#include "tools/tavik-sign/command.hpp"
#include "tools/tavik-sign/zone_options.hpp"

namespace sign {

// Writes the tree; throws std::runtime_error with a readable text on any failure.
void make_zone(const zone_options_t& options);

// The dispatch-table entry of the signing tool.
command_t make_zone_command();

}  // namespace sign
