// SPDX-License-Identifier: MIT
// plot.cpp - the SVG picture of a measurement.  One panel: time since the
// start to the right, sending rate upwards.  A stream sits at the height of
// its rate for as long as it lasted, and its delays above its own smallest
// one lift its curve, so a stream above the free rate shows as a ramp and one
// below as a flat line; the band of the reported range runs across.
#include "plot.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "report.h"
#include "svg.h"

namespace availbw {

namespace {

constexpr auto add = availbw::svgAdd;
constexpr auto escaped = availbw::svgEscaped;

// The canvas and the panel inside it, in SVG user units (pixels).
constexpr double kWidth = 1000, kHeight = 620;
constexpr double kLeft = 90, kRight = 760, kTop = 80, kBottom = 550;
constexpr double kRoundsLeft = 772, kRoundsWidth = 36;  // strip of the rounds' ranges
constexpr double kLegendLeft = 842;
// The delay scale bar in the legend: always this long, labelled with the delay it stands for.
constexpr double kDelayBar = 40;
// Width of a character of an 11-pixel label, a generous average for sans-serif.
constexpr double kCharWidth = 6.6;
// The largest delay rise over all streams lifts its curve by this share of the panel.
constexpr double kDelayShare = 0.12;
// Room above the highest rate for the curves of the streams sent there.
constexpr double kHeadroom = 1.18;
// A white outline under a label keeps it readable where curves cross it.
constexpr const char* kHalo = "stroke=\"white\" stroke-width=\"3\" paint-order=\"stroke\"";

const char* colourOf(int verdict) {
    switch (verdict) {
        case AVL_RISING: return "#c8323c";
        case AVL_FLAT: return "#2a7ab0";
        default: return "#8a8a8a";
    }
}

// Decimals that show a multiple of step exactly.
int decimalsFor(double step) { return std::max(0, static_cast<int>(-std::floor(std::log10(step) + 1e-9))); }

std::string formatDelay(double seconds) {
    char text[32];
    if (seconds >= 1) std::snprintf(text, sizeof text, "%.3g s", seconds);
    else if (seconds >= 1e-3) std::snprintf(text, sizeof text, "%.3g ms", seconds * 1e3);
    else std::snprintf(text, sizeof text, "%.3g \xc2\xb5s", seconds * 1e6);
    return text;
}

// A rectangle on the canvas, for keeping labels off the curves.
struct Box {
    double left, top, right, bottom;
    bool meets(const Box& o) const { return left < o.right && o.left < right && top < o.bottom && o.top < bottom; }
};

// Where things go on the canvas.
struct Scale {
    double seconds;   // time at the right edge of the panel
    double bps;       // rate at the top of the panel
    double pxPerSecondOfDelay;
    double maxRise;   // largest delay rise of any stream, seconds

    double x(double t) const { return kLeft + t / seconds * (kRight - kLeft); }
    double y(double rate) const { return kBottom - rate / bps * (kBottom - kTop); }
};

// Smallest delay of a stream's received packets; -1 when none came back.
double smallestDelay(const avl_stream& s) {
    double least = -1;
    for (int i = 0; i < s.packets; ++i)
        if (s.delay_s[i] >= 0 && (least < 0 || s.delay_s[i] < least)) least = s.delay_s[i];
    return least;
}

Scale scaleFor(const avl_result& r) {
    Scale sc{r.duration_s, std::max(r.capacity_bps, hasEstimate(r) ? r.high_bps : 0), 0, 0};
    for (int i = 0; i < r.nstreams; ++i) {
        const avl_stream& s = r.streams[i];
        if (s.packets > 0) sc.seconds = std::max(sc.seconds, s.start_s + s.depart_s[s.packets - 1]);
        if (s.kind == AVL_KIND_CAPACITY || s.kind == AVL_KIND_PROBE) continue;
        sc.bps = std::max(sc.bps, s.rate_bps);
        const double least = smallestDelay(s);
        for (int k = 0; k < s.packets && least >= 0; ++k) sc.maxRise = std::max(sc.maxRise, s.delay_s[k] - least);
    }
    for (int i = 0; i < r.nrounds; ++i) sc.bps = std::max(sc.bps, r.round_ranges[i].high_bps);
    if (!(sc.seconds > 0) || !std::isfinite(sc.seconds)) sc.seconds = 1;
    sc.bps = sc.bps > 0 && std::isfinite(sc.bps) ? sc.bps * kHeadroom : 1e6;
    if (sc.maxRise > 0 && std::isfinite(sc.maxRise))
        sc.pxPerSecondOfDelay = kDelayShare * (kBottom - kTop) / sc.maxRise;
    else
        sc.maxRise = 0;
    return sc;
}

void addHeading(std::string& out, const avl_result& r, const std::string& host) {
    const std::string address(r.address, strnlen(r.address, sizeof r.address));
    add(out, "<text x=\"%g\" y=\"30\" font-size=\"18\" font-weight=\"bold\">Available bandwidth to %s</text>\n",
        kLeft, escaped(host == address ? host : host + " (" + address + ")").c_str());
    std::string summary;
    if (hasEstimate(r))
        summary = formatRate(r.available_bps) + ", range " + formatRange(r.low_bps, r.high_bps) + " (90 % sure)";
    else
        summary = "no estimate: " + noEstimateReason(r);
    if (r.capacity_bps > 0) summary += "; capacity " + formatRate(r.capacity_bps);
    add(out, "<text x=\"%g\" y=\"54\" font-size=\"13\">%s; %s of probes in %.2f s</text>\n", kLeft,
        escaped(summary).c_str(), formatBytes(r.probe_bytes).c_str(), r.duration_s);
    add(out, "<text x=\"%g\" y=\"70\" font-size=\"11\" fill=\"#555\">rates are IP bits per second, headers "
        "included</text>\n", kLeft);
}

void addAxes(std::string& out, const Scale& sc) {
    const RateUnit unit = rateUnit(sc.bps / kHeadroom);
    const double rateStep = niceStep(sc.bps / unit.scale, 6);
    out += "<g font-size=\"11\" fill=\"#444\">\n";
    for (double v = 0; v * unit.scale <= sc.bps; v += rateStep) {
        const double y = sc.y(v * unit.scale);
        add(out, "<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\" stroke=\"#e4e4e4\"/>\n", kLeft, y, kRight, y);
        add(out, "<text x=\"%g\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n", kLeft - 6, y + 4,
            decimalsFor(rateStep), v);
    }
    const double timeStep = niceStep(sc.seconds, 8);
    for (double t = 0; t <= sc.seconds * (1 + 1e-9); t += timeStep) {
        const double x = sc.x(t);
        add(out, "<line x1=\"%.1f\" y1=\"%g\" x2=\"%.1f\" y2=\"%g\" stroke=\"#e4e4e4\"/>\n", x, kTop, x, kBottom);
        add(out, "<text x=\"%.1f\" y=\"%g\" text-anchor=\"middle\">%.*f</text>\n", x, kBottom + 16,
            decimalsFor(timeStep), t);
    }
    out += "</g>\n";
    add(out, "<rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\" fill=\"none\" stroke=\"#999\"/>\n", kLeft, kTop,
        kRight - kLeft, kBottom - kTop);
    add(out, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\">time since the start of the measurement (s)</text>\n",
        (kLeft + kRight) / 2, kBottom + 38);
    add(out,
        "<text transform=\"translate(%g %g) rotate(-90)\" text-anchor=\"middle\">sending rate (%s, IP bits per "
        "second)</text>\n",
        kLeft - 58, (kTop + kBottom) / 2, unit.name);
}

// Where the streams are drawn: their curves, crosses and marks.
std::vector<Box> streamBoxes(const avl_result& r, const Scale& sc) {
    std::vector<Box> boxes;
    for (int i = 0; i < r.nstreams; ++i) {
        const avl_stream& s = r.streams[i];
        if (s.packets <= 0) continue;
        const double left = sc.x(s.start_s), right = sc.x(s.start_s + s.depart_s[s.packets - 1]);
        if (s.kind == AVL_KIND_CAPACITY) {
            const double y = sc.y(r.capacity_bps > 0 ? r.capacity_bps : sc.bps / kHeadroom);
            boxes.push_back({left - 6, y - 6, left + 6, y + 6});
            continue;
        }
        if (s.kind == AVL_KIND_PROBE) {
            boxes.push_back({left - 2, kBottom - 9, left + 2, kBottom});
            continue;
        }
        const double base = sc.y(s.rate_bps), least = smallestDelay(s);
        double rise = 0;
        for (int k = 0; k < s.packets && least >= 0; ++k) rise = std::max(rise, s.delay_s[k] - least);
        boxes.push_back({left - 4, base - rise * sc.pxPerSecondOfDelay - 2, right + 4, base + 4});
    }
    return boxes;
}

// A label of chars characters for a line at height y: the place nearest the
// right end of the panel (or the left, with fromLeft), above the line or
// below it, where it meets neither a curve nor a label placed before.
// Returns the text's anchor (its left end) and baseline, and adds its box.
std::pair<double, double> placeLabel(size_t chars, double y, bool fromLeft, std::vector<Box>& taken) {
    const double width = chars * kCharWidth;
    const double step = 16;
    for (double shift = 0; shift <= kRight - kLeft - width - 8; shift += step) {
        const double x = fromLeft ? kLeft + 6 + shift : kRight - 6 - width - shift;
        for (const double baseline : {y - 4, y + 13}) {
            const Box box{x - 2, baseline - 11, x + width + 2, baseline + 3};
            if (box.top < kTop || box.bottom > kBottom) continue;
            if (std::none_of(taken.begin(), taken.end(), [&](const Box& b) { return b.meets(box); })) {
                taken.push_back(box);
                return {x, baseline};
            }
        }
    }
    // Nowhere free: at the end of the line, above it.
    const double x = fromLeft ? kLeft + 6 : kRight - 6 - width;
    taken.push_back({x - 2, y - 15, x + width + 2, y - 1});
    return {x, y - 4};
}

// The reported range as a band, the estimate and the capacity as lines, each
// labelled where no curve runs.
void addFigures(std::string& out, const avl_result& r, const Scale& sc) {
    std::vector<Box> taken = streamBoxes(r, sc);
    if (hasEstimate(r)) {
        const double top = sc.y(r.high_bps), bottom = sc.y(r.low_bps);
        add(out,
            "<rect x=\"%g\" y=\"%.1f\" width=\"%g\" height=\"%.1f\" fill=\"#f2c94c\" fill-opacity=\"0.45\">"
            "<title>reported range %s</title></rect>\n",
            kLeft, top, kRight - kLeft, std::max(1.0, bottom - top), formatRange(r.low_bps, r.high_bps).c_str());
        const double y = sc.y(r.available_bps);
        add(out, "<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\" stroke=\"#222\" stroke-width=\"1.5\"/>\n", kLeft,
            y, kRight, y);
        const std::string label = "estimate " + formatRate(r.available_bps);
        const auto [lx, ly] = placeLabel(label.size(), y, false, taken);
        add(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" %s>%s</text>\n", lx, ly, kHalo, label.c_str());
    }
    if (r.capacity_bps > 0) {
        const double y = sc.y(r.capacity_bps);
        add(out,
            "<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\" stroke=\"#666\" stroke-dasharray=\"6 4\"/>\n", kLeft,
            y, kRight, y);
        // From the left end, away from the estimate's label at the right.
        const std::string label = "capacity " + formatRate(r.capacity_bps);
        const auto [lx, ly] = placeLabel(label.size(), y, true, taken);
        add(out, "<text x=\"%.1f\" y=\"%.1f\" font-size=\"11\" fill=\"#555\" %s>%s</text>\n", lx, ly, kHalo,
            label.c_str());
    }
}

void addStream(std::string& out, const avl_stream& s, double capacity, const Scale& sc) {
    if (s.packets <= 0) return;
    if (s.kind == AVL_KIND_CAPACITY) {
        // Back to back: no rate of its own; a mark where it read the capacity.
        const double x = sc.x(s.start_s), y = sc.y(capacity > 0 ? capacity : sc.bps / kHeadroom);
        add(out,
            "<path d=\"M%.1f %.1f l5 5 l-5 5 l-5 -5 z\" fill=\"#444\"><title>capacity train: %d packets of %d "
            "bytes back to back, %d lost</title></path>\n",
            x, y - 5, s.packets, s.packet_bytes, s.lost);
        return;
    }
    if (s.kind == AVL_KIND_PROBE) {
        // Small packets that checked the path: a tick on the time axis.
        const double x = sc.x(s.start_s);
        add(out,
            "<path d=\"M%.1f %g v-8\" stroke=\"#888\" stroke-width=\"2\"><title>check of the path: %d packets of %d "
            "bytes, %d lost</title></path>\n",
            x, kBottom, s.packets, s.packet_bytes, s.lost);
        return;
    }
    const char* colour = colourOf(s.verdict);
    const double base = sc.y(s.rate_bps), least = smallestDelay(s);
    add(out, "<g stroke=\"%s\" fill=\"none\"%s><title>%s%s, %s, %d packets, %d lost%s</title>\n", colour,
        s.void_stream ? " stroke-dasharray=\"3 2\"" : "", s.kind == AVL_KIND_GUESS ? "first guess at " : "",
        formatRate(s.rate_bps).c_str(), verdictName(s.verdict), s.packets, s.lost,
        s.void_stream ? ", sender fell behind: not counted" : "");
    add(out, "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke-opacity=\"0.35\"/>\n", sc.x(s.start_s), base,
        sc.x(s.start_s + s.depart_s[s.packets - 1]), base);
    std::string points;
    int received = 0;
    double x = 0, y = 0;
    for (int i = 0; i < s.packets; ++i) {
        x = sc.x(s.start_s + s.depart_s[i]);
        if (s.delay_s[i] < 0) {
            add(out, "<path d=\"M%.1f %.1f l6 6 m0 -6 l-6 6\" stroke-width=\"1.2\"/>\n", x - 3, base - 3);
            continue;
        }
        y = base - (s.delay_s[i] - least) * sc.pxPerSecondOfDelay;
        add(points, "%s%.1f,%.1f", received++ ? " " : "", x, y);
    }
    if (received == 1) add(out, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"1.5\" fill=\"%s\"/>\n", x, y, colour);
    if (received > 1) add(out, "<polyline points=\"%s\" stroke-width=\"1.6\"/>\n", points.c_str());
    out += "</g>\n";
}

// Each round's range as a bar beside the panel, on the panel's rate scale
// (marked on its right); a round a budget cut short is drawn hollow and
// dashed: its range never narrowed to the resolution.
void addRounds(std::string& out, const avl_result& r, const Scale& sc) {
    add(out, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\" font-size=\"11\">rounds</text>\n",
        kRoundsLeft + kRoundsWidth / 2, kTop - 8);
    const RateUnit unit = rateUnit(sc.bps / kHeadroom);
    const double rateStep = niceStep(sc.bps / unit.scale, 6);
    const double axis = kRoundsLeft + kRoundsWidth + 2;
    add(out, "<g font-size=\"9\" fill=\"#444\"><line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#999\"/>\n", axis,
        kTop, axis, kBottom);
    for (double v = 0; v * unit.scale <= sc.bps; v += rateStep) {
        const double y = sc.y(v * unit.scale);
        add(out, "<line x1=\"%g\" y1=\"%.1f\" x2=\"%g\" y2=\"%.1f\" stroke=\"#999\"/>\n", axis, y, axis + 3, y);
        add(out, "<text x=\"%g\" y=\"%.1f\">%.*f</text>\n", axis + 5, y + 3, decimalsFor(rateStep), v);
    }
    out += "</g>\n";
    if (r.nrounds <= 0) return;
    const double step = std::min(8.0, kRoundsWidth / r.nrounds);
    for (int i = 0; i < r.nrounds; ++i) {
        const avl_round& q = r.round_ranges[i];
        const double x = kRoundsLeft + (i + 0.5) * step;
        const double top = std::clamp(sc.y(q.high_bps), kTop, kBottom);
        const double bottom = std::max(std::clamp(sc.y(q.low_bps), kTop, kBottom), top + 2);
        const double width = std::max(1.0, step - 2);
        if (q.complete)
            add(out,
                "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#444\"><title>round %d: %s"
                "</title></rect>\n",
                x - width / 2, top, width, bottom - top, i + 1, formatRange(q.low_bps, q.high_bps).c_str());
        else
            add(out,
                "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"white\" stroke=\"#888\" "
                "stroke-dasharray=\"2 2\"><title>round %d: %s, cut short by a budget</title></rect>\n",
                x - width / 2, top, width, bottom - top, i + 1, formatRange(q.low_bps, q.high_bps).c_str());
    }
}

void addLegend(std::string& out, const Scale& sc) {
    double y = kTop + 4;
    out += "<g font-size=\"12\">\n";
    for (const int verdict : {AVL_RISING, AVL_FLAT, AVL_UNCLEAR}) {
        add(out, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"%s\" stroke-width=\"3\"/>\n", kLegendLeft, y,
            kLegendLeft + 22, y, colourOf(verdict));
        add(out, "<text x=\"%g\" y=\"%g\">%s stream</text>\n", kLegendLeft + 28, y + 4, verdictName(verdict));
        y += 20;
    }
    add(out, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#8a8a8a\" stroke-dasharray=\"3 2\"/>\n",
        kLegendLeft, y, kLegendLeft + 22, y);
    add(out, "<text x=\"%g\" y=\"%g\">not counted</text>\n", kLegendLeft + 28, y + 4);
    add(out, "<text x=\"%g\" y=\"%g\" font-size=\"10\" fill=\"#555\">(sender fell behind)</text>\n",
        kLegendLeft + 28, y + 17);
    y += 36;
    add(out, "<path d=\"M%g %g l6 6 m0 -6 l-6 6\" stroke=\"#444\" stroke-width=\"1.2\"/>\n", kLegendLeft + 8, y - 3);
    add(out, "<text x=\"%g\" y=\"%g\">lost packet</text>\n", kLegendLeft + 28, y + 4);
    y += 20;
    add(out, "<path d=\"M%g %g l5 5 l-5 5 l-5 -5 z\" fill=\"#444\"/>\n", kLegendLeft + 11, y - 5);
    add(out, "<text x=\"%g\" y=\"%g\">capacity train</text>\n", kLegendLeft + 28, y + 4);
    y += 24;
    add(out, "<rect x=\"%g\" y=\"%g\" width=\"22\" height=\"12\" fill=\"#f2c94c\" fill-opacity=\"0.45\"/>\n",
        kLegendLeft, y - 6);
    add(out, "<text x=\"%g\" y=\"%g\">reported range</text>\n", kLegendLeft + 28, y + 4);
    y += 20;
    add(out, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#222\" stroke-width=\"1.5\"/>\n", kLegendLeft, y,
        kLegendLeft + 22, y);
    add(out, "<text x=\"%g\" y=\"%g\">estimate</text>\n", kLegendLeft + 28, y + 4);
    y += 20;
    add(out, "<line x1=\"%g\" y1=\"%g\" x2=\"%g\" y2=\"%g\" stroke=\"#666\" stroke-dasharray=\"6 4\"/>\n", kLegendLeft,
        y, kLegendLeft + 22, y);
    add(out, "<text x=\"%g\" y=\"%g\">capacity</text>\n", kLegendLeft + 28, y + 4);
    y += 20;
    add(out, "<rect x=\"%g\" y=\"%g\" width=\"6\" height=\"14\" fill=\"#444\"/>\n", kLegendLeft + 8, y - 7);
    add(out, "<text x=\"%g\" y=\"%g\">round's range</text>\n", kLegendLeft + 28, y + 4);
    y += 20;
    add(out,
        "<rect x=\"%g\" y=\"%g\" width=\"6\" height=\"14\" fill=\"white\" stroke=\"#888\" "
        "stroke-dasharray=\"2 2\"/>\n",
        kLegendLeft + 8, y - 7);
    add(out, "<text x=\"%g\" y=\"%g\">round cut short</text>\n", kLegendLeft + 28, y + 4);
    add(out, "<text x=\"%g\" y=\"%g\" font-size=\"10\" fill=\"#555\">(a budget ended it)</text>\n",
        kLegendLeft + 28, y + 17);
    y += 40;
    if (sc.maxRise > 0) {
        // A bar of the same length in every picture; its label says how
        // much delay lifts a curve that far in this one.
        add(out, "<path d=\"M%g %g h8 m-4 0 v%g m-4 0 h8\" stroke=\"#222\" fill=\"none\"/>\n", kLegendLeft + 7, y,
            kDelayBar);
        add(out, "<text x=\"%g\" y=\"%.1f\">%s of delay</text>\n", kLegendLeft + 28, y + kDelayBar / 2 + 4,
            formatDelay(kDelayBar / sc.pxPerSecondOfDelay).c_str());
        y += kDelayBar + 14;
    }
    add(out, "<text x=\"%g\" y=\"%g\" font-size=\"10\" fill=\"#555\">curves: delay above the</text>\n", kLegendLeft,
        y + 4);
    add(out, "<text x=\"%g\" y=\"%g\" font-size=\"10\" fill=\"#555\">stream's smallest, drawn</text>\n", kLegendLeft,
        y + 17);
    add(out, "<text x=\"%g\" y=\"%g\" font-size=\"10\" fill=\"#555\">from its sending rate up</text>\n", kLegendLeft,
        y + 30);
    out += "</g>\n";
}

}  // namespace

std::string plotSvg(const avl_result& r, const std::string& host) {
    const Scale sc = scaleFor(r);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    add(out,
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\" height=\"%g\" viewBox=\"0 0 %g %g\" "
        "font-family=\"sans-serif\" font-size=\"13\">\n",
        kWidth, kHeight, kWidth, kHeight);
    add(out, "<title>availbw: %s</title>\n", escaped(host).c_str());
    add(out, "<defs><clipPath id=\"panel\"><rect x=\"%g\" y=\"%g\" width=\"%g\" height=\"%g\"/></clipPath></defs>\n",
        kLeft, kTop, kRight - kLeft, kBottom - kTop);
    add(out, "<rect width=\"%g\" height=\"%g\" fill=\"white\"/>\n", kWidth, kHeight);
    addHeading(out, r, host);
    addAxes(out, sc);
    out += "<g clip-path=\"url(#panel)\">\n";
    addFigures(out, r, sc);
    for (int i = 0; i < r.nstreams; ++i) addStream(out, r.streams[i], r.capacity_bps, sc);
    out += "</g>\n";
    if (r.nstreams == 0)
        add(out, "<text x=\"%g\" y=\"%g\" text-anchor=\"middle\" fill=\"#555\">no stream was sent</text>\n",
            (kLeft + kRight) / 2, (kTop + kBottom) / 2);
    addRounds(out, r, sc);
    addLegend(out, sc);
    out += "</svg>\n";
    return out;
}

}  // namespace availbw
