// SPDX-License-Identifier: MIT
// What availbw prints and draws, from results built by hand: the units, the
// text report and the SVG picture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "plot.h"
#include "report.h"
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
    m.r.budget_reached = 1;
    std::strcpy(m.r.reason, "byte budget reached");
    EXPECT_EQ(availbw::textReport(m.result(), "lab-target"),
              "host                  lab-target (198.18.1.2)\n"
              "available bandwidth   28.6 Mbit/s  (range 27.4 - 29.9 Mbit/s, 5 of 6 rounds agree)\n"
              "capacity              49.2 Mbit/s  (dispersion of a back-to-back train, for reference)\n"
              "probe traffic         0.91 MB sent and received in 0.84 s\n"
              "time scale            7 ms  (the figure is the mean free rate over streams this long)\n"
              "cut short             byte budget reached (a larger --max-bytes or --max-time allows more rounds)\n"
              "rates are IP bits per second, headers included\n");

    Made none = unanswered();
    EXPECT_EQ(availbw::textReport(none.result(), "198.18.1.2"),
              "host                  198.18.1.2\n"
              "available bandwidth   none: the host did not answer\n"
              "probe traffic         36.0 kB sent and received in 1.01 s\n"
              "rates are IP bits per second, headers included\n");

    // What the figure rests on: the packets' size, a limit on echo replies,
    // and in JSON the reason (null beside an estimate) and each stream's
    // rates sent and received.
    m.r.packet_bytes = 625;
    m.r.echo_limit_pps = 2990.4;
    m.streams[2].sent_rate_bps = 34.6e6;
    m.streams[2].receive_rate_bps = 30.1e6;
    const std::string text = availbw::textReport(m.result(), "lab-target");
    EXPECT_NE(text.find("\npackets               625 bytes each (IP) in the search\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\necho replies          at most about 2990 a second"), std::string::npos) << text;
    const std::string json = availbw::jsonReport(m.result(), "lab-target");
    EXPECT_NE(json.find("\"packet_bytes\":625,\"reason\":null,\"streams\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"send_rate_bps\":34600000,\"receive_rate_bps\":30100000}"), std::string::npos) << json;
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
