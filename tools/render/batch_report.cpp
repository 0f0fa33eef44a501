#include "tools/render/batch_report.h"

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include "tools/common/text.h"
#include "tools/render/report.h"

namespace orvex::tools {
namespace {

// Rows in the order of their names, whatever order they ran in.
std::vector<const BatchFile*> rowsByName(const BatchPlan& plan, bool withWaiting) {
    std::vector<const BatchFile*> rows;
    for (const BatchFile& f : plan.files)
        if (withWaiting || f.status != FileStatus::Waiting) rows.push_back(&f);
    std::sort(rows.begin(), rows.end(), [](const BatchFile* a, const BatchFile* b) { return a->relative < b->relative; });
    return rows;
}

double totalAudio(const BatchPlan& plan) {
    double s = 0.0;
    for (const BatchFile& f : plan.files)
        if (f.status == FileStatus::Done) s += f.audioSeconds();
    return s;
}

std::string number(double v, const char* format) {
    if (!std::isfinite(v)) return "-inf";
    return formatText(format, v);
}

std::string plural(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

std::string durationText(double seconds) {
    if (!(seconds >= 0.0)) seconds = 0.0;
    const long tenths = std::lround(seconds * 10.0);
    const long h = tenths / 36000, m = tenths / 600 % 60, s = tenths / 10 % 60, t = tenths % 10;
    if (h > 0) return formatText("%ld:%02ld:%02ld.%ld", h, m, s, t);
    return formatText("%ld:%02ld.%ld", m, s, t);
}

BatchCounts countRows(const BatchPlan& plan) {
    BatchCounts c;
    for (const BatchFile& f : plan.files) {
        switch (f.status) {
            case FileStatus::Done: ++c.done; break;
            case FileStatus::Failed: ++c.failed; break;
            case FileStatus::Interrupted: ++c.interrupted; break;
            case FileStatus::Waiting:
            case FileStatus::Running: ++c.notStarted; break;
        }
    }
    return c;
}

std::string progressLine(const BatchProgress& p, int width) {
    auto clock = [](double s) {
        const long whole = std::lround(std::max(s, 0.0));
        return whole >= 3600 ? formatText("%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60)
                             : formatText("%ld:%02ld", whole / 60, whole % 60);
    };
    std::string line = formatText("[%d/%d files", p.done, p.total);
    if (p.failed) line += formatText(", %d failed", p.failed);
    line += "] " + clock(p.audioSecondsDone) + " of " + clock(p.audioSeconds) + " audio, " + clock(p.elapsed) + " elapsed";
    // The remaining time from the pace so far, once there is one.
    if (p.audioSecondsDone > 0.0 && p.elapsed > 1.0 && p.audioSeconds > p.audioSecondsDone)
        line += ", ~" + clock(p.elapsed * (p.audioSeconds - p.audioSecondsDone) / p.audioSecondsDone) + " left";
    if (!p.current.empty()) {
        line += " | ";
        for (std::size_t i = 0; i < p.current.size(); ++i) line += (i ? ", " : "") + p.current[i];
    }
    if (width > 4 && static_cast<int>(line.size()) > width - 1) {
        // Cut on a character boundary: names are UTF-8.
        std::size_t cut = static_cast<std::size_t>(width - 4);
        while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        line = line.substr(0, cut) + "...";
    }
    return line;
}

std::string batchTable(const BatchSummary& s) {
    const auto rows = rowsByName(s.plan, false);
    std::size_t nameWidth = 4;
    for (const BatchFile* f : rows) nameWidth = std::max(nameWidth, f->relative.size());
    const int w = static_cast<int>(nameWidth);
    std::ostringstream o;
    o << formatText("%-*s  %10s  %8s  %8s  %6s  %7s  %7s  %8s  %7s  %s\n", w, "file", "duration", "in LUFS", "out LUFS",
                    "in LRA", "out LRA", "in dBTP", "out dBTP", "speed", "status");
    for (const BatchFile* f : rows) {
        if (f->status == FileStatus::Done) {
            const LoudnessReport& in = f->report.inputLoudness;
            const LoudnessReport& out = f->report.outputLoudness;
            o << formatText("%-*s  %10s  %8s  %8s  %6s  %7s  %7s  %8s  %6.1fx  %s\n", w, f->relative.c_str(),
                            durationText(f->audioSeconds()).c_str(), number(in.integratedLufs, "%.1f").c_str(),
                            number(out.integratedLufs, "%.1f").c_str(), number(in.rangeLu, "%.1f").c_str(),
                            number(out.rangeLu, "%.1f").c_str(), number(in.truePeakDbtp, "%.1f").c_str(),
                            number(out.truePeakDbtp, "%.1f").c_str(),
                            f->seconds > 0.0 ? f->audioSeconds() / f->seconds : 0.0, "done");
        } else {
            const std::string duration = f->rate > 0 ? durationText(f->audioSeconds()) : "-";
            o << formatText("%-*s  %10s  %8s  %8s  %6s  %7s  %7s  %8s  %7s  %s: %s\n", w, f->relative.c_str(), duration.c_str(),
                            "-", "-", "-", "-", "-", "-", "-", fileStatusName(f->status), f->error.c_str());
        }
    }
    const BatchCounts c = countRows(s.plan);
    std::string totals = "total: " + plural(c.done + c.failed + c.interrupted + c.notStarted, "file", "files") + ", " +
                         std::to_string(c.done) + " done";
    if (c.failed) totals += ", " + std::to_string(c.failed) + " failed";
    if (c.interrupted) totals += ", " + std::to_string(c.interrupted) + " interrupted";
    if (c.notStarted) totals += ", " + std::to_string(c.notStarted) + " not started";
    if (!s.plan.skipped.empty()) totals += "; " + plural(static_cast<int>(s.plan.skipped.size()), "other file", "other files") + " skipped";
    const double audio = totalAudio(s.plan);
    o << totals << "\n";
    o << formatText("       %s of audio rendered in %s (%.1fx real time) with %s%s\n", durationText(audio).c_str(),
                    durationText(s.seconds).c_str(), s.seconds > 0.0 ? audio / s.seconds : 0.0,
                    plural(s.options.jobs, "job", "jobs").c_str(), s.interrupted ? "; interrupted" : "");
    return o.str();
}

std::string batchJson(const BatchSummary& s) {
    std::ostringstream o;
    const BatchOptions& opt = s.options;
    o << "{\"plugin\":" << jsonString(opt.render.pluginPath) << ",\"out_dir\":" << jsonString(opt.outDir)
      << ",\"output_type\":" << jsonString(opt.type.name) << ",\"jobs\":" << opt.jobs
      << ",\"interrupted\":" << (s.interrupted ? "true" : "false") << ",\"files\":[";
    bool first = true;
    for (const BatchFile* f : rowsByName(s.plan, false)) {
        o << (first ? "" : ",") << "{\"input\":" << jsonString(f->input) << ",\"relative\":" << jsonString(f->relative)
          << ",\"output\":" << jsonString(f->output) << ",\"status\":" << jsonString(fileStatusName(f->status))
          << ",\"error\":" << (f->status == FileStatus::Done ? "null" : jsonString(f->error));
        if (f->rate > 0)
            o << ",\"sample_rate\":" << f->rate << ",\"frames\":" << f->frames
              << ",\"duration_seconds\":" << jsonNumber(f->audioSeconds(), 6);
        if (f->status == FileStatus::Done) {
            const RenderReport& r = f->report;
            o << ",\"channels\":" << r.inputChannels << ",\"input_format\":" << jsonString(r.inputFormat)
              << ",\"output_format\":" << jsonString(r.outputFormat) << ",\"input_loudness\":{"
              << jsonLoudness(r.inputLoudness) << "},\"output_loudness\":{" << jsonLoudness(r.outputLoudness) << "}"
              << ",\"seconds\":" << jsonNumber(f->seconds, 3) << ",\"processing_seconds\":" << jsonNumber(r.processingSeconds, 6)
              << ",\"realtime_factor\":" << jsonNumber(f->seconds > 0.0 ? f->audioSeconds() / f->seconds : 0.0, 2);
            if (!r.plotPath.empty()) o << ",\"picture\":" << jsonString(r.plotPath);
        } else if (f->status == FileStatus::Interrupted || f->status == FileStatus::Failed) {
            o << ",\"seconds\":" << jsonNumber(f->seconds, 3);
        }
        o << "}";
        first = false;
    }
    o << "],\"not_started\":[";
    first = true;
    for (const BatchFile* f : rowsByName(s.plan, true)) {
        if (f->status != FileStatus::Waiting) continue;
        o << (first ? "" : ",") << jsonString(f->input);
        first = false;
    }
    o << "],\"skipped\":[";
    for (std::size_t i = 0; i < s.plan.skipped.size(); ++i) o << (i ? "," : "") << jsonString(s.plan.skipped[i]);
    const BatchCounts c = countRows(s.plan);
    const double audio = totalAudio(s.plan);
    o << "],\"totals\":{\"files\":" << c.done + c.failed + c.interrupted + c.notStarted << ",\"done\":" << c.done
      << ",\"failed\":" << c.failed << ",\"interrupted\":" << c.interrupted << ",\"not_started\":" << c.notStarted
      << ",\"skipped\":" << s.plan.skipped.size() << ",\"audio_seconds\":" << jsonNumber(audio, 3)
      << ",\"seconds\":" << jsonNumber(s.seconds, 3)
      << ",\"realtime_factor\":" << jsonNumber(s.seconds > 0.0 ? audio / s.seconds : 0.0, 2) << "}}";
    return o.str();
}

}  // namespace orvex::tools
