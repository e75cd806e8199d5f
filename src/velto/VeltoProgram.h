#pragma once

namespace corvane {

struct CommandLine;

// The program behind each mode of the command line. Each returns the process's exit status.
namespace VeltoProgram {

int run(const CommandLine& line, char* programName);

} // namespace VeltoProgram

} // namespace corvane
