#pragma once
// What a batch shows: the progress line while it runs, and at the end the table (one row a
// file, totals below) or the same as one JSON document.
#include <string>

#include "tools/render/batch.h"

namespace orvex::tools {

struct BatchSummary {
    const BatchOptions& options;
    const BatchPlan& plan;
    double seconds = 0.0;      // wall-clock time of the run
    bool interrupted = false;  // stopped by a signal
};

// "1:02:03.5" or "2:03.5".
std::string durationText(double seconds);

// One line of at most `width` columns: files done of total, audio done of total, elapsed and
// remaining time, the files under way.
std::string progressLine(const BatchProgress& progress, int width);

std::string batchTable(const BatchSummary& summary);
std::string batchJson(const BatchSummary& summary);

// Files done, failed, interrupted, not started.
struct BatchCounts {
    int done = 0, failed = 0, interrupted = 0, notStarted = 0;
};
BatchCounts countRows(const BatchPlan& plan);

}  // namespace orvex::tools
