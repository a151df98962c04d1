// SPDX-License-Identifier: MIT
// report.cpp - the hop-by-hop result as text, as JSON and as an SVG picture.
// Pure functions of a result.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "hops.h"

namespace hops {

namespace {

std::string format(const char* fmt, double a) {
    char text[64];
    std::snprintf(text, sizeof text, fmt, a);
    return text;
}

std::string mbit(double bps) {
    const double m = bps / 1e6;
    return format(m < 10 ? "%.2f" : m < 100 ? "%.1f" : "%.0f", m);
}

std::string hopName(const Result& r, int hop) {
    if (hop == 0) return "hop 0 (this host)";
    std::string address;
    if (hop >= 1 && hop <= static_cast<int>(r.hops.size())) address = r.hops[hop - 1].address;
    return "hop " + std::to_string(hop) + " (" + (address.empty() ? "*" : address) + ")";
}

// Text safe inside an SVG element.
std::string xmlText(const std::string& in) {
    std::string out;
    for (char c : in) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else if (c == '"') out += "&quot;";
        else if (static_cast<unsigned char>(c) >= 0x20) out += c;
    }
    return out;
}

std::string bytesText(int64_t b) {
    if (b >= 1000000) return format("%.2f MB", b / 1e6);
    return format("%.1f kB", b / 1e3);
}

}  // namespace

std::string answerLine(const Result& r) {
    const Decision& d = r.decision;
    if (!d.link.named()) return "tight link: none: " + d.reason;
    return "tight link: " + hopName(r, d.link.from) + " to " + hopName(r, d.link.to) + ", " +
           std::to_string(d.agree) + " of " + std::to_string(d.trains) + " trains";
}

std::string textReport(const Result& r) {
    std::string out = "hops to " + r.host + " (" + r.address + "), IPv" + std::to_string(r.family) + ", " +
                      (r.datagram ? "datagram socket" : "raw socket") + ", trains " + format("%g", r.spacingS) +
                      " s apart\n";
    out += "hop  address                                  rtt ms  replies";
    if (!r.ratesBps.empty()) {
        out += "  ms long on arrival at";
        for (double rate : r.ratesBps) out.append(" ").append(mbit(rate));
        out += " Mbit/s";
    }
    out += "\n";
    auto lengths = [&](const std::vector<double>& ms) {
        std::string s;
        for (size_t i = 0; i < r.ratesBps.size(); ++i)
            s += i < ms.size() && ms[i] >= 0 ? format(" %6.2f", ms[i]) : std::string("      -");
        return s;
    };
    char line[160];
    std::snprintf(line, sizeof line, "%3d  %-39s %7s  %7s", 0, "(this host, as sent)", "", "");
    out += std::string(line) + (r.ratesBps.empty() ? "" : "  ") + lengths(r.sentMs) + "\n";
    for (const Hop& h : r.hops) {
        const std::string rtt = h.rttMs >= 0 ? format("%.2f", h.rttMs) : "";
        const std::string replies = std::to_string(h.replies) + "/" + std::to_string(h.expected);
        std::snprintf(line, sizeof line, "%3d  %-39s %7s  %7s", h.hop, h.address.empty() ? "*" : h.address.c_str(),
                      rtt.c_str(), replies.c_str());
        out += std::string(line) + (r.ratesBps.empty() ? "" : "  ") + lengths(h.lengthMs) + "\n";
    }
    out += answerLine(r);
    if (r.found()) out += " at " + mbit(r.decision.rateBps) + " Mbit/s";
    out += "\n";
    if (r.found()) {
        if (r.decision.clearBps > 0)
            out += "its free rate: between " + mbit(r.decision.clearBps) + " and " + mbit(r.decision.rateBps) +
                   " Mbit/s\n";
        else
            out += "its free rate: below " + mbit(r.decision.rateBps) + " Mbit/s\n";
    }
    for (const std::string& note : r.notes) out += "note: " + note + "\n";
    out += "probes: " + bytesText(r.probeBytes) + " in " + format("%.1f", r.durationS) + " s, " +
           std::to_string(r.trains) + " trains\n";
    return out;
}

std::string jsonReport(const Result& r) {
    using nlohmann::json;
    json hops = json::array();
    for (const Hop& h : r.hops) {
        json lengths = json::array();
        for (size_t i = 0; i < r.ratesBps.size(); ++i)
            lengths.push_back(i < h.lengthMs.size() && h.lengthMs[i] >= 0 ? json(h.lengthMs[i]) : json(nullptr));
        hops.push_back({{"hop", h.hop},
                        {"address", h.address.empty() ? json(nullptr) : json(h.address)},
                        {"rtt_ms", h.rttMs >= 0 ? json(h.rttMs) : json(nullptr)},
                        {"replies", h.replies},
                        {"expected", h.expected},
                        {"head_only", h.headOnly},
                        {"arrival_ms", lengths}});
    }
    json link = nullptr;
    const Decision& d = r.decision;
    if (d.link.named()) {
        auto address = [&](int hop) {
            if (hop < 1 || hop > static_cast<int>(r.hops.size()) || r.hops[hop - 1].address.empty())
                return json(nullptr);
            return json(r.hops[hop - 1].address);
        };
        link = {{"from_hop", d.link.from}, {"to_hop", d.link.to},    {"from", address(d.link.from)},
                {"to", address(d.link.to)},  {"agree", d.agree},       {"trains", d.trains},
                {"rate_bps", d.rateBps},     {"free_above_bps", d.clearBps > 0 ? json(d.clearBps) : json(nullptr)}};
    }
    json sent = json::array();
    for (double ms : r.sentMs) sent.push_back(ms >= 0 ? json(ms) : json(nullptr));
    json j = {{"host", r.host},
              {"address", r.address},
              {"family", r.family},
              {"socket", r.datagram ? "datagram" : "raw"},
              {"hops", hops},
              {"sent_ms", sent},
              {"tight_link", link},
              {"rates_bps", r.ratesBps},
              {"capacity_bps", r.capacityBps > 0 ? json(r.capacityBps) : json(nullptr)},
              {"trains", r.trains},
              {"spacing_s", r.spacingS},
              {"probe_bytes", r.probeBytes},
              {"duration_s", r.durationS},
              {"notes", r.notes},
              {"reason", r.found() ? json(nullptr) : json(d.reason)}};
    return j.dump(2);
}

std::string plotSvg(const Result& r) {
    constexpr double W = 640, H = 400, left = 60, right = 150, top = 30, bottom = 50;
    const int hopsShown = static_cast<int>(r.hops.size());
    double most = 0;
    for (double ms : r.sentMs) most = std::max(most, ms);
    for (const Hop& h : r.hops)
        for (double ms : h.lengthMs) most = std::max(most, ms);
    if (most <= 0) most = 1;
    auto x = [&](int hop) { return left + (W - left - right) * (hopsShown > 0 ? double(hop) / hopsShown : 0); };
    auto y = [&](double ms) { return H - bottom - (H - top - bottom) * ms / (most * 1.1); };
    static const char* const colours[] = {"#1b9e77", "#d95f02", "#7570b3", "#e7298a", "#66a61e", "#e6ab02"};
    std::string s = format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%g\"", W) + format(" height=\"%g\"", H) +
                    " font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    s += "<text x=\"" + format("%g", left) + "\" y=\"18\">train length on arrival, hops to " + xmlText(r.host) + "</text>\n";
    s += "<line x1=\"" + format("%g", left) + "\" y1=\"" + format("%g", H - bottom) + "\" x2=\"" +
         format("%g", W - right) + "\" y2=\"" + format("%g", H - bottom) + "\" stroke=\"black\"/>\n";
    s += "<line x1=\"" + format("%g", left) + "\" y1=\"" + format("%g", top) + "\" x2=\"" + format("%g", left) +
         "\" y2=\"" + format("%g", H - bottom) + "\" stroke=\"black\"/>\n";
    for (int h = 0; h <= hopsShown; ++h)
        s += "<text x=\"" + format("%g", x(h)) + "\" y=\"" + format("%g", H - bottom + 16) +
             "\" text-anchor=\"middle\">" + std::to_string(h) + "</text>\n";
    s += "<text x=\"" + format("%g", (left + W - right) / 2) + "\" y=\"" + format("%g", H - 12) +
         "\" text-anchor=\"middle\">hop</text>\n";
    for (int k = 0; k <= 4; ++k) {
        const double ms = most * 1.1 * k / 4;
        s += "<text x=\"" + format("%g", left - 6) + "\" y=\"" + format("%g", y(ms) + 4) +
             "\" text-anchor=\"end\">" + format("%.2g", ms) + "</text>\n";
    }
    s += "<text x=\"14\" y=\"" + format("%g", (top + H - bottom) / 2) + "\" transform=\"rotate(-90 14 " +
         format("%g", (top + H - bottom) / 2) + ")\" text-anchor=\"middle\">ms</text>\n";
    if (r.found()) {
        const Span& l = r.decision.link;
        s += "<rect x=\"" + format("%g", x(l.from)) + "\" y=\"" + format("%g", top) + "\" width=\"" +
             format("%g", x(l.to) - x(l.from)) + "\" height=\"" + format("%g", H - top - bottom) +
             "\" fill=\"#fdd\" opacity=\"0.6\"/>\n";
    }
    for (size_t i = 0; i < r.ratesBps.size(); ++i) {
        const char* colour = colours[i % (sizeof colours / sizeof *colours)];
        std::string points;
        if (i < r.sentMs.size() && r.sentMs[i] >= 0) points += format("%.1f,", x(0)) + format("%.1f ", y(r.sentMs[i]));
        for (const Hop& h : r.hops)
            if (i < h.lengthMs.size() && h.lengthMs[i] >= 0)
                points += format("%.1f,", x(h.hop)) + format("%.1f ", y(h.lengthMs[i]));
        s += "<polyline fill=\"none\" stroke=\"" + std::string(colour) + "\" stroke-width=\"2\" points=\"" + points +
             "\"/>\n";
        s += "<text x=\"" + format("%g", W - right + 10) + "\" y=\"" + format("%g", top + 16.0 * (i + 1)) +
             "\" fill=\"" + colour + "\">" + mbit(r.ratesBps[i]) + " Mbit/s</text>\n";
    }
    s += "</svg>\n";
    return s;
}

}  // namespace hops
