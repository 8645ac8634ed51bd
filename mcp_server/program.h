#pragma once

#include "mcp_server/command_line.h"

namespace quillmere::mcp {

// The whole quillmere-mcp process after main: picks the mode (--help, then
// --choose-folder, then a known shared folder, then --status, else the stdio
// server), runs it and returns the exit status. Ignores SIGPIPE, so a reader
// that goes away turns into a failed write instead of a killed process.
int runProgram(const CommandLine& commandLine);

}  // namespace quillmere::mcp
