#pragma once
// The validator's groups of checks, one file each. A group announces each check through the
// context (Context::begin) and reports its result there; it may throw, which fails the check
// under way.
#include "tools/validate/check_kit.h"

namespace orvex::tools::validation {

void runIdentity(Context& ctx);
void runMatrix(Context& ctx);
void runAutomation(Context& ctx);
void runEdges(Context& ctx);
void runDeterminism(Context& ctx);
void runParameters(Context& ctx);
void runAllocations(Context& ctx);
void runThreads(Context& ctx);
void runDispatcher(Context& ctx);
void runDenormals(Context& ctx);

}  // namespace orvex::tools::validation
