// SPDX-License-Identifier: MIT
// Watching a path, on synthetic series: the change test, the schedule, the
// time format, the summary and records, and the picture written in place.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run.h"
#include "watch.h"

namespace {

// Measurements of a path whose free rate is level(i): estimates scattered
// about it by spread (a share of the level), each with a range of
// halfWidths standard deviations either side, as a calibrated range is.
struct Series {
    std::mt19937_64 random;
    double spread = 0.05, halfWidths = 1.645;

    explicit Series(uint64_t seed) : random(seed) {}

    // The changes the detector reports over n measurements.
    template <class Level>
    std::vector<watch::Change> changes(int n, Level level) {
        watch::ChangeDetector d;
        std::vector<watch::Change> found;
        for (int i = 0; i < n; ++i) {
            const double sigma = spread * level(i);
            const double x = std::normal_distribution<double>(level(i), sigma)(random);
            if (auto c = d.add(static_cast<size_t>(i), x, x - halfWidths * sigma, x + halfWidths * sigma))
                found.push_back(*c);
        }
        return found;
    }
};

TEST(WatchChanges, ALastingStepIsReportedWithinThreeMeasurements) {
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        for (const double after : {14e6, 45e6}) {
            Series s(seed);
            const auto found = s.changes(20, [&](int i) { return i < 10 ? 29e6 : after; });
            ASSERT_EQ(found.size(), 1u) << "seed " << seed << " step to " << after;
            EXPECT_NEAR(static_cast<double>(found[0].first), 10, 1) << "seed " << seed;
            EXPECT_LE(found[0].reported, 12u) << "seed " << seed;
            EXPECT_NEAR(found[0].fromBps, 29e6, 3e6);
            EXPECT_NEAR(found[0].toBps, after, 0.15 * after);
        }
    }
}

TEST(WatchChanges, SteadyPathsAndStrayMeasurementsGiveNone) {
    int falseAlarms = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        Series calibrated(seed);
        falseAlarms += static_cast<int>(calibrated.changes(30, [](int) { return 29e6; }).size());
        // Ranges of one standard deviation either side (68 %) still give none.
        Series narrow(seed + 1000);
        narrow.halfWidths = 1;
        falseAlarms += static_cast<int>(narrow.changes(30, [](int) { return 29e6; }).size());
    }
    EXPECT_EQ(falseAlarms, 0);
    EXPECT_TRUE(Series(99).changes(400, [](int) { return 29e6; }).empty()) << "nor a long watch";
    // One measurement far off, or two apart, is not a change.
    for (const std::vector<int>& stray : {std::vector<int>{12}, std::vector<int>{8, 12}}) {
        Series s(7);
        auto found = s.changes(30, [&](int i) { return std::count(stray.begin(), stray.end(), i) ? 5e6 : 29e6; });
        EXPECT_TRUE(found.empty()) << "stray at " << stray[0];
    }
    // Ranges of zero width do not make every wobble a change.
    watch::ChangeDetector d;
    for (int i = 0; i < 30; ++i) EXPECT_FALSE(d.add(i, 29e6 * (1 + 0.01 * (i % 3 - 1)), 29e6, 29e6)) << i;
}

TEST(WatchSchedule, StartsMoveByATenthAndNeverCrowdAfterALateOne) {
    watch::Schedule s(10, 100, 42);
    double last = 100, below = 0, above = 0;
    for (int k = 1; k <= 1000; ++k) {
        bool late = true;
        const double start = s.next(last + 1, &late);  // each measurement takes 1 s
        EXPECT_FALSE(late);
        const double planned = 100 + 10.0 * k;
        ASSERT_LE(std::fabs(start - planned), 1.0 + 1e-9) << k;
        (start < planned ? below : above) += 1;
        last = start;
    }
    EXPECT_GT(below, 400);
    EXPECT_GT(above, 400);
    // A measurement of 25 s: the next starts as it ends, the one after an
    // interval later (give or take the tenth).
    bool late = false;
    EXPECT_DOUBLE_EQ(s.next(last + 25, &late), last + 25);
    EXPECT_TRUE(late);
    const double after = s.next(last + 26, &late);
    EXPECT_FALSE(late);
    EXPECT_NEAR(after, last + 35, 1.0 + 1e-9);
}

TEST(WatchRecords, TimesSummaryAndLines) {
    EXPECT_EQ(watch::formatTime(1796755201123), "2026-12-08T18:40:01.123Z");
    EXPECT_EQ(watch::formatTime(5), "1970-01-01T00:00:00.005Z");
    EXPECT_EQ(watch::formatTime(-1), "1969-12-31T23:59:59.999Z");

    std::vector<watch::Sample> samples;
    for (int i = 0; i < 10; ++i) {
        watch::Sample m;
        m.unixMs = 1796755201123 + i * 10000;
        m.answered = i != 4;
        m.estimateBps = (i + 1) * 1e6;
        m.lowBps = m.estimateBps * 0.9;
        m.highBps = m.estimateBps * 1.1;
        m.probeBytes = 100000;
        if (!m.answered) m.reason = "the host did not answer";
        samples.push_back(m);
    }
    const watch::Summary s = watch::summarize(samples, 1, 100);
    EXPECT_EQ(s.made, 10);
    EXPECT_EQ(s.answered, 9);
    EXPECT_DOUBLE_EQ(s.medianBps, 6e6);  // of 1, 2, 3, 4, 6, 7, 8, 9, 10
    EXPECT_DOUBLE_EQ(s.p10Bps, 1.8e6);
    EXPECT_DOUBLE_EQ(s.p90Bps, 9.2e6);
    EXPECT_DOUBLE_EQ(s.lowestBps, 1e6);
    EXPECT_DOUBLE_EQ(s.highestBps, 10e6);
    EXPECT_DOUBLE_EQ(s.loadBps, 80000);

    EXPECT_EQ(watch::textSample(samples[0]), "2026-12-08T18:40:01.123Z  1.00 Mbit/s  (0.90 - 1.10 Mbit/s)  0.10 MB\n");
    EXPECT_EQ(watch::textSample(samples[4]), "2026-12-08T18:40:41.123Z  no estimate: the host did not answer  0.10 MB\n");
    EXPECT_EQ(watch::textSummary(s, "h"),
              "--- h watch ---\n10 measurements, 9 answered, 1 change found\n"
              "free median 6.00 Mbit/s, 10-90 % 1.80 - 9.20 Mbit/s, lowest 1.00 Mbit/s, highest 10.0 Mbit/s\n"
              "probes 1.00 MB in 100.0 s, 80.0 kbit/s on average\n");

    // A sample keeps the single run's keys but its streams, and has its time.
    avl_result r{};
    r.elastic = AVL_ELASTIC_NO;
    r.budget_reached = AVL_BUDGET_TIME;
    const std::string run = R"({"host":"h","available_bps":1000000,"time":"old","streams":[{"packets":3}]})";
    const auto j = nlohmann::json::parse(watch::sampleJson(run, r, samples[0], false));
    EXPECT_EQ(j["type"], "sample");
    EXPECT_EQ(j["time"], "2026-12-08T18:40:01.123Z");
    EXPECT_DOUBLE_EQ(j["unix_s"].get<double>(), 1796755201.123);
    EXPECT_EQ(j["available_bps"], 1000000);
    EXPECT_FALSE(j.contains("streams"));
    EXPECT_EQ(j["elastic"], false);
    EXPECT_EQ(j["budget_reached"], "time");
    EXPECT_TRUE(j["failure"].is_null());
    EXPECT_EQ(nlohmann::json::parse(watch::sampleJson(run, r, samples[0], true))["streams"].size(), 1u);

    const watch::Change c{3, 5, 29e6, 14e6};
    const auto change = nlohmann::json::parse(watch::changeJson(c, samples));
    EXPECT_EQ(change["time"], watch::formatTime(samples[3].unixMs));
    EXPECT_EQ(change["from_bps"], 29000000);
    EXPECT_EQ(change["to_bps"], 14000000);
    const auto end = nlohmann::json::parse(watch::endJson(watch::summarize({}, 0, 1), 0, "signal"));
    EXPECT_EQ(end["made"], 0);
    EXPECT_TRUE(end["median_bps"].is_null());
}

TEST(WatchPlot, RendersAndIsReplacedWhole) {
    std::vector<watch::Sample> samples;
    for (int i = 0; i < 12; ++i) {
        watch::Sample m;
        m.unixMs = 1796755201123 + i * 1000;
        m.answered = i != 5;
        m.estimateBps = i < 6 ? 29e6 : 14e6;
        m.lowBps = m.estimateBps - 1e6;
        m.highBps = m.estimateBps + 1e6;
        m.capacityBps = 50e6;
        if (!m.answered) m.reason = "the host did not answer <&>";
        samples.push_back(m);
    }
    const std::string svg = watch::plotSvg(samples, {{6, 8, 29e6, 14e6}}, "host\"<x>");
    EXPECT_NE(svg.find("<title>2026-12-08T18:40:06.123Z: no estimate: the host did not answer &lt;&amp;&gt;</title>"),
              std::string::npos);
    EXPECT_EQ(tsltest::countOf(svg, "class=\"change\""), 1);
    EXPECT_NE(svg.find(">18:40:06<"), std::string::npos) << "the axis reads UTC clock time";

    struct TempDir {
        std::filesystem::path path =
            std::filesystem::temp_directory_path() / ("watch-plot-" + std::to_string(getpid()));
        TempDir() { std::filesystem::create_directories(path); }
        ~TempDir() { std::filesystem::remove_all(path); }
    } temp;
    const auto& dir = temp.path;
    const std::string path = (dir / "w.svg").string();
    ASSERT_TRUE(watch::writeAtomically(path, svg));
    const auto rendered = tsltest::runProgram({"rsvg-convert", "-o", (dir / "w.png").string(), path}, 30);
    EXPECT_EQ(rendered.status, 0) << rendered.err;
    EXPECT_GT(std::filesystem::file_size(dir / "w.png"), 1000u);
    EXPECT_EQ(tsltest::runProgram({"rsvg-convert", "-o", (dir / "e.png").string(), path}, 30).status, 0);
    // A reader of the old document keeps all of it; the name gives the new one.
    std::ifstream reader(path);
    ASSERT_TRUE(watch::writeAtomically(path, watch::plotSvg({}, {}, "empty")));
    std::stringstream old, now;
    old << reader.rdbuf();
    now << std::ifstream(path).rdbuf();
    EXPECT_EQ(old.str(), svg);
    EXPECT_NE(now.str().find("0 measurements"), std::string::npos);
    EXPECT_EQ(tsltest::runProgram({"rsvg-convert", "-o", (dir / "e.png").string(), path}, 30).status, 0);
    // Never over a file of another kind; nothing left behind.
    const std::string fifo = (dir / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(watch::writeAtomically(fifo, svg));
    EXPECT_EQ(errno, EEXIST);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 4);  // w.svg, w.png, e.png, fifo
}

}  // namespace
