#pragma once
// The report of a one-file render and the parameter list, as text for people or as one JSON
// object for scripts.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/loudness.h"
#include "tools/common/params.h"
#include "tools/render/render.h"

namespace orvex::tools {

// "-14.2 LUFS", or "-inf LUFS" for a level that is not finite.
std::string level(double v, const char* unit);
// The loudness figures as JSON members (without braces).
std::string jsonLoudness(const LoudnessReport& l);

void printJson(std::FILE* out, const RenderReport& r);
void printText(std::FILE* out, const RenderReport& r);
void printParamsJson(std::FILE* out, const std::vector<ParameterInfo>& params);

}  // namespace orvex::tools
