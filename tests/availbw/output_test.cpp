// SPDX-License-Identifier: MIT
// What availbw prints and draws, from results built by hand: the units, the
// text report, the JSON object, the progress line and the SVG picture; and
// the option values it reads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plot.h"
#include "report.h"
#include "values.h"
#include "run.h"

namespace {

using availbw::formatBytes;
using availbw::formatRate;

// A result as the library hands it over, with storage for its streams.
struct Made {
    avl_result r{};
    std::vector<avl_stream> streams;
    std::vector<avl_round> rounds;
    std::vector<std::vector<double>> series;  // departures and delays of each stream

    // A stream of n packets 1 ms apart; delay(i) < 0 marks a lost packet.
    template <class Delay>
    void addStream(int kind, double rate, int verdict, int n, Delay delay, bool isVoid = false) {
        avl_stream s{};
        s.kind = kind;
        s.round = kind == AVL_KIND_SEARCH ? 1 : 0;
        s.rate_bps = rate;
        s.packets = n;
        s.packet_bytes = 800;
        s.verdict = verdict;
        s.void_stream = isVoid;
        s.start_s = streams.empty() ? 0 : streams.back().start_s + 0.1;
        std::vector<double> depart, delays;
        for (int i = 0; i < n; ++i) {
            depart.push_back(i * 1e-3);
            delays.push_back(delay(i));
            s.lost += delays.back() < 0;
        }
        series.push_back(std::move(depart));
        series.push_back(std::move(delays));
        streams.push_back(s);
    }

    const avl_result& result() {
        for (size_t i = 0; i < streams.size(); ++i) {
            streams[i].depart_s = series[2 * i].data();
            streams[i].delay_s = series[2 * i + 1].data();
        }
        r.streams = streams.data();
        r.nstreams = static_cast<int>(streams.size());
        r.round_ranges = rounds.data();
        r.nrounds = static_cast<int>(rounds.size());
        return r;
    }
};

// A finished measurement: 28.6 Mbit/s free of 49.2, five of six rounds agree.
Made measured() {
    Made m;
    std::strcpy(m.r.address, "198.18.1.2");
    m.r.available_bps = 28.6e6;
    m.r.low_bps = 27.4e6;
    m.r.high_bps = 29.9e6;
    m.r.capacity_bps = 49.2e6;
    m.r.support = 5;
    m.r.rounds = 6;
    m.r.probe_bytes = 910000;
    m.r.duration_s = 0.84;
    m.r.timescale_s = 0.007;
    m.addStream(AVL_KIND_CAPACITY, 0, AVL_UNCLEAR, 24, [](int) { return 0.002; });
    m.addStream(AVL_KIND_GUESS, 49.2e6, AVL_RISING, 50, [](int i) { return 0.002 + i * 1e-4; });
    m.addStream(AVL_KIND_SEARCH, 35e6, AVL_RISING, 50, [](int i) { return i % 10 == 9 ? -1 : 0.002 + i * 5e-5; });
    m.addStream(AVL_KIND_SEARCH, 20e6, AVL_FLAT, 50, [](int i) { return 0.002 + (i % 3) * 1e-5; });
    m.addStream(AVL_KIND_SEARCH, 28e6, AVL_UNCLEAR, 50, [](int i) { return 0.002 + (i % 7) * 2e-5; }, true);
    for (int i = 0; i < 6; ++i) m.rounds.push_back({27e6 + i * 1e5, 30e6, i < 5});
    return m;
}

// The host did not answer the capacity train.
Made unanswered() {
    Made m;
    std::strcpy(m.r.address, "198.18.1.2");
    std::strcpy(m.r.reason, "the host did not answer");
    m.r.probe_bytes = 36000;
    m.r.duration_s = 1.01;
    m.addStream(AVL_KIND_CAPACITY, 0, AVL_UNCLEAR, 24, [](int) { return -1.0; });
    return m;
}

// Whether rsvg-convert reads the document, with its complaint if not.
std::string unreadableSvg(const std::string& svg) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("availbw-plot-" + std::to_string(getpid()) + ".svg");
    std::ofstream(file) << svg;
    const tsltest::RunResult r = tsltest::runProgram({"rsvg-convert", file}, 30);  // PNG on stdout
    std::filesystem::remove(file);
    return r.status == 0 ? "" : "rsvg-convert: status " + std::to_string(r.status) + " " + r.err;
}

}  // namespace

TEST(AvailbwReport, UnitsAdapt) {
    EXPECT_EQ(formatRate(640), "640 bit/s");
    EXPECT_EQ(formatRate(1500), "1.50 kbit/s");
    EXPECT_EQ(formatRate(28.64e6), "28.6 Mbit/s");
    EXPECT_EQ(formatRate(123.4e6), "123 Mbit/s");
    EXPECT_EQ(formatRate(999.97e6), "1.00 Gbit/s");
    EXPECT_EQ(formatRate(2.5e9), "2.50 Gbit/s");
    EXPECT_EQ(availbw::formatRange(980e3, 1.02e6), "0.98 - 1.02 Mbit/s");
    EXPECT_EQ(formatBytes(999), "999 bytes");
    EXPECT_EQ(formatBytes(72000), "72.0 kB");
    EXPECT_EQ(formatBytes(910000), "0.91 MB");
}

TEST(AvailbwReport, TextWithAndWithoutAnEstimate) {
    Made m = measured();
    m.r.budget_reached = AVL_BUDGET_BYTES;
    m.r.max_bytes = 1000000;
    m.r.packet_bytes = 625;
    std::strcpy(m.r.reason, "byte budget reached");
    EXPECT_EQ(availbw::textReport(m.result(), "lab-target"),
              "host                  lab-target (198.18.1.2)\n"
              "available bandwidth   28.6 Mbit/s  (range 27.4 - 29.9 Mbit/s, 90 % sure)\n"
              "capacity              49.2 Mbit/s  (dispersion of a back-to-back train, for reference)\n"
              "probe traffic         0.91 MB sent and received in 0.84 s\n"
              "probe size            625 B (IP)\n"
              "averaging window      7 ms\n"
              "cut short             byte budget reached (--max-bytes 2M lets it go on)\n"
              "rates are IP bits per second, headers included\n");

    Made none = unanswered();
    EXPECT_EQ(availbw::textReport(none.result(), "198.18.1.2"),
              "host                  198.18.1.2\n"
              "available bandwidth   none: the host did not answer\n"
              "probe traffic         36.0 kB sent, 0 received in 1.01 s\n"
              "rates are IP bits per second, headers included\n");

    // An echo limit: a lower bound instead of nothing; cross traffic that
    // yields says what the figure means.
    Made bound = unanswered();
    bound.r.lower_bound_bps = 26.9e6;
    bound.r.failure = AVL_FAIL_ECHO_LIMIT;
    bound.r.elastic = AVL_ELASTIC_UNKNOWN;
    bound.streams[0].delay_s = nullptr;
    bound.series[1].assign(24, 0.002);
    std::strcpy(bound.r.reason, "the host limits its echo replies to about 3000 a second");
    const std::string limited = availbw::textReport(bound.result(), "198.18.1.2");
    EXPECT_NE(limited.find("\navailable bandwidth   at least 26.9 Mbit/s free; the host limits"), std::string::npos)
        << limited;
    EXPECT_NE(availbw::jsonReport(bound.result(), "x").find("\"failure\":\"echo_limit\",\"budget_reached\":null,"
                                                           "\"elastic\":null,\"lower_bound_bps\":26900000"),
              std::string::npos);
    m.r.elastic = AVL_ELASTIC_YES;
    EXPECT_NE(availbw::textReport(m.result(), "x").find("\ncross traffic         yields to new traffic (TCP-like): a new "
                                                        "flow would get a share of the bottleneck, not only what is "
                                                        "unused now\n"),
              std::string::npos);
    EXPECT_NE(availbw::jsonReport(m.result(), "x").find("\"burst_gap_s\":null,\"free_spread\":null,"
                                                        "\"from_windows\":false,"),
              std::string::npos);
    m.r.from_windows = 1;
    EXPECT_NE(availbw::textReport(m.result(), "x").find("\nfigure from           the streams' own delays: the mean "
                                                        "of the free rates they measured while they ran (their "
                                                        "verdicts left a wider range)\n"),
              std::string::npos);
    EXPECT_NE(availbw::jsonReport(m.result(), "x").find("\"from_windows\":true,"), std::string::npos);
    m.r.from_windows = 0;
    // Why the automatic budgets grew, and what the cross traffic did: the
    // lines in the text, and the keys in the JSON.
    struct Grown {
        int why;
        double burstGap, timescale, spread;
        const char *text, *json;
    } grown[] = {
        {1, 0, 0.007, 0, "\nbudget                grew to 3.00 MB and 2 s: the streams disagreed", nullptr},
        {2, 0, 0.007, 0, "2 s: the streams hinted that the cross traffic gives way", nullptr},
        {3, 0.0051, 0.0306, 0,
         "\ncross traffic         comes in bursts about 5.1 ms apart, further than short streams last: streams of "
         "30.6 ms averaged\nbudget                grew to 3.00 MB and 2 s for the longer streams\n",
         "\"burst_gap_s\":0.0051,"},
        {4, 0, 0.007, 0.4817,
         "\ncross traffic         comes and goes while a stream runs: the figure is the mean free rate of streams "
         "at the capacity, which spread by 48 % of it\nbudget                grew to 3.00 MB and 2 s: the first "
         "stream at the capacity found the free rate far from the others",
         "\"free_spread\":0.482,"},
        {5, 0, 0.007, 0, "2 s: the free rates the streams measured while they ran swung widely", nullptr},
    };
    for (const Grown& g : grown) {
        Made b = measured();
        b.r.budget_grown = g.why;
        b.r.max_bytes = 3000000;
        b.r.max_seconds = 2;
        b.r.burst_gap_s = g.burstGap;
        b.r.timescale_s = g.timescale;
        b.r.free_spread = g.spread;
        const std::string text = availbw::textReport(b.result(), "x");
        EXPECT_NE(text.find(g.text), std::string::npos) << text;
        if (g.json != nullptr) {
            EXPECT_NE(availbw::jsonReport(b.result(), "x").find(g.json), std::string::npos) << g.json;
        }
    }

    // What the figure rests on: the packets' size, a limit on echo replies,
    // and in JSON the reason (null beside an estimate) and each stream's
    // rates sent and received.
    m.r.echo_limit_pps = 2990.4;
    m.streams[2].sent_rate_bps = 34.6e6;
    m.streams[2].receive_rate_bps = 30.1e6;
    const std::string text = availbw::textReport(m.result(), "lab-target");
    EXPECT_NE(text.find("\necho replies          at most about 2990 a second"), std::string::npos) << text;
    const std::string json = availbw::jsonReport(m.result(), "lab-target");
    EXPECT_NE(json.find("\"packet_bytes\":625,\"reason\":null,\"streams\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"send_rate_bps\":34600000,\"receive_rate_bps\":30100000,\"kind\":\"search\",\"round\":1,"
                        "\"start_s\":0.2}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"failure\":null,\"budget_reached\":\"bytes\",\"elastic\":true,"), std::string::npos) << json;
    EXPECT_NE(availbw::jsonReport(none.result(), "x").find("\"packet_bytes\":null,\"reason\":\"the host did not answer\""),
              std::string::npos);
}

TEST(AvailbwPlot, ReadableDocumentWithVerdictsAndRange) {
    Made m = measured();
    const std::string svg = availbw::plotSvg(m.result(), "a<b>&\"c\"\n");
    EXPECT_EQ(unreadableSvg(svg), "");
    for (const char* text : {"rising stream", "flat stream", "unclear stream", "reported range 27.4 - 29.9 Mbit/s",
                             "estimate 28.6 Mbit/s", "capacity 49.2 Mbit/s", "a&lt;b&gt;&amp;&quot;c&quot;?"})
        EXPECT_NE(svg.find(text), std::string::npos) << text;
    // Self-contained: nothing to run, nothing fetched.
    EXPECT_EQ(svg.find("<script"), std::string::npos);
    EXPECT_EQ(svg.find("href"), std::string::npos);
    // One curve per stream with a rate; the lost packets are left out of it.
    EXPECT_EQ(tsltest::countOf(svg, "<polyline"), 4);
    const size_t curve = svg.find("<polyline", svg.find("<title>35.0 Mbit/s, rising, 50 packets, 5 lost"));
    ASSERT_NE(curve, std::string::npos);
    EXPECT_EQ(std::count(svg.begin() + curve, svg.begin() + svg.find("/>", curve), ','), 45);

    Made none = unanswered();
    const std::string empty = availbw::plotSvg(none.result(), "198.18.1.2");
    EXPECT_EQ(unreadableSvg(empty), "");
    EXPECT_NE(empty.find("no estimate: the host did not answer"), std::string::npos);
    EXPECT_EQ(empty.find("<title>reported range"), std::string::npos);
}

TEST(AvailbwReport, HintsOnlyWhereABudgetEndedTheRun) {
    Made m = unanswered();
    m.r.max_bytes = 100000;
    m.r.max_seconds = 1;
    struct Case {
        int budget, failure;
        const char* hint;
    } cases[] = {
        {AVL_BUDGET_BYTES, AVL_FAIL_BUDGET, "--max-bytes 200k lets it go on"},
        {AVL_BUDGET_TIME, AVL_FAIL_BUDGET, "--max-time 2 lets it go on"},
        {AVL_BUDGET_BYTES, AVL_FAIL_NONE, "--max-bytes 200k lets it go on"},
        {AVL_BUDGET_BYTES, AVL_FAIL_LOSS, ""},  // a larger budget cannot help against loss
        {AVL_BUDGET_TIME, AVL_FAIL_NO_REPLY, ""},
        {AVL_BUDGET_NONE, AVL_FAIL_UNSTEADY, ""},
    };
    for (const Case& c : cases) {
        m.r.budget_reached = c.budget;
        m.r.failure = c.failure;
        EXPECT_EQ(availbw::budgetHint(m.result()), c.hint) << c.budget << " " << c.failure;
    }
}

TEST(AvailbwReport, UnitsAccountingAndProgress) {
    EXPECT_EQ(formatRate(28.64e6, 'k'), "28640 kbit/s");
    EXPECT_EQ(formatRate(28.64e6, 'g'), "0.0286 Gbit/s");
    EXPECT_EQ(formatRate(2.5e9, 'm'), "2500 Mbit/s");
    EXPECT_EQ(formatRate(640, 'm'), "0.00064 Mbit/s");
    // Link bits: each 1486-byte datagram is a 1500-byte frame.
    EXPECT_DOUBLE_EQ(availbw::accounted(1486e6, 1486, true), 1500e6);
    EXPECT_DOUBLE_EQ(availbw::accounted(1486e6, 1486, false), 1486e6);
    Made m = measured();
    m.r.packet_bytes = 400;
    availbw::ReportOptions link;
    link.link = true;
    link.unit = 'k';
    const std::string text = availbw::textReport(m.result(), "x", link);
    EXPECT_NE(text.find("available bandwidth   29601 kbit/s  (range 28359 - 30946 kbit/s"), std::string::npos) << text;
    EXPECT_NE(text.find("\nrates are Ethernet frame bits per second"), std::string::npos) << text;
    const std::string json = availbw::jsonReport(m.result(), "x", link);
    EXPECT_NE(json.find("\"available_bps\":29601000,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"bits\":\"link\",\"accounting\":\"Ethernet frames"), std::string::npos) << json;

    // Singular and plural, the first step by its name, no rate where none was asked for.
    Made contact;
    contact.addStream(AVL_KIND_PROBE, 0, AVL_UNCLEAR, 5, [](int) { return 0.001; });
    contact.r.probe_bytes = 1200;
    contact.r.duration_s = 0.05;
    EXPECT_EQ(availbw::progressLine(contact.result()), "availbw: 1 stream, contact, 1.2 kB, 0.05 s");
    m.r.probe_bytes = 72000;
    m.r.duration_s = 0.31;
    EXPECT_EQ(availbw::progressLine(m.result()), "availbw: 5 streams, round 1, last 28.0 Mbit/s unclear, 72.0 kB, 0.31 s");
    m.streams[4].rate_bps = 0;
    EXPECT_EQ(availbw::progressLine(m.result()).find("bit/s"), std::string::npos);
}

TEST(AvailbwOptions, ByteCountsTakeTheirUnitInEitherCase) {
    struct Case {
        const char* text;
        int64_t bytes;  // 0: refused
    } cases[] = {
        {"500", 500},      {"500k", 500000},  {"500K", 500000},      {"2m", 2000000},  {"2M", 2000000},
        {"2MB", 2000000},  {"2mb", 2000000},  {"1G", 1000000000},    {"1gB", 1000000000}, {"1.5M", 1500000},
        {"0.5k", 500},     {"10B", 10},       {"1000G", 1000000000000}, {"0", 0},     {"0.4", 0},
        {"1001G", 0},      {"2MBB", 0},       {"2KM", 0},            {"1e6", 0},       {"-5", 0},
        {" 5", 0},         {"5 ", 0},         {"", 0},               {"M", 0},         {"2T", 0},
    };
    for (const Case& c : cases) {
        int64_t got = 0;
        EXPECT_EQ(availbw::byteCount(c.text, 1e12, &got), c.bytes != 0) << c.text;
        if (c.bytes != 0) {
            EXPECT_EQ(got, c.bytes) << c.text;
        }
    }
}

TEST(AvailbwPlot, LabelsKeepOffTheCurvesAndTheRoundsExplainThemselves) {
    // A stream whose curve runs right where the estimate's label would sit.
    Made m = measured();
    m.addStream(AVL_KIND_SEARCH, 29.4e6, AVL_RISING, 50, [](int i) { return 0.002 + i * 2e-5; });
    m.streams.back().start_s = 0.74;
    const std::string svg = availbw::plotSvg(m.result(), "x");
    // The curve's extent, from its points.
    const size_t at = svg.find("<polyline", svg.find("<title>29.4 Mbit/s, rising"));
    ASSERT_NE(at, std::string::npos);
    std::istringstream points(svg.substr(at + 18, svg.find('"', at + 18) - at - 18));
    double left = 1e9, right = -1e9, top = 1e9, bottom = -1e9, x, y;
    char comma;
    while (points >> x >> comma >> y)
        left = std::min(left, x), right = std::max(right, x), top = std::min(top, y), bottom = std::max(bottom, y);
    ASSERT_LT(left, right);
    for (const std::string label : {"estimate 28.6 Mbit/s", "capacity 49.2 Mbit/s"}) {
        const size_t end = svg.find(">" + label + "<");
        ASSERT_NE(end, std::string::npos) << label;
        const size_t tag = svg.rfind("<text", end);
        double lx = 0, ly = 0;
        ASSERT_EQ(std::sscanf(svg.c_str() + tag, "<text x=\"%lf\" y=\"%lf\"", &lx, &ly), 2) << svg.substr(tag, 80);
        const double lright = lx + label.size() * 6.6;
        const bool apart = lright < left || lx > right || ly < top || ly - 11 > bottom;
        EXPECT_TRUE(apart) << label << " at " << lx << "," << ly << " on the curve " << left << "-" << right << ", "
                           << top << "-" << bottom;
    }
    // The rounds: a legend entry for each look, the cut-short one drawn as it says.
    EXPECT_NE(svg.find(">round's range</text>"), std::string::npos);
    EXPECT_NE(svg.find(">round cut short</text>"), std::string::npos);
    EXPECT_EQ(tsltest::countOf(svg, "stroke-dasharray=\"2 2\"><title>round "), 1);
    // One delay bar length for every run, labelled with what it stands for.
    Made other = measured();
    for (double& d : other.series[5]) d *= 3;
    const std::string svg3 = availbw::plotSvg(other.result(), "x");
    for (const std::string* doc : {&svg, &svg3}) EXPECT_NE(doc->find(" v40 m-4 0 h8\""), std::string::npos);
    // The largest rise, 4.9 ms, lifts its curve 12 % of the 470-pixel panel.
    EXPECT_NE(svg.find(">3.48 ms of delay<"), std::string::npos);
    EXPECT_EQ(svg3.find(">3.48 ms of delay<"), std::string::npos);
}
