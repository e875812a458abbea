// Process-wide pieces of the entry: command-line mode, exit, terminate and protobuf log handlers.
#pragma once

#include <google/protobuf/stubs/logging.h>

#include <string>

// Prints help, the version or the refusal to run standalone, and exits (0 or 1).
// An unknown option leaves as the option library's exception.
[[noreturn]] void run_from_command_line(const char* program_name, const char* version, int argc, char** argv);

// Logs "Exit with status N (text)" (installing a console sink when none exists) and exits.
[[noreturn]] void exit_with_status(int status);

// std::terminate handler: logs what escaped and ends with _exit, running no destructors.
[[noreturn]] void on_terminate();

// protobuf's log handler: its levels onto ours, file and line dropped.
void on_protobuf_log(google::protobuf::LogLevel level, const char* file, int line, const std::string& message);
