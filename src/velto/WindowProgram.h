#pragma once

namespace corvane {

struct CommandLine;

// `velto` with its window: the same agent, files and options as `velto --headless`, with the tray
// icon and the main window in place of the standard-error report.
namespace WindowProgram {

int run(const CommandLine& line, int& argc, char** argv);

} // namespace WindowProgram

} // namespace corvane
