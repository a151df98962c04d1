// SPDX-License-Identifier: MIT
// lines.cpp - what a watch prints: a text line or a JSON object for the start,
// each measurement, each change and the end.
#include <cmath>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "report.h"
#include "watch.h"

namespace watch {

namespace {

using Json = nlohmann::ordered_json;

std::string printed(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// "every 10 s", "every 0.25 s".
std::string every(double seconds) { return "every " + printed("%g", seconds) + " s"; }

// Whole bits per second, or null.
Json bps(double v, bool present) { return present && std::isfinite(v) ? Json(std::llround(v)) : Json(nullptr); }

// Seconds since 1970 to the millisecond.
double unixSeconds(int64_t unixMs) { return static_cast<double>(unixMs) / 1e3; }

// One object on one line; bytes that are not UTF-8 (names, reasons) replaced.
std::string line(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n"; }

const char* budgetName(int budget) {
    return budget == AVL_BUDGET_BYTES ? "bytes" : budget == AVL_BUDGET_TIME ? "time" : nullptr;
}

}  // namespace

std::string textStart(const Start& s) {
    const std::string target = s.host == s.address || s.address.empty() ? s.host : s.host + " (" + s.address + ")";
    std::string out = "watching " + target + " " + every(s.intervalS);
    out += s.count > 0 ? ", " + std::to_string(s.count) + " measurements\n" : ", until interrupted\n";
    if (s.firstBytes <= 0) return out;  // none was made
    out += "the first measurement cost " + availbw::formatBytes(s.firstBytes) + " of probes";
    if (s.budgetBytes > 0) out += " (at most " + availbw::formatBytes(s.budgetBytes) + " each)";
    out += ": about " + availbw::formatRate(static_cast<double>(s.firstBytes) * 8 / s.intervalS) + " on average";
    if (s.capacityBps > 0)
        out += ", " + printed("%.2g", static_cast<double>(s.firstBytes) * 8 / s.intervalS / s.capacityBps * 100) +
               " % of the capacity";
    return out + "\n";
}

std::string textSample(const Sample& s) {
    std::string out = formatTime(s.unixMs) + "  ";
    if (s.answered) {
        out += availbw::formatRate(s.estimateBps) + "  (" + availbw::formatRange(s.lowBps, s.highBps) + ")";
        out += s.elastic == AVL_ELASTIC_YES ? "  elastic" : s.elastic == AVL_ELASTIC_NO ? "  not elastic" : "";
    } else {
        out += "no estimate: " + s.reason;
    }
    return out + "  " + availbw::formatBytes(s.probeBytes) + "\n";
}

std::string textChange(const Change& c, const std::vector<Sample>& samples) {
    return formatTime(samples[c.reported].unixMs) + "  change: " + availbw::formatRate(c.fromBps) + " -> " +
           availbw::formatRate(c.toBps) + " since " + formatTime(samples[c.first].unixMs) + "\n";
}

std::string textSummary(const Summary& s, const std::string& host) {
    std::string out = "--- " + host + " watch ---\n";
    out += std::to_string(s.made) + " measurements, " + std::to_string(s.answered) + " answered, " +
           std::to_string(s.changes) + (s.changes == 1 ? " change" : " changes") + " found\n";
    if (s.answered > 0)
        out += "free median " + availbw::formatRate(s.medianBps) + ", 10-90 % " +
               availbw::formatRange(s.p10Bps, s.p90Bps) + ", lowest " + availbw::formatRate(s.lowestBps) +
               ", highest " + availbw::formatRate(s.highestBps) + "\n";
    out += "probes " + availbw::formatBytes(s.probeBytes) + " in " + printed("%.1f s", s.elapsedS) + ", " +
           availbw::formatRate(s.loadBps) + " on average\n";
    return out;
}

std::string startJson(const Start& s) {
    Json j;
    j["type"] = "start";
    j["schema"] = 1;
    j["host"] = s.host;
    j["address"] = s.address.empty() ? Json(nullptr) : Json(s.address);  // empty: ended before it resolved
    j["interval_s"] = s.intervalS;
    j["count"] = s.count > 0 ? Json(s.count) : Json(nullptr);
    j["version"] = s.version;
    j["time"] = formatTime(s.unixMs);
    j["unix_s"] = unixSeconds(s.unixMs);
    j["first_probe_bytes"] = s.firstBytes;
    j["load_bps"] = std::llround(static_cast<double>(s.firstBytes) * 8 / s.intervalS);
    const bool budget = s.budgetBytes > 0;
    j["budget_bytes"] = budget ? Json(s.budgetBytes) : Json(nullptr);
    j["budget_load_bps"] = budget ? Json(std::llround(static_cast<double>(s.budgetBytes) * 8 / s.intervalS)) : Json(nullptr);
    j["capacity_bps"] = bps(s.capacityBps, s.capacityBps > 0);
    return line(j);
}

std::string sampleJson(const std::string& runJson, const avl_result& r, const Sample& s, bool withStreams) {
    Json run = Json::parse(runJson, nullptr, false);
    Json j;
    j["type"] = "sample";
    j["time"] = formatTime(s.unixMs);
    j["unix_s"] = unixSeconds(s.unixMs);
    if (run.is_object())
        for (auto& [key, value] : run.items())
            if (key != "type" && key != "time" && key != "unix_s" && (withStreams || key != "streams"))
                j[key] = value;
    // Keys every sample has, whether or not the single run's object gives them
    // (it has none when the measurement failed before its probes).
    if (!j.contains("reason")) j["reason"] = s.answered ? Json(nullptr) : Json(s.reason);
    if (!j.contains("failure"))
        j["failure"] = r.failure == AVL_FAIL_NONE ? Json(nullptr) : Json(avl_failure_name(r.failure));
    if (!j.contains("budget_reached"))
        j["budget_reached"] = budgetName(r.budget_reached) ? Json(budgetName(r.budget_reached)) : Json(nullptr);
    if (!j.contains("elastic"))
        j["elastic"] = r.elastic == AVL_ELASTIC_UNKNOWN ? Json(nullptr) : Json(r.elastic == AVL_ELASTIC_YES);
    return line(j);
}

std::string changeJson(const Change& c, const std::vector<Sample>& samples) {
    Json j;
    j["type"] = "change";
    j["time"] = formatTime(samples[c.first].unixMs);
    j["unix_s"] = unixSeconds(samples[c.first].unixMs);
    j["from_bps"] = std::llround(c.fromBps);
    j["to_bps"] = std::llround(c.toBps);
    j["first_sample"] = c.first + 1;
    j["reported_sample"] = c.reported + 1;
    j["reported_time"] = formatTime(samples[c.reported].unixMs);
    return line(j);
}

std::string endJson(const Summary& s, int64_t unixMs, const char* ended) {
    Json j;
    j["type"] = "end";
    j["time"] = formatTime(unixMs);
    j["unix_s"] = unixSeconds(unixMs);
    j["ended"] = ended;
    j["made"] = s.made;
    j["answered"] = s.answered;
    const bool any = s.answered > 0;
    j["median_bps"] = bps(s.medianBps, any);
    j["p10_bps"] = bps(s.p10Bps, any);
    j["p90_bps"] = bps(s.p90Bps, any);
    j["lowest_bps"] = bps(s.lowestBps, any);
    j["highest_bps"] = bps(s.highestBps, any);
    j["changes"] = s.changes;
    j["probe_bytes"] = s.probeBytes;
    j["elapsed_s"] = std::round(s.elapsedS * 1e3) / 1e3;
    j["load_bps"] = std::llround(s.loadBps);
    return line(j);
}

}  // namespace watch
