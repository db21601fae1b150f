// What the kit tells the report of a case: its runs and its directories
// (report.cpp writes, for tests/check, what a failing case ran and what differed).
#pragma once

#include "kit.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kit::report {

// The suite program's name if `path` is one as the tests start it, else "".
std::string programName(std::string_view path);
// Every program's path as the tests start it, and its name.
std::vector<std::pair<std::string, std::string>> programPaths();
// A temporary directory of the case made, or removed.
void tempDir(const std::string& path, bool made);
// A row of the case is skipped, for this reason.
void rowSkipped(const std::string& why);
// A run is about to start; the number stands for it in runEnded. Its
// programs must be among the case's labels.
int runStarted(const Options& options);
// The run ended so, having had `deadline` to end by itself.
void runEnded(int run, const Result& result, Millis deadline);

}  // namespace kit::report
