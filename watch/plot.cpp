// SPDX-License-Identifier: MIT
// plot.cpp - the time series of a watch as an SVG document, and writing it in
// place so that a browser reloading it never meets half a file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "report.h"
#include "watch.h"
#include "svg.h"

namespace watch {

namespace {

// The pictures' shared helpers, under the names this file has always used.
using availbw::niceStep;
constexpr auto add = availbw::svgAdd;
constexpr auto escaped = availbw::svgEscaped;

// The canvas and the panel inside it, in pixels.
constexpr double kWidth = 1000, kHeight = 520;
constexpr double kLeft = 90, kRight = 820, kTop = 70, kBottom = 450;
constexpr double kLegendLeft = 835;
constexpr double kHeadroom = 1.12;  // room above the highest figure

// Steps of time that read well on a clock: seconds, minutes, hours.
double timeStep(double spanS) {
    static const double steps[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900, 1800, 3600, 7200,
                                   10800, 21600, 43200, 86400};
    for (const double s : steps)
        if (spanS / s <= 8) return s;
    return niceStep(spanS / 86400, 8) * 86400;
}

struct Scale {
    int64_t fromMs, toMs;
    double bps;
    double x(int64_t ms) const {
        return kLeft + static_cast<double>(ms - fromMs) / static_cast<double>(toMs - fromMs) * (kRight - kLeft);
    }
    double y(double rate) const { return kBottom - rate / bps * (kBottom - kTop); }
};

// The clock time of a tick: HH:MM:SS, with tenths when the step is below a second.
std::string tickLabel(int64_t ms, double step) {
    const std::string t = formatTime(ms);  // 2026-12-08T18:40:01.123Z
    return step < 1 ? t.substr(11, 10) : t.substr(11, 8);
}

void addAxes(std::string& out, const Scale& sc) {
    const availbw::RateUnit unit = availbw::rateUnit(sc.bps / kHeadroom);
    const double rateStep = niceStep(sc.bps / unit.scale, 6);
    const int decimals = std::max(0, static_cast<int>(-std::floor(std::log10(rateStep) + 1e-9)));
    out += "<g font-size=\"11\" fill=\"#444\">\n";
    for (double v = 0; v * unit.scale <= sc.bps; v += rateStep) {
        const double y = sc.y(v * unit.scale);
        add(out, "<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>\n", kLeft, y, kRight, y);
        add(out, "<text x=\"%g\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n", kLeft - 6, y + 4, decimals, v);
    }
    const double step = timeStep(static_cast<double>(sc.toMs - sc.fromMs) / 1e3);
    const int64_t stepMs = std::max<int64_t>(1, std::llround(step * 1e3));
    for (int64_t t = (sc.fromMs / stepMs + 1) * stepMs, n = 0; t <= sc.toMs && n < 50; t += stepMs, ++n) {
        const double x = sc.x(t);
        add(out, "<line x1=\"%.1f\" y1=\"%g\" x2=\"%.1f\" y2=\"%g\" stroke=\"#e4e4e4\"/>\n", x, kTop, x, kBottom);
        add(out, "<text x=\"%.1f\" y=\"%g\" text-anchor=\"middle\">%s</text>\n", x, kBottom + 16,
            tickLabel(t, step).c_str());
    }
    out += "</g>\n";
    add(out, "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"none\" stroke=\"#999\"/>\n", kLeft, kTop,
        kRight - kLeft, kBottom - kTop);
    add(out, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">time (UTC) from %s</text>\n", (kLeft + kRight) / 2,
        kBottom + 40, formatTime(sc.fromMs).c_str());
    add(out,
        "<text transform=\"translate(%g %g) rotate(-90)\" text-anchor=\"middle\">free rate (%s, IP bits per "
        "second)</text>\n",
        kLeft - 58, (kTop + kBottom) / 2, unit.name);
}

// The ranges as a band, broken where a measurement gave no estimate (no
// range is known there), and the estimates as points joined by a line.
void addEstimates(std::string& out, const std::vector<Sample>& s, size_t first, const Scale& sc) {
    std::vector<std::vector<const Sample*>> runs(1);
    std::string line;
    for (size_t i = first; i < s.size(); ++i) {
        if (s[i].answered) {
            runs.back().push_back(&s[i]);
            add(line, "%.1f,%.1f ", sc.x(s[i].unixMs), sc.y(s[i].estimateBps));
        } else if (!runs.back().empty()) {
            runs.emplace_back();
        }
    }
    for (const auto& run : runs) {
        if (run.empty()) continue;
        std::string band;
        for (const Sample* m : run) add(band, "%.1f,%.1f ", sc.x(m->unixMs), sc.y(m->highBps));
        for (auto m = run.rbegin(); m != run.rend(); ++m) add(band, "%.1f,%.1f ", sc.x((*m)->unixMs), sc.y((*m)->lowBps));
        add(out, "<polygon points=\"%s\" fill=\"#f2c94c\" fill-opacity=\"0.45\" stroke=\"#e0b030\"/>\n", band.c_str());
    }
    if (!line.empty())
        add(out, "<polyline points=\"%s\" fill=\"none\" stroke=\"#222\" stroke-width=\"1.5\"/>\n", line.c_str());
    for (size_t i = first; i < s.size(); ++i) {
        if (!s[i].answered) continue;
        add(out,
            "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"#222\"><title>%s: %s (%s)</title></circle>\n",
            sc.x(s[i].unixMs), sc.y(s[i].estimateBps), formatTime(s[i].unixMs).c_str(),
            availbw::formatRate(s[i].estimateBps).c_str(), availbw::formatRange(s[i].lowBps, s[i].highBps).c_str());
    }
}

void addCapacity(std::string& out, const std::vector<Sample>& s, size_t first, const Scale& sc) {
    std::string points;
    for (size_t i = first; i < s.size(); ++i)
        if (s[i].capacityBps > 0) add(points, "%.1f,%.1f ", sc.x(s[i].unixMs), sc.y(s[i].capacityBps));
    if (!points.empty())
        add(out, "<polyline points=\"%s\" fill=\"none\" stroke=\"#666\" stroke-dasharray=\"6 4\"/>\n",
            points.c_str());
}

// A red cross on the time axis for each measurement without an estimate.
void addMisses(std::string& out, const std::vector<Sample>& s, size_t first, const Scale& sc) {
    for (size_t i = first; i < s.size(); ++i) {
        if (s[i].answered) continue;
        add(out,
            "<path class=\"miss\" d=\"M%.1f %g l8 8 m0 -8 l-8 8\" stroke=\"#c8323c\" stroke-width=\"2\">"
            "<title>%s: no estimate: %s</title></path>\n",
            sc.x(s[i].unixMs) - 4, kBottom - 12, formatTime(s[i].unixMs).c_str(), escaped(s[i].reason).c_str());
    }
}

void addChanges(std::string& out, const std::vector<Change>& changes, const std::vector<Sample>& s, size_t first,
                const Scale& sc) {
    for (const Change& c : changes) {
        if (c.first < first || c.first >= s.size()) continue;
        const double x = sc.x(s[c.first].unixMs);
        add(out,
            "<g class=\"change\"><line x1=\"%.1f\" y1=\"%g\" x2=\"%.1f\" y2=\"%g\" stroke=\"#2a7ab0\" "
            "stroke-width=\"2\" stroke-dasharray=\"4 3\"/><path d=\"M%.1f %g l-6 -9 h12 z\" fill=\"#2a7ab0\"/>"
            "<title>change at %s: %s to %s</title></g>\n",
            x, kTop, x, kBottom, x, kTop, formatTime(s[c.first].unixMs).c_str(),
            availbw::formatRate(c.fromBps).c_str(), availbw::formatRate(c.toBps).c_str());
    }
}

void addLegend(std::string& out) {
    double y = kTop + 4;
    const double x = kLegendLeft;
    out += "<g font-size=\"12\">\n";
    add(out, "<rect x=\"%g\" y=\"%g\" width=\"22\" height=\"12\" fill=\"#f2c94c\" fill-opacity=\"0.45\"/>\n", x,
        y - 6);
    add(out, "<text x=\"%g\" y=\"%g\">range</text>\n", x + 28, y + 4);
    y += 20;
    add(out, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#222\" stroke-width=\"1.5\"/>", x, y, x + 22, y);
    add(out, "<circle cx=\"%g\" cy=\"%g\" r=\"3\" fill=\"#222\"/>\n", x + 11, y);
    add(out, "<text x=\"%g\" y=\"%g\">estimate</text>\n", x + 28, y + 4);
    y += 20;
    add(out, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#666\" stroke-dasharray=\"6 4\"/>\n", x, y,
        x + 22, y);
    add(out, "<text x=\"%g\" y=\"%g\">capacity</text>\n", x + 28, y + 4);
    y += 20;
    add(out, "<path d=\"M%g %g l8 8 m0 -8 l-8 8\" stroke=\"#c8323c\" stroke-width=\"2\"/>\n", x + 7, y - 4);
    add(out, "<text x=\"%g\" y=\"%g\">no estimate</text>\n", x + 28, y + 4);
    y += 20;
    add(out, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#2a7ab0\" stroke-width=\"2\" "
             "stroke-dasharray=\"4 3\"/>\n", x + 11, y - 8, x + 11, y + 8);
    add(out, "<text x=\"%g\" y=\"%g\">change</text>\n", x + 28, y + 4);
    out += "</g>\n";
}

}  // namespace

std::string plotSvg(const std::vector<Sample>& samples, const std::vector<Change>& changes, const std::string& host) {
    const size_t first = samples.size() > kPlotSamples ? samples.size() - kPlotSamples : 0;
    Scale sc{0, 1000, 0};
    if (first < samples.size()) {
        sc.fromMs = samples[first].unixMs;
        sc.toMs = std::max(samples.back().unixMs, sc.fromMs + 1000);
        // Half a measurement's spacing of room at each end.
        const int64_t pad = (sc.toMs - sc.fromMs) / static_cast<int64_t>(2 * (samples.size() - first) + 2);
        sc.fromMs -= pad;
        sc.toMs += pad;
    }
    for (size_t i = first; i < samples.size(); ++i)
        sc.bps = std::max({sc.bps, samples[i].answered ? samples[i].highBps : 0, samples[i].capacityBps});
    sc.bps = sc.bps > 0 && std::isfinite(sc.bps) ? sc.bps * kHeadroom : 1e6;

    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    add(out,
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" viewBox=\"0 0 %g %g\" "
        "font-family=\"sans-serif\" font-size=\"13\">\n",
        kWidth, kHeight, kWidth, kHeight);
    add(out, "<title>availbw watching %s</title>\n", escaped(host).c_str());
    add(out, "<rect width=\"%g\" height=\"%g\" fill=\"white\"/>\n", kWidth, kHeight);
    add(out, "<text x=\"%g\" y=\"30\" font-size=\"18\" font-weight=\"bold\">Free bandwidth to %s over time</text>\n",
        kLeft, escaped(host).c_str());
    int answered = 0;
    for (size_t i = first; i < samples.size(); ++i) answered += samples[i].answered;
    add(out, "<text x=\"%g\" y=\"52\" font-size=\"12\" fill=\"#555\">%zu measurements, %d answered, %zu changes; "
             "rates are IP bits per second, headers included</text>\n",
        kLeft, samples.size() - first, answered, changes.size());
    addAxes(out, sc);
    addEstimates(out, samples, first, sc);
    addCapacity(out, samples, first, sc);
    addMisses(out, samples, first, sc);
    addChanges(out, changes, samples, first, sc);
    addLegend(out);
    out += "</svg>\n";
    return out;
}

bool writeAtomically(const std::string& path, const std::string& data) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = EEXIST;
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string temp = dir + "/.availbw-watch-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) return false;
    const mode_t mask = umask(0);
    umask(mask);
    int error = fchmod(fd, 0666 & ~mask) == 0 ? 0 : errno;
    for (size_t done = 0; error == 0 && done < data.size();) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = n < 0 ? errno : EIO;
        else done += static_cast<size_t>(n);
    }
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) unlink(temp.c_str());
    errno = error;
    return error == 0;
}

}  // namespace watch
