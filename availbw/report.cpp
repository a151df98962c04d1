// SPDX-License-Identifier: MIT
// report.cpp - the text report and the JSON object of availbw.
#include "report.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

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

std::string formatRate(double bps) { return formatRate(bps, 0); }

std::string formatRate(double bps, char prefix) {
    RateUnit u = rateUnit(bps);
    if (prefix == 'k') u = {1e3, "kbit/s"};
    else if (prefix == 'm') u = {1e6, "Mbit/s"};
    else if (prefix == 'g') u = {1e9, "Gbit/s"};
    const double v = bps / u.scale;
    // In a unit of its own choosing a small figure keeps three significant digits.
    return (prefix != 0 && std::fabs(v) < 1 && v != 0 ? printed("%.3g", v) : threeDigits(v)) + " " + u.name;
}

double accounted(double ipBps, int packetBytes, bool link) {
    if (!link || packetBytes <= 0) return ipBps;
    return ipBps * (packetBytes + kLinkHeaderBytes) / packetBytes;
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

std::string noEstimateReason(const avl_result& r) {
    if (r.reason[0] != '\0') return std::string(r.reason, strnlen(r.reason, sizeof r.reason));
    return "the rounds found no common range";
}

namespace {

// A figure to two significant digits, without an exponent: 2, 200, 1.5.
std::string twoDigits(double v) {
    if (!(v > 0) || !std::isfinite(v)) return "0";
    const double unit = std::pow(10, std::floor(std::log10(v)) - 1);
    return printed("%g", std::round(v / unit) * unit);
}

// A byte count as --max-bytes takes it, to two significant digits: "2M", "500k".
std::string byteOption(double bytes) {
    if (bytes >= 1e6) return twoDigits(bytes / 1e6) + "M";
    if (bytes >= 1e3) return twoDigits(bytes / 1e3) + "k";
    return twoDigits(bytes);
}

// Figures of a result in the accounting asked for.
struct Figures {
    double available, low, high, capacity, lowerBound;
};

Figures figuresOf(const avl_result& r, bool link) {
    int capacityBytes = 0;
    for (int i = 0; i < r.nstreams; ++i)
        if (r.streams[i].kind == AVL_KIND_CAPACITY) capacityBytes = r.streams[i].packet_bytes;
    return {accounted(r.available_bps, r.packet_bytes, link), accounted(r.low_bps, r.packet_bytes, link),
            accounted(r.high_bps, r.packet_bytes, link), accounted(r.capacity_bps, capacityBytes, link),
            accounted(r.lower_bound_bps, r.packet_bytes, link)};
}

// A range in the unit asked for, or that of its upper end.
std::string rangeIn(double low, double high, char prefix) {
    if (prefix == 0) return formatRange(low, high);
    const std::string top = formatRate(high, prefix);
    return formatRate(low, prefix).substr(0, formatRate(low, prefix).find(' ')) + " - " + top;
}

const char* accountingText(bool link) {
    return link ? "rates are Ethernet frame bits per second: each packet's IP bytes and its 14-byte header"
                : "rates are IP bits per second, headers included";
}

bool sentSearchStreams(const avl_result& r) {
    for (int i = 0; i < r.nstreams; ++i)
        if (r.streams[i].kind == AVL_KIND_SEARCH) return true;
    return false;
}

int repliesReceived(const avl_result& r) {
    int received = 0;
    for (int i = 0; i < r.nstreams; ++i) received += r.streams[i].packets - r.streams[i].lost;
    return received;
}

const char* kindName(int kind) {
    switch (kind) {
        case AVL_KIND_CAPACITY: return "capacity";
        case AVL_KIND_GUESS: return "guess";
        case AVL_KIND_SEARCH: return "search";
        case AVL_KIND_PROBE: return "probe";
        default: return "unknown";
    }
}

// The method's details, for -v.
std::string methodLines(const avl_result& r, const ReportOptions& o) {
    std::string out;
    int judged = 0, rising = 0, voided = 0;
    for (int i = 0; i < r.nstreams; ++i) {
        const avl_stream& s = r.streams[i];
        if (s.kind != AVL_KIND_SEARCH && s.kind != AVL_KIND_GUESS) continue;
        if (s.void_stream) ++voided;
        else ++judged, rising += s.verdict == AVL_RISING;
    }
    out += line("streams", std::to_string(r.nstreams) + " sent; " + std::to_string(judged) + " judged, " +
                               std::to_string(rising) + " of them rising (their delays grew: above the free rate)" +
                               (voided > 0 ? ", " + std::to_string(voided) + " not counted (the sender fell behind)"
                                           : ""));
    for (int i = 0; i < r.nrounds; ++i) {
        const avl_round& q = r.round_ranges[i];
        const std::string label = "round " + std::to_string(i + 1);
        out += line(label.c_str(), rangeIn(accounted(q.low_bps, r.packet_bytes, o.link),
                                           accounted(q.high_bps, r.packet_bytes, o.link), o.unit) +
                                       (q.complete ? "" : "  (cut short by a budget)"));
    }
    out += line("method", "a stream above the free rate sees its delays rise; each stream's verdict");
    out += line("", "weighs as evidence, and the range holds the free rate over the averaging");
    out += line("", "window with 90 % probability; the figure is its middle");
    if (r.failure != AVL_FAIL_NONE) out += line("failure", avl_failure_name(r.failure));
    return out;
}

}  // namespace

std::string budgetHint(const avl_result& r) {
    if (r.budget_reached == AVL_BUDGET_NONE || (r.failure != AVL_FAIL_NONE && r.failure != AVL_FAIL_BUDGET))
        return "";
    if (r.budget_reached == AVL_BUDGET_BYTES && r.max_bytes > 0)
        return "--max-bytes " + byteOption(2.0 * static_cast<double>(r.max_bytes)) + " lets it go on";
    if (r.budget_reached == AVL_BUDGET_TIME && r.max_seconds > 0)
        return "--max-time " + twoDigits(2 * r.max_seconds) + " lets it go on";
    return r.budget_reached == AVL_BUDGET_BYTES ? "a larger --max-bytes lets it go on"
                                                : "a larger --max-time lets it go on";
}

std::string textReport(const avl_result& r, const std::string& host, const ReportOptions& o) {
    const std::string address(r.address, strnlen(r.address, sizeof r.address));
    const Figures f = figuresOf(r, o.link);
    std::string out = line("host", host == address ? host : host + " (" + address + ")");
    const bool estimate = hasEstimate(r);
    if (estimate)
        out += line("available bandwidth", formatRate(f.available, o.unit) + "  (range " +
                                               rangeIn(f.low, f.high, o.unit) + ", 90 % sure)");
    else if (r.lower_bound_bps > 0)
        out += line("available bandwidth",
                    "at least " + formatRate(f.lowerBound, o.unit) + " free; " + noEstimateReason(r));
    else
        out += line("available bandwidth", "none: " + noEstimateReason(r));
    if (r.capacity_bps > 0)
        out += line("capacity",
                    formatRate(f.capacity, o.unit) + "  (dispersion of a back-to-back train, for reference)");
    const int received = repliesReceived(r);
    out += line("probe traffic", formatBytes(r.probe_bytes) +
                                     (r.nstreams > 0 && received == 0 ? " sent, 0 received" : " sent and received") +
                                     " in " + printed("%.2f s", r.duration_s));
    if (r.packet_bytes > 0 && sentSearchStreams(r))
        out += line("probe size", std::to_string(r.packet_bytes) + " B (IP)");
    if (estimate && r.timescale_s > 0) {
        const std::string scale = r.timescale_s < 1 ? printed("%.3g ms", r.timescale_s * 1e3)
                                                    : printed("%.3g s", r.timescale_s);
        out += line("averaging window", scale);
    }
    if (r.echo_limit_pps > 0)
        out += line("echo replies", "at most about " + printed("%.0f", r.echo_limit_pps) +
                                        " a second from this host (it limits them)");
    if (r.elastic == AVL_ELASTIC_YES)
        out += line("cross traffic", "yields to new traffic (TCP-like): a new flow would get a share of the "
                                     "bottleneck, not only what is unused now");
    if (r.burst_gap_s > 0)
        out += line("cross traffic", "comes in bursts about " + printed("%.3g ms", r.burst_gap_s * 1e3) +
                                         " apart, further than short streams last: " +
                                         (estimate && r.timescale_s > 0
                                              ? "streams of " + printed("%.3g ms", r.timescale_s * 1e3) + " averaged"
                                              : "longer streams were sent"));
    if (r.free_spread > 0)
        out += line("cross traffic", "comes and goes while a stream runs: the figure is the mean free rate of "
                                     "streams at the capacity, which spread by " +
                                         printed("%.0f %%", r.free_spread * 100) + " of it");
    if (estimate && r.from_windows)
        out += line("figure from", "the streams' own delays: the mean of the free rates they measured while "
                                   "they ran (their verdicts left a wider range)");
    if (r.budget_grown)
        out += line("budget", "grew to " + formatBytes(r.max_bytes) + " and " + printed("%.3g s", r.max_seconds) +
                                  (r.budget_grown == 2   ? ": the streams hinted that the cross traffic gives way, and more "
                                                           "of them tell"
                                   : r.budget_grown == 3 ? " for the longer streams"
                                   : r.budget_grown == 4 ? ": the first stream at the capacity found the free rate far "
                                                           "from the others, and more such streams tell whether the cross "
                                                           "traffic comes and goes"
                                   : r.budget_grown == 5 ? ": the free rates the streams measured while they ran swung "
                                                           "widely, and streams at the capacity tell whether the cross "
                                                           "traffic comes and goes"
                                                         : ": the streams disagreed, and more of them narrow the range"));
    if (estimate && r.reason[0] != '\0') {
        const std::string hint = budgetHint(r);
        out += line("cut short", noEstimateReason(r) + (hint.empty() ? "" : " (" + hint + ")"));
    }
    if (o.verbose) out += methodLines(r, o);
    out += std::string(accountingText(o.link)) + "\n";
    return out;
}

std::string rfc3339(int64_t unixMs) {
    const time_t seconds = static_cast<time_t>(unixMs / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(unixMs % 1000));
    return text;
}

std::string jsonReport(const avl_result& r, const std::string& host, const ReportOptions& o) {
    const bool estimate = hasEstimate(r);
    const Figures f = figuresOf(r, o.link);
    nlohmann::ordered_json j;
    j["host"] = host;
    j["address"] = std::string(r.address, strnlen(r.address, sizeof r.address));
    j["available_bps"] = bpsOrNull(f.available, estimate);
    j["low_bps"] = bpsOrNull(f.low, estimate);
    j["high_bps"] = bpsOrNull(f.high, estimate);
    j["capacity_bps"] = bpsOrNull(f.capacity, r.capacity_bps > 0);
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
        const auto rate = [&](double bps) { return accounted(bps, s.packet_bytes, o.link); };
        streams.push_back({{"rate_bps", bpsOrNull(rate(s.rate_bps), true)},
                           {"packets", s.packets},
                           {"lost", s.lost},
                           {"verdict", verdictName(s.verdict)},
                           {"send_rate_bps", bpsOrNull(rate(s.sent_rate_bps), s.sent_rate_bps > 0)},
                           {"receive_rate_bps", bpsOrNull(rate(s.receive_rate_bps), s.receive_rate_bps > 0)},
                           {"kind", kindName(s.kind)},
                           {"round", s.round},
                           {"start_s", microseconds(s.start_s)}});
    }
    j["streams"] = std::move(streams);
    j["failure"] = estimate ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(avl_failure_name(r.failure));
    j["budget_reached"] = r.budget_reached == AVL_BUDGET_BYTES  ? nlohmann::ordered_json("bytes")
                          : r.budget_reached == AVL_BUDGET_TIME ? nlohmann::ordered_json("time")
                                                                : nlohmann::ordered_json(nullptr);
    j["elastic"] = r.elastic == AVL_ELASTIC_YES  ? nlohmann::ordered_json(true)
                   : r.elastic == AVL_ELASTIC_NO ? nlohmann::ordered_json(false)
                                                 : nlohmann::ordered_json(nullptr);
    j["lower_bound_bps"] = bpsOrNull(f.lowerBound, !estimate && r.lower_bound_bps > 0);
    j["max_bytes"] = r.max_bytes > 0 ? nlohmann::ordered_json(r.max_bytes) : nlohmann::ordered_json(nullptr);
    j["max_seconds"] = r.max_seconds > 0 ? nlohmann::ordered_json(microseconds(r.max_seconds))
                                         : nlohmann::ordered_json(nullptr);
    j["burst_gap_s"] = r.burst_gap_s > 0 ? nlohmann::ordered_json(microseconds(r.burst_gap_s))
                                         : nlohmann::ordered_json(nullptr);
    j["free_spread"] = r.free_spread > 0 ? nlohmann::ordered_json(std::round(r.free_spread * 1000) / 1000)
                                         : nlohmann::ordered_json(nullptr);
    j["from_windows"] = r.from_windows != 0;
    j["bits"] = o.link ? "link" : "ip";
    j["accounting"] = o.link ? "Ethernet frames: each packet's IP bytes plus a 14-byte header, as interface "
                               "counters count them (no preamble, frame check or gap)"
                             : "IP datagrams, IP and ICMP headers included";
    if (!o.version.empty()) j["version"] = o.version;
    j["time"] = o.time.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(o.time);
    if (o.status >= 0) j["status"] = o.status;
    j["error"] = o.errorCode.empty() ? nlohmann::ordered_json(nullptr)
                                     : nlohmann::ordered_json{{"code", o.errorCode}, {"message", o.errorMessage}};
    // Names and reasons are the user's and the system's bytes: replace what
    // is not UTF-8 instead of throwing.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string jsonError(const std::string& code, const std::string& message, int status, const std::string& version,
                      const char* host) {
    nlohmann::ordered_json j;
    j["host"] = host != nullptr ? nlohmann::ordered_json(host) : nlohmann::ordered_json(nullptr);
    j["error"] = {{"code", code}, {"message", message}};
    j["status"] = status;
    j["version"] = version;
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string progressLine(const avl_result& sofar, const ReportOptions& o) {
    const int n = sofar.nstreams;
    std::string text = "availbw: " + std::to_string(n) + (n == 1 ? " stream" : " streams");
    if (n > 0) {
        const avl_stream& last = sofar.streams[n - 1];
        const double rate = accounted(last.rate_bps, last.packet_bytes, o.link);
        if (n == 1 && last.kind == AVL_KIND_PROBE) text += ", contact";
        else if (last.kind == AVL_KIND_PROBE) text += ", check of the path";
        else if (last.kind == AVL_KIND_CAPACITY) text += ", capacity train";
        else if (last.kind == AVL_KIND_GUESS) text += rate > 0 ? ", first guess " + formatRate(rate, o.unit) : ", first guess";
        else {
            text += ", round " + std::to_string(last.round);
            if (rate > 0) text += ", last " + formatRate(rate, o.unit) + " " + verdictName(last.verdict);
        }
    }
    return text + ", " + formatBytes(sofar.probe_bytes) + printed(", %.2f s", sofar.duration_s);
}

}  // namespace availbw
