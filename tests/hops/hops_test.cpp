// SPDX-License-Identifier: MIT
// availbw --hops on synthetic trains: the plan, the lengths on arrival, where
// a train grew (silent hops among them), the vote across a sweep, and the
// reports.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "hops.h"
#include "run.h"

namespace {

using hops::Span;

TEST(HopsPlan, HeadLoadAndTailInTheirOrderAtTheRate) {
    const hops::Train t = hops::planTrain(3, 4, 1472, 12, 28, 60e6);
    EXPECT_EQ(t.ttls, (std::vector<int>{1, 2, 3, 255, 255, 255, 255, 3, 2, 1}));
    EXPECT_EQ(t.sizes, (std::vector<int>{12, 12, 12, 1472, 1472, 1472, 1472, 12, 12, 12}));
    // 1500 IP bytes at 60 Mbit/s: 200 us apart; the tail right after the load.
    EXPECT_EQ(t.sendAt, (std::vector<int64_t>{0, 0, 0, 0, 200000, 400000, 600000, 600000, 600000, 600000}));
    EXPECT_EQ(t.ipBytes, 6 * 40 + 4 * 1500);
    for (int h = 1; h <= 3; ++h) {
        EXPECT_EQ(t.ttls[t.head(h)], h);
        EXPECT_EQ(t.ttls[t.tail(h)], h);
        EXPECT_GT(t.tail(h), t.head(h) + 4);
    }
    const hops::Train b2b = hops::planTrain(2, 3, 1452, 12, 48, 0);
    for (int64_t at : b2b.sendAt) EXPECT_EQ(at, 0);
}

TEST(HopsPlan, LengthsOnArrivalPairTheRepliesOfOneKind) {
    const hops::Train t = hops::planTrain(3, 2, 1472, 12, 28, 0);
    // Packets: head 1 2 3, load, load, tail 3 2 1.
    const int64_t depart[] = {0, 1, 2, 3, 4, 5, 6, 1000};
    const int64_t arrive[] = {100, 200, 300, 400, 500, 5300, 4200, 3100};
    tsl_stream_answer a[8] = {};
    const int kinds[] = {TSL_STREAM_ANSWER_EXCEEDED, TSL_STREAM_ANSWER_NONE, TSL_STREAM_ANSWER_ECHO,
                         TSL_STREAM_ANSWER_ECHO,     TSL_STREAM_ANSWER_ECHO, TSL_STREAM_ANSWER_ECHO,
                         TSL_STREAM_ANSWER_EXCEEDED, TSL_STREAM_ANSWER_EXCEEDED};
    for (int i = 0; i < 8; ++i) a[i].kind = kinds[i];
    // Hop 2's head is missing; hop 3 answered both by echo.
    EXPECT_EQ(hops::arrivalLengths(t, depart, arrive, a), (std::vector<int64_t>{1000, 3000, -1, 5000}));
    a[5].kind = TSL_STREAM_ANSWER_EXCEEDED;  // a tail answered by another kind than its head
    EXPECT_EQ(hops::arrivalLengths(t, depart, arrive, a)[3], -1);
}

TEST(HopsDecision, WhereOneTrainGrew) {
    struct Case {
        const char* what;
        std::vector<int64_t> ms10;  // lengths in tenths of a millisecond, -1 silent
        Span span;
    } cases[] = {
        {"no growth", {100, 101, 99, 102, 100}, {}},
        {"grew into hop 2", {100, 101, 140, 139, 141}, {1, 2}},
        {"grew into hop 1", {100, 150, 149, 151}, {0, 1}},
        {"grew across silent hop 2", {100, 101, -1, 140, 141}, {1, 3}},
        {"grew across silent hops 1 and 2", {100, -1, -1, 140}, {0, 3}},
        {"grew into a hop after a silent one", {100, 101, -1, 102, 140}, {3, 4}},
        {"below the share", {100, 101, 109, 109}, {}},
        {"below the floor on a short train", {10, 10, 12, 12}, {}},
        {"grew twice, most into hop 3", {100, 101, 120, 170, 171}, {2, 3}},
        {"shrank, then grew", {100, 80, 80, 120}, {2, 3}},
        {"only the destination answered", {100, -1, -1, 140}, {0, 3}},
        {"nothing answered", {100, -1, -1}, {}},
        {"nothing sent", {-1, 140}, {}},
    };
    for (const Case& c : cases) {
        std::vector<int64_t> ns;
        for (int64_t v : c.ms10) ns.push_back(v < 0 ? -1 : v * 100000);
        EXPECT_EQ(hops::squeezedAt(ns), c.span) << c.what;
    }
}

TEST(HopsDecision, TheLowestRateWhereMostTrainsAgreeNamesTheLink) {
    const Span none, first{0, 1}, second{1, 2}, across{1, 3};
    // Idle below 20, the tight link at 30, the narrow one too at 40.
    hops::Decision d = hops::decide({{10e6, {none, none, none}},
                                     {20e6, {none, second, none}},
                                     {30e6, {first, first, none, first, second, first}},
                                     {40e6, {second, second, second}}});
    EXPECT_EQ(d.link, first);
    EXPECT_EQ(d.agree, 4);
    EXPECT_EQ(d.trains, 6);
    EXPECT_EQ(d.rateBps, 30e6);
    EXPECT_EQ(d.clearBps, 10e6);  // 20 had a squeezed train
    // A silent hop: the span, never one of its links.
    d = hops::decide({{10e6, {across, across, none}}});
    EXPECT_EQ(d.link, across);
    EXPECT_EQ(d.clearBps, 0);
    // Half is not more than half; a tie among spans goes to the one nearer the client.
    EXPECT_FALSE(hops::decide({{10e6, {second, none}}}).link.named());
    EXPECT_EQ(hops::vote({second, first, none, second, first}).span, first);
    // No answer, with the reason.
    d = hops::decide({{10e6, {none, none}}, {12e6, {none, none, none}}});
    EXPECT_FALSE(d.link.named());
    EXPECT_EQ(d.reason, "no hop squeezed a train at up to 12.0 Mbit/s");
    d = hops::decide({{10e6, {first, second, none}}});
    EXPECT_EQ(d.reason, "the trains did not agree where they were squeezed at up to 10.0 Mbit/s");
    EXPECT_EQ(hops::decide({}).reason, "no train came back");
}

hops::Result threeRouters() {
    hops::Result r;
    r.host = "<lab>";
    r.address = "198.18.4.1";
    r.ratesBps = {30e6, 42e6};
    r.sentMs = {8.0, 5.7};
    const char* addresses[] = {"198.18.1.1", "", "198.18.3.1", "198.18.4.1"};
    for (int h = 1; h <= 4; ++h) {
        hops::Hop hop;
        hop.hop = h;
        hop.address = addresses[h - 1];
        hop.rttMs = hop.address.empty() ? -1 : 0.25 * h;
        hop.expected = 20;
        hop.replies = hop.address.empty() ? 0 : 20;
        hop.lengthMs = hop.address.empty() ? std::vector<double>{-1, -1} : std::vector<double>{8.0, 5.7 + (h > 1)};
        r.hops.push_back(hop);
    }
    r.decision.link = {1, 3};
    r.decision.agree = 5;
    r.decision.trains = 6;
    r.decision.rateBps = 42e6;
    r.decision.clearBps = 30e6;
    r.trains = 10;
    r.probeBytes = 612345;
    r.durationS = 19.04;
    r.spacingS = 2;
    return r;
}

TEST(HopsReport, TextJsonAndPlot) {
    hops::Result r = threeRouters();
    EXPECT_EQ(hops::answerLine(r), "tight link: hop 1 (198.18.1.1) to hop 3 (198.18.3.1), 5 of 6 trains");
    const std::string text = hops::textReport(r);
    EXPECT_NE(text.find("\n  2  *                                                   0/20        -      -\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("\n  1  198.18.1.1                                 0.25    20/20     8.00   5.70\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("its free rate: between 30.0 and 42.0 Mbit/s\n"), std::string::npos) << text;
    EXPECT_NE(text.find("probes: 612.3 kB in 19.0 s, 10 trains\n"), std::string::npos) << text;

    const nlohmann::json j = nlohmann::json::parse(hops::jsonReport(r));
    EXPECT_EQ(j["hops"][1]["address"], nullptr);
    EXPECT_EQ(j["hops"][1]["rtt_ms"], nullptr);
    EXPECT_EQ(j["hops"][1]["arrival_ms"], nlohmann::json::parse("[null, null]"));
    EXPECT_EQ(j["hops"][2]["arrival_ms"][1], 6.7);
    EXPECT_EQ(j["tight_link"]["from_hop"], 1);
    EXPECT_EQ(j["tight_link"]["to_hop"], 3);
    EXPECT_EQ(j["tight_link"]["to"], "198.18.3.1");
    EXPECT_EQ(j["tight_link"]["agree"], 5);
    EXPECT_EQ(j["rates_bps"], nlohmann::json::parse("[30000000.0, 42000000.0]"));
    EXPECT_EQ(j["probe_bytes"], 612345);
    EXPECT_EQ(j["reason"], nullptr);

    const std::string svg = hops::plotSvg(r);
    EXPECT_EQ(tsltest::countOf(svg, "<polyline"), 2);
    EXPECT_NE(svg.find("hops to &lt;lab&gt;"), std::string::npos);

    r.decision = hops::decide({{30e6, {Span{}, Span{}}}});
    EXPECT_EQ(hops::answerLine(r), "tight link: none: no hop squeezed a train at up to 30.0 Mbit/s");
    const nlohmann::json none = nlohmann::json::parse(hops::jsonReport(r));
    EXPECT_EQ(none["tight_link"], nullptr);
    EXPECT_EQ(none["reason"], "no hop squeezed a train at up to 30.0 Mbit/s");
}

}  // namespace
