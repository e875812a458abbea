// The program's version, fixed when it is built.
#pragma once

extern "C" const char upd_version[];
