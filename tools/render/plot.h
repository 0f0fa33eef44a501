#pragma once
// The picture of a render (--plot, --plot-dir), 1600 x 900, drawn with cairo: a title naming
// the input and the controls set away from their defaults; above, the momentary loudness of
// input and output with the output's true peak; below, the 12 band gains as a heat map with its
// colour scale. PNG or SVG, by the file's extension.
//
// Builds without cairo or libebur128 (the Windows build among them) have no pictures:
// plotsSupported() is false there and a request for one is refused before anything runs.
#include <string>

namespace orvex::tools {

struct RenderReport;
struct RenderTrace;

inline constexpr int kPlotWidth = 1600;
inline constexpr int kPlotHeight = 900;

enum class PlotFormat { Png, Svg };

bool plotsSupported();
// What a build without pictures says when asked for one (one line).
std::string plotsUnsupportedReason();

// By the extension (.png or .svg, in any case); throws UsageError naming both otherwise.
PlotFormat plotFormatForPath(const std::string& path);

// Draws the picture into a temporary file beside `path` and renames it into place, so a failure
// leaves no partial picture; with `replace` false an existing file is left alone and that is an
// error too. Throws FileError when it cannot be written.
void writePlot(const std::string& path, const RenderReport& report, const RenderTrace& trace, bool replace = true);

}  // namespace orvex::tools
