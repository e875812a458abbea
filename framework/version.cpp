// The program's version, fixed when it is built.
#include "framework/version.hpp"

extern "C" const char upd_version[] = "11.0.5.1807201428";
