// What the kit tells the report of a case: its runs and its directories
// (report.cpp writes, for tests/check, what a failing case ran and what differed).
#pragma once

#include "kit.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kit::report {

// A case (KIT_RUNS: "Suite.Test", or "Suite.Test/parameter") runs these programs too.
void declare(std::string_view test, std::string_view programs);
// A check compared `object` (what `origin` says) with another value: `got`
// and `expected` as bytes (text) or words (numbers), and whether they were
// equal. The report keeps the comparisons since the last failure.
void compared(const void* object, const Origin& origin, std::string_view got, std::string_view expected, bool equal);
// GoogleTest printed `object` into a failure's message: that failure is about it.
void shown(const void* object);
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
