#include "tools/render/plot.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tools/common/audio_file.h"
#include "tools/common/usage_error.h"
#include "tools/render/render.h"

#if ORVEX_TOOLS_WITH_PLOT
#include <cairo-svg.h>
#include <cairo.h>

#include "dsp/band_corners.h"
#include "tools/render/plot_trace.h"
#endif

#if ORVEX_TOOLS_WITH_PLOT && defined(__SANITIZE_ADDRESS__)
// Cairo's font faces keep the patterns fontconfig matched for them for the life of the process;
// the leak checker reports them at exit in every program that draws a picture.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
#endif

namespace orvex::tools {

bool plotsSupported() { return ORVEX_TOOLS_WITH_PLOT != 0; }

std::string plotsUnsupportedReason() {
#if defined(_WIN32)
    return "--plot and --plot-dir are not part of the Windows build (it has no cairo); draw pictures with the Linux build";
#else
    return "this build draws no pictures: --plot and --plot-dir need cairo and libebur128 (Debian: libcairo2-dev, "
           "libebur128-dev) when it is built";
#endif
}

PlotFormat plotFormatForPath(const std::string& path) {
    const auto dot = path.find_last_of('.');
    const auto slash = path.find_last_of("/\\");
    std::string ext;
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ext = path.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "png") return PlotFormat::Png;
    if (ext == "svg") return PlotFormat::Svg;
    throw UsageError("the picture \"" + path + "\" must be named .png or .svg");
}

#if !ORVEX_TOOLS_WITH_PLOT

void writePlot(const std::string&, const RenderReport&, const RenderTrace&, bool) { throw UsageError(plotsUnsupportedReason()); }

#else

namespace {

constexpr double kInf = HUGE_VAL;

// Layout, in pixels of the 1600 x 900 picture. Band rows are whole pixels so the heat map's
// cells meet without seams.
constexpr double kLeft = 150;
constexpr double kRight = 1400;
constexpr double kLoudTop = 118;
constexpr double kLoudBottom = 432;
constexpr int kBandRow = 27;
constexpr double kBandTop = 494;
constexpr double kBandBottom = kBandTop + kTraceBands * kBandRow;
constexpr double kScaleLeft = 1428;
constexpr double kScaleWidth = 22;

// Band edges of Orvex's filter bank (Hz), for the row labels.
constexpr const float (&kBandEdges)[kTraceBands + 1] = kBandCorners;

struct Rgb {
    double r, g, b;
};

// Dark for the most gain reduction, bright for the most lift: black through purple and red to
// pale yellow, so that the order reads the same in grey.
Rgb heatColour(double t) {
    static const Rgb stops[] = {{0.00, 0.00, 0.02}, {0.16, 0.04, 0.33}, {0.42, 0.09, 0.43}, {0.68, 0.19, 0.36},
                                {0.89, 0.35, 0.20}, {0.98, 0.60, 0.06}, {0.98, 0.86, 0.33}, {0.99, 1.00, 0.75}};
    constexpr int n = static_cast<int>(sizeof stops / sizeof stops[0]);
    t = std::clamp(t, 0.0, 1.0) * (n - 1);
    const int i = std::min(static_cast<int>(t), n - 2);
    const double f = t - i;
    return {stops[i].r + f * (stops[i + 1].r - stops[i].r), stops[i].g + f * (stops[i + 1].g - stops[i].g),
            stops[i].b + f * (stops[i + 1].b - stops[i].b)};
}

const Rgb kInputColour{0.36, 0.55, 0.80};
const Rgb kOutputColour{0.93, 0.45, 0.10};
const Rgb kPeakColour{0.80, 0.10, 0.16};

void setColour(cairo_t* cr, const Rgb& c, double alpha = 1.0) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

void font(cairo_t* cr, double size, bool bold = false) {
    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, size);
}

double textWidth(cairo_t* cr, const std::string& text) {
    cairo_text_extents_t e;
    cairo_text_extents(cr, text.c_str(), &e);
    return e.x_advance;
}

// `align`: 0 left, 0.5 centred, 1 right of x; y is the baseline.
void text(cairo_t* cr, double x, double y, const std::string& s, double align = 0.0) {
    cairo_move_to(cr, x - align * textWidth(cr, s), y);
    cairo_show_text(cr, s.c_str());
}

// Centred on (x, y), turned a quarter anticlockwise: the title of a vertical axis.
void verticalText(cairo_t* cr, double x, double y, const std::string& s) {
    cairo_save(cr);
    cairo_translate(cr, x, y);
    cairo_rotate(cr, -M_PI / 2);
    text(cr, 0, 0, s, 0.5);
    cairo_restore(cr);
}

// Cuts `s` to `width` pixels with an ellipsis in the middle (a long path keeps its file name).
std::string fitMiddle(cairo_t* cr, const std::string& s, double width) {
    if (textWidth(cr, s) <= width) return s;
    std::string head = s.substr(0, s.size() / 2), tail = s.substr(s.size() / 2);
    while (!head.empty() && textWidth(cr, head + "…" + tail) > width) {
        if (head.size() > tail.size()) head.pop_back();
        else tail.erase(0, 1);
        // Never cut a UTF-8 sequence in two.
        while (!head.empty() && (static_cast<unsigned char>(head.back()) & 0xC0) == 0x80) head.pop_back();
        while (!tail.empty() && (static_cast<unsigned char>(tail.front()) & 0xC0) == 0x80) tail.erase(0, 1);
        if (!head.empty() && (static_cast<unsigned char>(head.back()) & 0xC0) == 0xC0) head.pop_back();
    }
    return head + "…" + tail;
}

std::string format(const char* fmt, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string clockTime(double seconds, bool tenths) {
    const long whole = static_cast<long>(std::floor(seconds + 1e-9));
    char buf[48];
    if (whole >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else if (tenths)
        std::snprintf(buf, sizeof buf, "%ld:%04.1f", whole / 60, seconds - 60.0 * static_cast<double>(whole / 60));
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", whole / 60, whole % 60);
    return buf;
}

std::string hertz(double f) {
    if (f < 1000) return format("%.0f", f);
    const double k = f / 1000.0;
    return k >= 10 ? format("%.0fk", k) : format("%.1fk", k);
}

// A tick step from 1, 2, 5 times a power of ten (and minutes for time) that gives about
// `wanted` ticks over `span`.
double niceStep(double span, double wanted, bool time) {
    static const double timeSteps[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200, 14400};
    if (time) {
        for (double s : timeSteps)
            if (span / s <= wanted) return s;
        return timeSteps[sizeof timeSteps / sizeof timeSteps[0] - 1];
    }
    const double raw = span / wanted;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= raw) return m * power;
    return 10 * power;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0.0;
    const std::size_t k = std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size() - 1)));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(k), values.end());
    return values[k];
}

// The controls away from their defaults, each once with its last value, in the order given.
std::string controlsText(const RenderReport& r) {
    std::map<int, std::size_t> last;
    for (std::size_t i = 0; i < r.settings.size(); ++i) last[r.settings[i].index] = i;
    std::string out;
    for (std::size_t i = 0; i < r.settings.size(); ++i) {
        const AppliedSetting& s = r.settings[i];
        if (last[s.index] != i || s.atDefault) continue;
        if (!out.empty()) out += ", ";
        out += s.name + " = " + s.display;
    }
    return out.empty() ? "every control at its default" : "controls: " + out;
}

class Picture {
public:
    Picture(cairo_t* cr, const RenderReport& r, const RenderTrace& t) : cr_(cr), r_(r), t_(t) {
        seconds_ = std::max(t.seconds(), 1e-3);
        timeStep_ = niceStep(seconds_, 12, true);
    }

    void draw() {
        setColour(cr_, {1, 1, 1});
        cairo_paint(cr_);
        cairo_set_line_join(cr_, CAIRO_LINE_JOIN_ROUND);
        title();
        loudness();
        bands();
        timeAxis(kLoudBottom, false);
        timeAxis(kBandBottom, true);
    }

private:
    double xOf(double seconds) const { return kLeft + (kRight - kLeft) * seconds / seconds_; }
    // Centre of column c on the time axis.
    double columnX(std::size_t c) const { return xOf((static_cast<double>(c) + 0.5) * t_.columnSeconds()); }

    void title() {
        setColour(cr_, {0.1, 0.1, 0.1});
        font(cr_, 22, true);
        std::string name = r_.inputPath;
        const auto slash = name.find_last_of("/\\");
        if (slash != std::string::npos) name = name.substr(slash + 1);
        text(cr_, 40, 38, fitMiddle(cr_, name, 1520));
        font(cr_, 14);
        const std::string what = r_.pluginName + " · " + format("%.0f Hz", r_.rate) + " · " +
                                 clockTime(t_.seconds(), t_.seconds() < 60) + " · " + r_.inputPath + " → " + r_.outputPath;
        setColour(cr_, {0.3, 0.3, 0.3});
        text(cr_, 40, 60, fitMiddle(cr_, what, 1520));
        setColour(cr_, {0.1, 0.1, 0.1});
        text(cr_, 40, 80, fitMiddle(cr_, controlsText(r_), 1520));
    }

    void frame(double top, double bottom) {
        cairo_set_line_width(cr_, 1);
        setColour(cr_, {0.35, 0.35, 0.35});
        cairo_rectangle(cr_, kLeft + 0.5, top + 0.5, kRight - kLeft - 1, bottom - top - 1);
        cairo_stroke(cr_);
    }

    void timeAxis(double bottom, bool withTitle) {
        font(cr_, 13);
        const bool minutes = seconds_ >= 120;
        const bool tenths = timeStep_ < 1;
        cairo_set_line_width(cr_, 1);
        for (double s = 0; s <= seconds_ + 1e-9; s += timeStep_) {
            const double x = std::round(xOf(s)) + 0.5;
            setColour(cr_, {0.35, 0.35, 0.35});
            cairo_move_to(cr_, x, bottom);
            cairo_line_to(cr_, x, bottom + 5);
            cairo_stroke(cr_);
            setColour(cr_, {0.2, 0.2, 0.2});
            text(cr_, x, bottom + 19, minutes ? clockTime(s, false) : format(tenths ? "%.1f" : "%.0f", s), 0.5);
        }
        if (withTitle) {
            font(cr_, 14);
            text(cr_, (kLeft + kRight) / 2, bottom + 42, minutes ? "time (minutes:seconds)" : "time (seconds)", 0.5);
        }
    }

    // A series against time as one line, broken where it is -inf (silence). Where columns are
    // finer than pixels, each pixel gets its highest value (`peaks`) or its lowest and highest in
    // turn, so a long file keeps its extremes.
    void series(const std::vector<double>& v, double lo, double hi, double top, double bottom, bool peaks) {
        auto y = [&](double value) { return bottom - (bottom - top) * (std::clamp(value, lo - 5, hi + 5) - lo) / (hi - lo); };
        bool drawing = false;
        auto point = [&](double x, double value) {
            if (!std::isfinite(value)) {
                drawing = false;
                return;
            }
            if (drawing) cairo_line_to(cr_, x, y(value));
            else cairo_move_to(cr_, x, y(value));
            drawing = true;
        };
        const double pixels = kRight - kLeft;
        if (static_cast<double>(v.size()) <= 2 * pixels) {
            for (std::size_t c = 0; c < v.size(); ++c) point(columnX(c), v[c]);
        } else {
            std::size_t c = 0;
            for (int px = 0; px < static_cast<int>(pixels) && c < v.size(); ++px) {
                const double x = kLeft + px + 0.5;
                double low = kInf, high = -kInf;
                bool silent = false;
                for (; c < v.size() && columnX(c) < kLeft + px + 1; ++c) {
                    if (!std::isfinite(v[c])) silent = true;
                    else {
                        low = std::min(low, v[c]);
                        high = std::max(high, v[c]);
                    }
                }
                if (high == -kInf) {
                    if (silent) point(x, -kInf);
                    continue;
                }
                point(x, high);
                if (!peaks) point(x, low);
            }
        }
        cairo_stroke(cr_);
    }

    void loudness() {
        // The scale: from a little below the quieter end of the programme (at most 70 dB down)
        // to just above the highest true peak.
        std::vector<double> finite;
        double peak = -kInf;
        for (const auto* s : {&t_.inputMomentaryLufs, &t_.outputMomentaryLufs})
            for (double v : *s)
                if (std::isfinite(v)) finite.push_back(v);
        for (double v : t_.outputTruePeakDbtp)
            if (std::isfinite(v)) peak = std::max(peak, v);
        const double quiet = finite.empty() ? -40.0 : percentile(finite, 0.02);
        const double lo = std::clamp(std::floor((quiet - 3) / 10) * 10, -70.0, -30.0);
        const double hi = peak > 2 ? std::ceil((peak + 1) / 3) * 3 : 3.0;

        font(cr_, 15, true);
        setColour(cr_, {0.1, 0.1, 0.1});
        text(cr_, kLeft, kLoudTop - 10, "Loudness and peak");
        font(cr_, 13);
        setColour(cr_, {0.3, 0.3, 0.3});
        const auto& in = r_.inputLoudness;
        const auto& out = r_.outputLoudness;
        text(cr_, kRight, kLoudTop - 10,
             "integrated: input " + lufsText(in.integratedLufs) + ", output " + lufsText(out.integratedLufs) +
                 " · output true peak " + (std::isfinite(out.truePeakDbtp) ? format("%.1f dBTP", out.truePeakDbtp) : "none"),
             1.0);

        // Grid and scale.
        font(cr_, 13);
        cairo_set_line_width(cr_, 1);
        const double step = niceStep(hi - lo, 8, false);
        auto y = [&](double v) { return kLoudBottom - (kLoudBottom - kLoudTop) * (v - lo) / (hi - lo); };
        for (double v = std::ceil(lo / step) * step; v <= hi + 1e-9; v += step) {
            const double yy = std::round(y(v)) + 0.5;
            setColour(cr_, {0.88, 0.88, 0.88});
            cairo_move_to(cr_, kLeft, yy);
            cairo_line_to(cr_, kRight, yy);
            cairo_stroke(cr_);
            setColour(cr_, {0.2, 0.2, 0.2});
            text(cr_, kLeft - 8, yy + 4.5, format("%.0f", v), 1.0);
        }
        for (double s = timeStep_; s < seconds_; s += timeStep_) {
            const double x = std::round(xOf(s)) + 0.5;
            setColour(cr_, {0.93, 0.93, 0.93});
            cairo_move_to(cr_, x, kLoudTop);
            cairo_line_to(cr_, x, kLoudBottom);
            cairo_stroke(cr_);
        }
        // Full scale, the ceiling of true peak.
        setColour(cr_, {0.45, 0.45, 0.45});
        const double dashes[] = {6, 4};
        cairo_set_dash(cr_, dashes, 2, 0);
        cairo_move_to(cr_, kLeft, std::round(y(0)) + 0.5);
        cairo_line_to(cr_, kRight, std::round(y(0)) + 0.5);
        cairo_stroke(cr_);
        cairo_set_dash(cr_, nullptr, 0, 0);
        font(cr_, 14);
        setColour(cr_, {0.1, 0.1, 0.1});
        verticalText(cr_, 70, (kLoudTop + kLoudBottom) / 2, "loudness (LUFS), true peak (dBTP)");

        cairo_save(cr_);
        cairo_rectangle(cr_, kLeft, kLoudTop, kRight - kLeft, kLoudBottom - kLoudTop);
        cairo_clip(cr_);
        cairo_set_line_width(cr_, 1.2);
        setColour(cr_, kPeakColour, 0.75);
        series(t_.outputTruePeakDbtp, lo, hi, kLoudTop, kLoudBottom, true);
        cairo_set_line_width(cr_, 2.2);
        setColour(cr_, kInputColour);
        series(t_.inputMomentaryLufs, lo, hi, kLoudTop, kLoudBottom, false);
        setColour(cr_, kOutputColour);
        series(t_.outputMomentaryLufs, lo, hi, kLoudTop, kLoudBottom, false);
        cairo_restore(cr_);
        frame(kLoudTop, kLoudBottom);

        // Legend, right of the panel.
        const double x = kRight + 16;
        double yy = kLoudTop + 14;
        font(cr_, 13);
        for (const auto& [colour, width, label1, label2] :
             {std::tuple{kInputColour, 2.2, "input", "momentary (LUFS)"}, std::tuple{kOutputColour, 2.2, "output", "momentary (LUFS)"},
              std::tuple{kPeakColour, 1.2, "output", "true peak (dBTP)"}}) {
            setColour(cr_, colour);
            cairo_set_line_width(cr_, width);
            cairo_move_to(cr_, x, yy - 4);
            cairo_line_to(cr_, x + 24, yy - 4);
            cairo_stroke(cr_);
            setColour(cr_, {0.1, 0.1, 0.1});
            text(cr_, x + 30, yy, label1);
            text(cr_, x + 30, yy + 16, label2);
            yy += 44;
        }
        setColour(cr_, {0.45, 0.45, 0.45});
        cairo_set_line_width(cr_, 1);
        cairo_set_dash(cr_, dashes, 2, 0);
        cairo_move_to(cr_, x, yy - 4);
        cairo_line_to(cr_, x + 24, yy - 4);
        cairo_stroke(cr_);
        cairo_set_dash(cr_, nullptr, 0, 0);
        setColour(cr_, {0.1, 0.1, 0.1});
        text(cr_, x + 30, yy, "full scale");
        text(cr_, x + 30, yy + 16, "(0 dBTP)");
    }

    static std::string lufsText(double v) { return std::isfinite(v) ? format("%.1f LUFS", v) : "below -70 LUFS"; }

    void bands() {
        font(cr_, 15, true);
        setColour(cr_, {0.1, 0.1, 0.1});
        text(cr_, kLeft, kBandTop - 10, "Band gain");
        if (!t_.hasBands) {
            setColour(cr_, {0.95, 0.95, 0.95});
            cairo_rectangle(cr_, kLeft, kBandTop, kRight - kLeft, kBandBottom - kBandTop);
            cairo_fill(cr_);
            frame(kBandTop, kBandBottom);
            setColour(cr_, {0.25, 0.25, 0.25});
            font(cr_, 16);
            text(cr_, (kLeft + kRight) / 2, (kBandTop + kBandBottom) / 2 - 6,
                 fitMiddle(cr_, "No band gains: the plug-in \"" + r_.pluginName + "\" has no meter readout.", kRight - kLeft - 40), 0.5);
            font(cr_, 14);
            text(cr_, (kLeft + kRight) / 2, (kBandTop + kBandBottom) / 2 + 18,
                 "The heat map shows the bands of Orvex; loudness and peak above are measured on the audio itself.", 0.5);
            return;
        }
        font(cr_, 13);
        setColour(cr_, {0.3, 0.3, 0.3});
        text(cr_, kRight, kBandTop - 10, "gain each band's gate and level control apply together, mean over 100 ms", 1.0);
        font(cr_, 14);
        setColour(cr_, {0.1, 0.1, 0.1});
        verticalText(cr_, 24, (kBandTop + kBandBottom) / 2, "band (range in Hz)");

        // The colour scale spans the gains the render used, in whole 5 dB steps, its ends
        // robust to a stray column.
        std::vector<double> all;
        for (const auto& column : t_.bandGainDb)
            for (float g : column)
                if (std::isfinite(g)) all.push_back(g);
        double lo = std::floor(percentile(all, 0.005) / 5) * 5;
        double hi = std::ceil(percentile(all, 0.995) / 5) * 5;
        lo = std::max(lo, -60.0);
        hi = std::min(std::max(hi, lo + 10), 60.0);
        lo = std::min(lo, hi - 10);
        auto colourOf = [&](double g) { return heatColour((g - lo) / (hi - lo)); };

        // One cell per band and per column, or per pixel where columns are finer (their mean);
        // neighbouring cells of one colour are drawn as one rectangle.
        const int pixels = static_cast<int>(kRight - kLeft);
        const std::size_t columns = t_.bandGainDb.size();
        std::vector<double> edges;  // cell boundaries on the x axis, whole pixels
        std::vector<std::pair<std::size_t, std::size_t>> spans;
        if (columns <= static_cast<std::size_t>(pixels)) {
            for (std::size_t c = 0; c < columns; ++c) {
                spans.emplace_back(c, c + 1);
                edges.push_back(std::round(xOf(static_cast<double>(c) * t_.columnSeconds())));
            }
            edges.push_back(std::round(std::min(xOf(static_cast<double>(columns) * t_.columnSeconds()), kRight)));
        } else {
            std::size_t c = 0;
            for (int px = 0; px < pixels; ++px) {
                const std::size_t begin = c;
                while (c < columns && columnX(c) < kLeft + px + 1) ++c;
                if (px == pixels - 1) c = columns;
                if (c == begin) continue;
                spans.emplace_back(begin, c);
                edges.push_back(kLeft + px);
            }
            edges.push_back(kRight);
            // A pixel that got no column widens its neighbour to the left.
            for (std::size_t i = 0; i + 1 < edges.size(); ++i) edges[i + 1] = std::max(edges[i + 1], edges[i] + 1);
        }
        cairo_save(cr_);
        cairo_set_antialias(cr_, CAIRO_ANTIALIAS_NONE);
        for (int b = 0; b < kTraceBands; ++b) {
            const double top = kBandBottom - (b + 1) * kBandRow;
            std::size_t start = 0;
            unsigned previous = 0;
            for (std::size_t i = 0; i <= spans.size(); ++i) {
                unsigned packed = 0xFFFFFFFF;
                if (i < spans.size()) {
                    double sum = 0;
                    for (std::size_t c = spans[i].first; c < spans[i].second; ++c)
                        sum += t_.bandGainDb[c][static_cast<std::size_t>(b)];
                    const Rgb colour = colourOf(sum / static_cast<double>(spans[i].second - spans[i].first));
                    packed = static_cast<unsigned>(std::lround(colour.r * 255)) << 16 |
                             static_cast<unsigned>(std::lround(colour.g * 255)) << 8 | static_cast<unsigned>(std::lround(colour.b * 255));
                }
                if (i > 0 && packed != previous) {
                    cairo_set_source_rgb(cr_, (previous >> 16 & 255) / 255.0, (previous >> 8 & 255) / 255.0, (previous & 255) / 255.0);
                    cairo_rectangle(cr_, edges[start], top, edges[i] - edges[start], kBandRow);
                    cairo_fill(cr_);
                    start = i;
                }
                previous = packed;
            }
        }
        cairo_restore(cr_);
        // Thin separations between bands and the band labels.
        font(cr_, 13);
        for (int b = 0; b < kTraceBands; ++b) {
            const double top = kBandBottom - (b + 1) * kBandRow;
            setColour(cr_, {1, 1, 1}, 0.35);
            cairo_set_line_width(cr_, 1);
            if (b < kTraceBands - 1) {
                cairo_move_to(cr_, kLeft, top + 0.5);
                cairo_line_to(cr_, kRight, top + 0.5);
                cairo_stroke(cr_);
            }
            setColour(cr_, {0.1, 0.1, 0.1});
            text(cr_, kLeft - 8, top + kBandRow / 2.0 + 4.5,
                 std::to_string(b + 1) + "   " + hertz(kBandEdges[b]) + "–" + hertz(kBandEdges[b + 1]), 1.0);
        }
        frame(kBandTop, kBandBottom);
        colourScale(lo, hi);
    }

    void colourScale(double lo, double hi) {
        cairo_pattern_t* gradient = cairo_pattern_create_linear(0, kBandBottom, 0, kBandTop);
        for (int i = 0; i <= 32; ++i) {
            const Rgb c = heatColour(i / 32.0);
            cairo_pattern_add_color_stop_rgb(gradient, i / 32.0, c.r, c.g, c.b);
        }
        cairo_set_source(cr_, gradient);
        cairo_rectangle(cr_, kScaleLeft, kBandTop, kScaleWidth, kBandBottom - kBandTop);
        cairo_fill(cr_);
        cairo_pattern_destroy(gradient);
        setColour(cr_, {0.35, 0.35, 0.35});
        cairo_set_line_width(cr_, 1);
        cairo_rectangle(cr_, kScaleLeft + 0.5, kBandTop + 0.5, kScaleWidth - 1, kBandBottom - kBandTop - 1);
        cairo_stroke(cr_);
        font(cr_, 13);
        const double step = niceStep(hi - lo, 8, false) < 5 ? 5 : niceStep(hi - lo, 8, false);
        for (double v = std::ceil(lo / step) * step; v <= hi + 1e-9; v += step) {
            const double y = std::round(kBandBottom - (kBandBottom - kBandTop) * (v - lo) / (hi - lo)) + 0.5;
            setColour(cr_, {0.35, 0.35, 0.35});
            cairo_move_to(cr_, kScaleLeft + kScaleWidth, y);
            cairo_line_to(cr_, kScaleLeft + kScaleWidth + 5, y);
            cairo_stroke(cr_);
            setColour(cr_, {0.1, 0.1, 0.1});
            text(cr_, kScaleLeft + kScaleWidth + 8, y + 4.5, format(v > 0 ? "+%.0f" : "%.0f", v));
        }
        font(cr_, 14);
        text(cr_, kScaleLeft + kScaleWidth / 2 + 18, kBandTop - 10, "gain (dB)", 0.5);
    }

    cairo_t* cr_;
    const RenderReport& r_;
    const RenderTrace& t_;
    double seconds_ = 1;
    double timeStep_ = 1;
};

// Cairo hands the encoded picture over in pieces; the first failed write is kept for the message.
struct Sink {
    std::FILE* file;
    int error = 0;
};

cairo_status_t writeToSink(void* closure, const unsigned char* data, unsigned int length) {
    auto* sink = static_cast<Sink*>(closure);
    if (sink->error) return CAIRO_STATUS_WRITE_ERROR;
    if (std::fwrite(data, 1, length, sink->file) != length) {
        sink->error = errno ? errno : EIO;
        return CAIRO_STATUS_WRITE_ERROR;
    }
    return CAIRO_STATUS_SUCCESS;
}

void check(cairo_status_t status, const Sink& sink, const std::string& path) {
    if (sink.error) throw FileError("cannot write the picture \"" + path + "\": " + std::strerror(sink.error));
    if (status != CAIRO_STATUS_SUCCESS)
        throw FileError("cannot draw the picture \"" + path + "\": " + cairo_status_to_string(status));
}

}  // namespace

void writePlot(const std::string& path, const RenderReport& report, const RenderTrace& trace, bool replace) {
    const PlotFormat format = plotFormatForPath(path);
    TemporaryFile file(path);
    Sink sink{file.stream()};
    cairo_surface_t* surface =
        format == PlotFormat::Svg ? cairo_svg_surface_create_for_stream(writeToSink, &sink, kPlotWidth, kPlotHeight)
                                  : cairo_image_surface_create(CAIRO_FORMAT_RGB24, kPlotWidth, kPlotHeight);
    if (format == PlotFormat::Svg) cairo_svg_surface_set_document_unit(surface, CAIRO_SVG_UNIT_PX);
    cairo_t* cr = cairo_create(surface);
    Picture(cr, report, trace).draw();
    cairo_status_t status = cairo_status(cr);
    cairo_destroy(cr);
    if (format == PlotFormat::Png) {
        if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_write_to_png_stream(surface, writeToSink, &sink);
    } else {
        cairo_surface_finish(surface);  // the SVG document is written out here
        if (status == CAIRO_STATUS_SUCCESS) status = cairo_surface_status(surface);
    }
    cairo_surface_destroy(surface);
    check(status, sink, path);
    file.commit(replace);
}

#endif

}  // namespace orvex::tools
