#include "tools/common/params.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace orvex::tools {
namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Decimals after the point in the number a display text starts with.
int decimalsOf(const std::string& text) {
    const std::string t = trim(text);
    std::size_t i = 0;
    if (i < t.size() && (t[i] == '-' || t[i] == '+')) ++i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    if (i >= t.size() || t[i] != '.') return 0;
    int d = 0;
    for (++i; i < t.size() && std::isdigit(static_cast<unsigned char>(t[i])); ++i) ++d;
    return d;
}

// A number typed by the user: the whole text, optionally followed by the parameter's unit.
std::optional<double> typedNumber(const std::string& text, const std::string& unit) {
    const std::string t = trim(text);
    if (t.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || std::isnan(v) || std::isinf(v)) return std::nullopt;
    const std::string rest = trim(std::string(end));
    if (!rest.empty() && (unit.empty() || lower(rest) != lower(trim(unit)))) return std::nullopt;
    return v;
}

bool sameNumber(double a, double b) {
    return a == b || std::fabs(a - b) <= 1e-9 * std::max({1.0, std::fabs(a), std::fabs(b)});
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

std::string numberText(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

struct SwitchWords {
    const char* off;
    const char* on;
};
constexpr SwitchWords kSwitchWords[] = {
    {"off", "on"}, {"false", "true"}, {"no", "yes"}, {"disabled", "enabled"}, {"0", "1"}};

// -1 off, 1 on, 0 neither.
int switchValue(const std::string& text) {
    const std::string t = lower(trim(text));
    for (const auto& w : kSwitchWords) {
        if (t == w.off) return -1;
        if (t == w.on) return 1;
    }
    return 0;
}

std::string namesList(const std::vector<ParameterInfo>& params) {
    std::string s;
    for (const auto& p : params) {
        if (!s.empty()) s += ", ";
        s += std::to_string(p.index) + " " + quoted(p.name);
    }
    return s;
}

}  // namespace

const ParameterInfo& findParameter(const std::vector<ParameterInfo>& params, const std::string& rawKey) {
    const std::string key = trim(rawKey);
    for (const auto& p : params)
        if (p.name == key) return p;
    for (const auto& p : params)
        if (lower(trim(p.name)) == lower(key)) return p;
    if (!key.empty() && std::all_of(key.begin(), key.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        const long index = std::strtol(key.c_str(), nullptr, 10);
        for (const auto& p : params)
            if (p.index == index) return p;
        throw ParameterError("no parameter with index " + key + "; indexes run from 0 to " +
                             std::to_string(static_cast<long>(params.size()) - 1));
    }
    if (params.empty()) throw ParameterError("unknown parameter " + quoted(key) + ": the plug-in has no parameters");
    throw ParameterError("unknown parameter " + quoted(key) + "; choose one of: " + namesList(params));
}

namespace {

void splitRequest(const std::string& request, std::string& key, std::string& value) {
    const auto eq = request.rfind('=');
    if (eq == std::string::npos || eq == 0)
        throw ParameterError("malformed setting " + quoted(request) + "; write NAME=VALUE or INDEX=VALUE");
    key = request.substr(0, eq);
    value = request.substr(eq + 1);
}

std::string displayAt(ParameterAccess& probe, int index, float x) {
    probe.set(index, x);
    return probe.display(index);
}

// The number shown at x; a text that is no number counts as below every number.
double shownAt(ParameterAccess& probe, int index, float x) {
    const auto n = leadingNumber(displayAt(probe, index, x));
    return n ? *n : -std::numeric_limits<double>::infinity();
}

Assignment finish(ParameterAccess& probe, int index, float x, bool exact) {
    Assignment a;
    a.index = index;
    a.normalised = x;
    a.display = displayAt(probe, index, x);
    a.exact = exact;
    return a;
}

Assignment resolveNumeric(ParameterAccess& probe, const ParameterInfo& p, const std::string& valueText) {
    const auto wanted = typedNumber(valueText, p.label);
    const double lo = std::min(p.low, p.high), hi = std::max(p.low, p.high);
    const std::string range = "from " + numberText(lo) + " to " + numberText(hi) +
                              (p.label.empty() ? "" : " " + p.label);
    if (!wanted)
        throw ParameterError("value " + quoted(valueText) + " for " + quoted(p.name) +
                             " is not a number; give a number " + range);
    const double v = *wanted;
    if (!(v >= lo || sameNumber(v, lo)) || !(v <= hi || sameNumber(v, hi)))
        throw ParameterError("value " + valueText + " for " + quoted(p.name) + " is outside its range " + range);

    // Displays are monotonic in the normalised value; a falling one is searched with the sign
    // turned.
    const double sign = p.high >= p.low ? 1.0 : -1.0;
    auto shown = [&](float x) { return shownAt(probe, p.index, x); };
    // Smallest normalised value in [from, 1] where `past` holds; 1 when it holds nowhere before.
    auto boundary = [&](float from, auto past) {
        if (past(from)) return from;
        float below = from, above = 1.0f;
        for (int i = 0; i < 80; ++i) {
            const float mid = below + 0.5f * (above - below);
            if (mid <= below || mid >= above) break;
            (past(mid) ? above : below) = mid;
        }
        return above;
    };
    const float first = boundary(0.0f, [&](float x) {
        const double f = shown(x);
        return sign * f >= sign * v || sameNumber(f, v);
    });

    // A linear control reaches v itself at the interpolated value; the search above only
    // finds where the display turns to v, which may be the bottom of a rounding interval.
    const double span = p.high - p.low;
    const double resolution = std::pow(10.0, -p.decimals);
    const bool linear = std::isfinite(span) && span != 0.0 &&
                        std::fabs(shown(0.25f) - (p.low + 0.25 * span)) <= resolution &&
                        std::fabs(shown(0.5f) - (p.low + 0.5 * span)) <= resolution &&
                        std::fabs(shown(0.75f) - (p.low + 0.75 * span)) <= resolution;
    const float interpolated = linear ? static_cast<float>(std::clamp((v - p.low) / span, 0.0, 1.0)) : 0.0f;

    if (sameNumber(shown(first), v)) {
        // The stretch of normalised values that shows v: take the interpolated value when it is
        // inside (it shows v and is v), else the nearer end (a truncating display may need the
        // first value above the estimate), or the middle for a control that is not linear.
        const float past = boundary(first, [&](float x) {
            const double f = shown(x);
            return sign * f > sign * v && !sameNumber(f, v);
        });
        float last = past;
        if (!sameNumber(shown(past), v)) last = std::nextafter(past, 0.0f);
        if (last < first) last = first;
        const float x = linear ? std::clamp(interpolated, first, last) : first + 0.5f * (last - first);
        return finish(probe, p.index, sameNumber(shown(x), v) ? x : first, true);
    }
    // The display cannot show v (too few decimals): interpolate a linear control, otherwise take
    // the nearest value the display shows.
    if (linear) return finish(probe, p.index, interpolated, false);
    const float before = first > 0.0f ? std::nextafter(first, 0.0f) : first;
    const float x = std::fabs(shown(before) - v) < std::fabs(shown(first) - v) ? before : first;
    return finish(probe, p.index, x, false);
}

Assignment resolveChoice(ParameterAccess& probe, const ParameterInfo& p, const std::string& valueText) {
    const std::string want = lower(trim(valueText));
    for (std::size_t i = 0; i < p.choices.size(); ++i)
        if (lower(trim(p.choices[i])) == want) return finish(probe, p.index, p.choiceValues[i], true);
    if (p.isSwitch()) {
        const int s = switchValue(valueText);
        if (s != 0) return finish(probe, p.index, p.choiceValues[s > 0 ? 1 : 0], true);
        throw ParameterError("value " + quoted(valueText) + " for " + quoted(p.name) +
                             " is not a switch setting; use on, off, 1, 0, true or false");
    }
    std::string list;
    for (const auto& c : p.choices) list += (list.empty() ? "" : ", ") + quoted(c);
    throw ParameterError("value " + quoted(valueText) + " for " + quoted(p.name) +
                         " is not one of its settings: " + list + " (or use --set-normalised)");
}

}  // namespace

std::optional<double> leadingNumber(const std::string& text) {
    const std::string t = trim(text);
    if (t.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || std::isnan(v)) return std::nullopt;
    // strtod also reads hexadecimal; a display such as "0xA" is not meant as a number.
    if (t.find_first_of("xX") != std::string::npos && t.find_first_of("xX") < static_cast<std::size_t>(end - t.c_str()))
        return std::nullopt;
    return v;
}

bool ParameterInfo::isSwitch() const {
    if (kind != Kind::Choice || choices.size() != 2) return false;
    const int a = switchValue(choices[0]), b = switchValue(choices[1]);
    return a != 0 && b != 0 && a != b;
}

std::string ParameterInfo::rangeText() const {
    if (kind == Kind::Numeric) return lowText + " .. " + highText;
    std::string s;
    for (const auto& c : choices) s += (s.empty() ? "" : "|") + c;
    return s;
}

std::vector<ParameterInfo> describeParameters(ParameterAccess& access) {
    const int n = access.count();
    std::vector<ParameterInfo> params(static_cast<std::size_t>(std::max(n, 0)));
    // Names and defaults first, before any probing can disturb them.
    for (int i = 0; i < n; ++i) {
        ParameterInfo& p = params[static_cast<std::size_t>(i)];
        p.index = i;
        p.name = access.name(i);
        p.label = access.label(i);
        p.defaultValue = access.get(i);
        p.defaultText = access.display(i);
    }
    for (ParameterInfo& p : params) {
        p.lowText = trim(displayAt(access, p.index, 0.0f));
        p.highText = trim(displayAt(access, p.index, 1.0f));
        const auto lo = leadingNumber(p.lowText), hi = leadingNumber(p.highText);
        if (lo && hi) {
            p.kind = ParameterInfo::Kind::Numeric;
            p.low = *lo;
            p.high = *hi;
            p.decimals = std::max(decimalsOf(p.lowText), decimalsOf(p.highText));
            continue;
        }
        // Texts: walk the normalised range and collect each distinct setting in order. The
        // ends get 0.0 and 1.0, settings in between the middle of the stretch that shows them.
        p.kind = ParameterInfo::Kind::Choice;
        constexpr int kSteps = 128;
        std::vector<std::pair<float, float>> spans;
        for (int s = 0; s <= kSteps; ++s) {
            const float x = static_cast<float>(s) / kSteps;
            const std::string text = trim(displayAt(access, p.index, x));
            if (p.choices.empty() || p.choices.back() != text) {
                p.choices.push_back(text);
                spans.emplace_back(x, x);
            } else {
                spans.back().second = x;
            }
        }
        for (std::size_t c = 0; c < spans.size(); ++c) {
            float x = 0.5f * (spans[c].first + spans[c].second);
            if (c == 0) x = 0.0f;
            if (c + 1 == spans.size()) x = 1.0f;
            p.choiceValues.push_back(x);
        }
    }
    return params;
}

Assignment resolvePlain(ParameterAccess& probe, const std::vector<ParameterInfo>& params,
                        const std::string& request) {
    std::string key, value;
    splitRequest(request, key, value);
    const ParameterInfo& p = findParameter(params, key);
    if (p.kind == ParameterInfo::Kind::Choice) return resolveChoice(probe, p, value);
    return resolveNumeric(probe, p, value);
}

Assignment resolveNormalised(ParameterAccess& probe, const std::vector<ParameterInfo>& params,
                             const std::string& request) {
    std::string key, value;
    splitRequest(request, key, value);
    const ParameterInfo& p = findParameter(params, key);
    const auto x = typedNumber(value, "");
    if (!x || *x < 0.0 || *x > 1.0)
        throw ParameterError("normalised value " + quoted(value) + " for " + quoted(p.name) +
                             " must be a number from 0 to 1");
    return finish(probe, p.index, static_cast<float>(*x), true);
}

std::string formatParameterTable(const std::vector<ParameterInfo>& params) {
    std::size_t nameWidth = 4, labelWidth = 4, rangeWidth = 5;
    for (const auto& p : params) {
        nameWidth = std::max(nameWidth, p.name.size());
        labelWidth = std::max(labelWidth, p.label.size());
        rangeWidth = std::max(rangeWidth, p.rangeText().size());
    }
    std::ostringstream out;
    char buf[64];
    auto pad = [](std::string s, std::size_t w) {
        s.resize(std::max(s.size(), w), ' ');
        return s;
    };
    out << "index  " << pad("name", nameWidth) << "  " << pad("unit", labelWidth) << "  "
        << pad("range", rangeWidth) << "  default     display\n";
    for (const auto& p : params) {
        std::snprintf(buf, sizeof buf, "%5d  ", p.index);
        out << buf << pad(p.name, nameWidth) << "  " << pad(p.label, labelWidth) << "  "
            << pad(p.rangeText(), rangeWidth) << "  ";
        std::snprintf(buf, sizeof buf, "%-10.6g  ", static_cast<double>(p.defaultValue));
        out << buf << p.defaultText << "\n";
    }
    return out.str();
}

}  // namespace orvex::tools
