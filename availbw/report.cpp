// SPDX-License-Identifier: MIT
// report.cpp - the text report and the JSON object of availbw.
#include "report.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

namespace availbw {

namespace {

// Three significant digits for values from 1 to 999, two decimals below.
std::string threeDigits(double v) {
    const double a = std::fabs(v);
    const int decimals = a >= 99.95 ? 0 : a >= 9.995 ? 1 : 2;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string printed(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// One report line: the label in a column of its own, then the value.
std::string line(const char* label, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof head, "%-22s", label);
    return head + value + "\n";
}

// A figure for the JSON object: whole bits per second, or null.
nlohmann::ordered_json bpsOrNull(double bps, bool present) {
    if (!present || !std::isfinite(bps)) return nullptr;
    return std::llround(bps);
}

// Seconds to the microsecond, which is what the clock gives.
double microseconds(double s) { return std::isfinite(s) ? std::round(s * 1e6) / 1e6 : 0; }

}  // namespace

RateUnit rateUnit(double bps) {
    static const RateUnit units[] = {{1e9, "Gbit/s"}, {1e6, "Mbit/s"}, {1e3, "kbit/s"}, {1, "bit/s"}};
    for (const RateUnit& u : units)
        if (std::fabs(bps) >= u.scale * 0.9995) return u;
    return units[3];
}

const char* verdictName(int verdict) {
    switch (verdict) {
        case AVL_RISING: return "rising";
        case AVL_FLAT: return "flat";
        default: return "unclear";
    }
}

bool hasEstimate(const avl_result& r) {
    return std::isfinite(r.available_bps) && r.available_bps > 0 && r.support > 0;
}

std::string formatRate(double bps) {
    const RateUnit u = rateUnit(bps);
    return threeDigits(bps / u.scale) + " " + u.name;
}

std::string formatRange(double lowBps, double highBps) {
    const RateUnit u = rateUnit(highBps);
    return threeDigits(lowBps / u.scale) + " - " + threeDigits(highBps / u.scale) + " " + u.name;
}

std::string formatBytes(int64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    if (bytes < 100000) return printed("%.1f kB", bytes / 1e3);
    return printed("%.2f MB", bytes / 1e6);
}

std::string formatSupport(int support, int rounds) {
    if (rounds == 1) return "1 round";
    if (support == 1) return "1 of " + std::to_string(rounds) + " rounds";
    return std::to_string(support) + " of " + std::to_string(rounds) + " rounds agree";
}

std::string noEstimateReason(const avl_result& r) {
    if (r.reason[0] != '\0') return std::string(r.reason, strnlen(r.reason, sizeof r.reason));
    return "the rounds found no common range";
}

std::string textReport(const avl_result& r, const std::string& host) {
    const std::string address(r.address, strnlen(r.address, sizeof r.address));
    std::string out = line("host", host == address ? host : host + " (" + address + ")");
    const bool estimate = hasEstimate(r);
    if (estimate)
        out += line("available bandwidth", formatRate(r.available_bps) + "  (range " +
                                               formatRange(r.low_bps, r.high_bps) + ", " +
                                               formatSupport(r.support, r.rounds) + ")");
    else
        out += line("available bandwidth", "none: " + noEstimateReason(r));
    if (r.capacity_bps > 0)
        out += line("capacity",
                    formatRate(r.capacity_bps) + "  (dispersion of a back-to-back train, for reference)");
    out += line("probe traffic",
                formatBytes(r.probe_bytes) + " sent and received in " + printed("%.2f s", r.duration_s));
    if (r.packet_bytes > 0) out += line("packets", std::to_string(r.packet_bytes) + " bytes each (IP) in the search");
    if (estimate && r.timescale_s > 0) {
        const std::string scale = r.timescale_s < 1 ? printed("%.3g ms", r.timescale_s * 1e3)
                                                    : printed("%.3g s", r.timescale_s);
        out += line("time scale", scale + "  (the figure is the mean free rate over streams this long)");
    }
    if (r.echo_limit_pps > 0)
        out += line("echo replies", "at most about " + printed("%.0f", r.echo_limit_pps) +
                                        " a second from this host (it limits them)");
    if (estimate && r.reason[0] != '\0')
        out += line("cut short", noEstimateReason(r) +
                                     (r.budget_reached ? " (a larger --max-bytes or --max-time allows more rounds)" : ""));
    out += "rates are IP bits per second, headers included\n";
    return out;
}

std::string jsonReport(const avl_result& r, const std::string& host) {
    const bool estimate = hasEstimate(r);
    nlohmann::ordered_json j;
    j["host"] = host;
    j["address"] = std::string(r.address, strnlen(r.address, sizeof r.address));
    j["available_bps"] = bpsOrNull(r.available_bps, estimate);
    j["low_bps"] = bpsOrNull(r.low_bps, estimate);
    j["high_bps"] = bpsOrNull(r.high_bps, estimate);
    j["capacity_bps"] = bpsOrNull(r.capacity_bps, r.capacity_bps > 0);
    j["support"] = estimate ? r.support : 0;
    j["rounds"] = r.rounds;
    j["probe_bytes"] = r.probe_bytes;
    j["duration_s"] = microseconds(r.duration_s);
    j["timescale_s"] = estimate && r.timescale_s > 0 ? nlohmann::ordered_json(microseconds(r.timescale_s))
                                                      : nlohmann::ordered_json(nullptr);
    j["packet_bytes"] = r.packet_bytes > 0 ? nlohmann::ordered_json(r.packet_bytes) : nlohmann::ordered_json(nullptr);
    j["reason"] = estimate ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(noEstimateReason(r));
    nlohmann::ordered_json streams = nlohmann::ordered_json::array();
    for (int i = 0; i < r.nstreams; ++i) {
        const avl_stream& s = r.streams[i];
        streams.push_back({{"rate_bps", bpsOrNull(s.rate_bps, true)},
                           {"packets", s.packets},
                           {"lost", s.lost},
                           {"verdict", verdictName(s.verdict)},
                           {"send_rate_bps", bpsOrNull(s.sent_rate_bps, s.sent_rate_bps > 0)},
                           {"receive_rate_bps", bpsOrNull(s.receive_rate_bps, s.receive_rate_bps > 0)}});
    }
    j["streams"] = std::move(streams);
    // Names and reasons are the user's and the system's bytes: replace what
    // is not UTF-8 instead of throwing.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace availbw
