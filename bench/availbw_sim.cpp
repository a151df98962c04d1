// SPDX-License-Identifier: MIT
// availbw_sim.cpp - the estimator over simulated paths: for each path, many
// measurements with different seeds, the estimate against the truth the
// simulator's counters give (the capacity less what the cross traffic and
// elastic flows used over the measurement), whether the range held it, and
// the verdict curve (the share of search streams that read rising, by their
// rate over the truth) behind it.
//
//   bench_availbw_sim [RUNS] [PATH-NAME ...]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "availest.h"
#include "simpath.h"

namespace {

struct Scenario {
    std::string name;
    simpath::Config config;
    double timescale = 0;
};

simpath::Hop hop(double mbit, double crossShare, double burstMs, simpath::Cross kind = simpath::Cross::Steady) {
    simpath::Hop h;
    h.kind = kind;
    h.capacity = mbit * 1e6;
    h.cross = mbit * 1e6 * crossShare;
    h.burstPeriod = burstMs / 1e3;
    h.queueBytes = std::max(32768.0, mbit * 1e6 / 8 * 0.05);  // as the lab's shaper: 50 ms
    return h;
}

simpath::Config path(std::vector<simpath::Hop> hops) {
    simpath::Config c;
    c.hops = std::move(hops);
    c.baseRtt = 200e-6;         // the lab's veth path
    c.stampJitter = 10e-6;      // the shaper's timer releases replies a little late
    c.sendJitter = 5e-6;        // a real sender: each packet a little late,
    c.sendStretch = 0.005;      // and a rate a little lower than asked
    c.overheadBytes = 14;       // the lab's shapers count Ethernet frames
    return c;
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> all;
    for (double mbit : {10.0, 50.0, 100.0, 200.0})
        for (double share : {0.0, 0.3, 0.6, 0.75}) {
            char name[32];
            std::snprintf(name, sizeof name, "%g/%g%%", mbit, share * 100);
            all.push_back({name, path({hop(mbit, share, 1)})});
        }
    all.push_back({"tight", path({hop(40, 0, 1), hop(100, 0.75, 1)})});
    Scenario loss1{"loss1", path({hop(50, 0.4, 1)})};
    loss1.config.lossReplies = 0.01;
    all.push_back(loss1);
    Scenario loss3{"loss3", path({hop(50, 0.4, 1)})};
    loss3.config.lossReplies = 0.03;
    all.push_back(loss3);
    Scenario loss15{"loss15", path({hop(50, 0, 1)})};
    loss15.config.lossReplies = 0.15;
    all.push_back(loss15);
    Scenario police{"police", path({hop(50, 0.3, 1)})};
    police.config.hops[0].police = true;
    police.config.hops[0].policeBurstBytes = 4542;  // as the lab's policer: three frames
    all.push_back(police);
    Scenario limit{"echo3000", path({hop(50, 0, 1)})};
    limit.config.echoLimitPps = 3000;
    all.push_back(limit);
    Scenario wide{"echo10k/50", path({hop(50, 0, 1)})};  // a limit with a burst larger than a train
    wide.config.echoLimitPps = 10000;
    wide.config.echoBurst = 50;
    all.push_back(wide);
    all.push_back({"burst5", path({hop(50, 0.3, 5)})});
    all.push_back({"burst5/100", path({hop(100, 0.3, 5)})});
    all.push_back({"burst20", path({hop(50, 0.3, 20)})});
    // Heavier bursts 20 ms apart, which fill the link 8 and 10 ms of 20.
    all.push_back({"burst20@50/20", path({hop(50, 0.4, 20)})});
    all.push_back({"burst20@100/50", path({hop(100, 0.5, 20)})});
    // Cross traffic as real paths carry it: at random, in a mix of sizes,
    // in on-off bursts (5 ms on, 5 ms off on average), and TCP-like flows.
    all.push_back({"poisson50/20", path({hop(50, 0.4, 0, simpath::Cross::Poisson)})});
    all.push_back({"poisson100/50", path({hop(100, 0.5, 0, simpath::Cross::Poisson)})});
    all.push_back({"onoff50/20", path({hop(50, 0.4, 0, simpath::Cross::OnOff)})});
    all.push_back({"onoff100/40", path({hop(100, 0.4, 0, simpath::Cross::OnOff)})});
    all.push_back({"mix50/20", path({hop(50, 0.4, 0, simpath::Cross::Mix)})});
    // On-off bursts that overload the link: 140 Mbit/s through 100 for 20
    // ms, then 20 ms off, on average.
    Scenario overload{"onoff20@100/70", path({hop(100, 0.7, 0, simpath::Cross::OnOff)})};
    overload.config.hops[0].onSeconds = overload.config.hops[0].offSeconds = 0.02;
    all.push_back(overload);
    // Their round trips: 15 to 25 ms, as over a wide-area path, or 0.2 ms
    // as between the lab's namespaces, where the queue is all of it.
    for (int flows : {1, 4})
        for (double rtt : {0.02, 0.0002}) {
            std::string name = "tcp" + std::to_string(flows) + "/50" + (rtt < 0.001 ? "lan" : "");
            Scenario tcp{name, path({hop(50, 0, 0)})};
            tcp.config.hops[0].elasticFlows = flows;
            tcp.config.hops[0].elasticRtt = rtt;
            all.push_back(tcp);
        }
    // One flow held by a receiver's window of 10 packets on the lab's short
    // path: it keeps some 2 ms queued and never loses, as iperf3's did in
    // the lab (where the tool read about 15 Mbit/s free before it knew such
    // flows, as it does here).
    Scenario held{"tcp1/50win", path({hop(50, 0, 0)})};
    held.config.hops[0].elasticFlows = 1;
    held.config.hops[0].elasticRtt = 0.0002;
    held.config.hops[0].elasticWindow = 10;
    all.push_back(held);
    // A window of 8 keeps about 7 packets queued: a stream raises the queue
    // only until the flow has slowed, within its first milliseconds, and its
    // halves gain next to nothing.
    Scenario small{"tcp1/50win8", path({hop(50, 0, 0)})};
    small.config.hops[0].elasticFlows = 1;
    small.config.hops[0].elasticRtt = 0.0002;
    small.config.hops[0].elasticWindow = 8;
    all.push_back(small);
    // A window of 32 packets keeps some 7 ms queued, longer than a stream at
    // the capacity lasts: only the lighter, longer streams show it give way.
    Scenario deep{"tcp1/50win32", path({hop(50, 0, 0)})};
    deep.config.hops[0].elasticFlows = 1;
    deep.config.hops[0].elasticRtt = 0.0002;
    deep.config.hops[0].elasticWindow = 32;
    all.push_back(deep);
    // Four flows held by windows of 24 keep some 20 ms queued together, as
    // four TCP flows did in the lab: no stream finds the queue empty.
    Scenario four{"tcp4/50win24", path({hop(50, 0, 0)})};
    four.config.hops[0].elasticFlows = 4;
    four.config.hops[0].elasticRtt = 0.0002;
    four.config.hops[0].elasticWindow = 24;
    all.push_back(four);
    // Over a 10 ms round trip they hold their queue level, and streams within
    // it read about 1.6 Mbit/s free; loss-driven flows, as the lab's, keep
    // the queue wandering by a few milliseconds, which the first light
    // streams' floors tell.
    for (double wander : {0.0, 0.0025}) {
        Scenario wide{wander > 0 ? "tcp4/50w32saw" : "tcp4/50w32", path({hop(50, 0, 0)})};
        wide.config.hops[0].elasticFlows = 4;
        wide.config.hops[0].elasticRtt = 0.01;
        wide.config.hops[0].elasticWindow = 32;
        wide.config.wander = wander;
        all.push_back(wide);
    }
    Scenario burst20ts{"burst20/100", path({hop(50, 0.3, 20)}), 0.1};
    all.push_back(burst20ts);
    return all;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Bins of the rate over the truth for the verdict curve.
const double kEdges[] = {0.8, 0.9, 0.95, 0.98, 1.0, 1.02, 1.05, 1.1, 1.2, 1e9};
constexpr int kBins = sizeof kEdges / sizeof kEdges[0] - 1;

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 20;
    std::printf("# %d runs per path, simulated; rates in Mbit/s (IP bits of the stream packets); truth: the\n"
                "# capacity less what others used over the run, by the simulator's counters; held: runs whose\n"
                "# range held the truth; ans: runs that answered; <=+C/10: answers at most the truth plus a tenth\n"
                "# of the capacity; elastic: runs that said yes/no/cannot tell; burst: runs that found others' bursts\n"
                "# far apart (streams grew to span them, or streams at the capacity one gap long measured them);\n"
                "# windows: answers from streams at the capacity (traffic that comes and goes, or such bursts), and\n"
                "# how many of those held; own: answers from the streams' own windows (their verdicts disagreed),\n"
                "# and how many of those held; bytes: the median run's; secs: the mean\n",
                runs);
    std::printf("%-13s %8s | %8s [%8s-%8s] %3s %3s %4s %3s %7s %8s %5s %7s %5s | %7s %6s | rising share by rate/truth:",
                "path", "truth", "median", "min", "max", "5%", "10%", "held", "ans", "<=+C/10", "elastic", "burst",
                "windows", "own", "bytes", "secs");
    for (int b = 0; b < kBins; ++b) std::printf(" <%g", kEdges[b + 1]);
    std::printf("\n");
    for (const Scenario& sc : scenarios()) {
        bool wanted = argc <= 2;
        for (int i = 2; i < argc; ++i) wanted |= sc.name == argv[i];
        if (!wanted) continue;
        std::vector<double> ratios, values, bytes;
        double truthSum = 0, secs = 0;
        int ok = 0, within5 = 0, within10 = 0, held = 0, bounded = 0, rising[kBins] = {}, judged[kBins] = {};
        int elastic[3] = {};  // yes, no, cannot tell
        int lengthened = 0;   // runs that found others' bursts far apart
        int windowed = 0, windowHeld = 0;  // answers from streams at the capacity, and held
        int own = 0, ownHeld = 0;          // answers from the streams' own windows, and held
        std::string reasons;
        for (int run = 0; run < runs; ++run) {
            simpath::Config c = sc.config;
            c.seed = 1000 + run;
            simpath::Path sim(c);
            avl_options o;
            avl_default_options(&o);
            o.timescale_s = sc.timescale;
            const avl_path p = sim.path();
            avl_result r{};
            const int status = avl_measure_path(&p, &o, &r, nullptr, nullptr);
            const double truth = sim.unusedRate(0, sim.now(), r.packet_bytes > 0 ? r.packet_bytes : 400);
            ++elastic[r.elastic == AVL_ELASTIC_YES ? 0 : r.elastic == AVL_ELASTIC_NO ? 1 : 2];
            lengthened += r.burst_gap_s > 0;
            truthSum += truth;
            bytes.push_back(r.probe_bytes);
            secs += r.duration_s;
            if (status == 0) {
                ++ok;
                values.push_back(r.available_bps / 1e6);
                const double q = r.available_bps / truth;
                ratios.push_back(q);
                within5 += std::fabs(q - 1) <= 0.05;
                within10 += std::fabs(q - 1) <= 0.10;
                held += r.low_bps <= truth && truth <= r.high_bps;
                bounded += r.available_bps <= truth + sc.config.hops[0].capacity / 10;
                windowed += r.free_spread > 0;
                windowHeld += r.free_spread > 0 && r.low_bps <= truth && truth <= r.high_bps;
                own += r.from_windows;
                ownHeld += r.from_windows && r.low_bps <= truth && truth <= r.high_bps;
            } else if (reasons.size() < 200) {
                reasons += std::string(" [") + r.reason + "]";
            }
            for (int i = 0; i < r.nstreams; ++i) {
                const avl_stream& s = r.streams[i];
                if (s.kind != AVL_KIND_SEARCH || s.void_stream || truth <= 0) continue;
                const double q = s.sent_rate_bps / truth;
                for (int b = 0; b < kBins; ++b)
                    if (q >= kEdges[b] && q < kEdges[b + 1]) {
                        ++judged[b];
                        rising[b] += s.verdict == AVL_RISING;
                    }
            }
            avl_free_result(&r);
        }
        const double truth = truthSum / runs / 1e6;
        char elastics[16];
        std::snprintf(elastics, sizeof elastics, "%d/%d/%d", elastic[0], elastic[1], elastic[2]);
        char windows[32];
        std::snprintf(windows, sizeof windows, "%d/%d", windowed, windowHeld);
        char owns[32];
        std::snprintf(owns, sizeof owns, "%d/%d", own, ownHeld);
        std::printf("%-13s %8.2f | %8.2f [%8.2f-%8.2f] %3d %3d %4d %3d %7d %8s %5d %7s %5s | %7.0f %6.3f |", sc.name.c_str(), truth,
                    median(values), values.empty() ? 0 : *std::min_element(values.begin(), values.end()),
                    values.empty() ? 0 : *std::max_element(values.begin(), values.end()), within5, within10, held,
                    ok, bounded, elastics, lengthened, windows, owns, median(bytes), secs / runs);
        for (int b = 0; b < kBins; ++b) {
            if (judged[b] == 0) std::printf("     -");
            else std::printf(" %5.2f", static_cast<double>(rising[b]) / judged[b]);
        }
        std::printf("  (median ratio %.3f)%s\n", median(ratios), ok < runs ? reasons.c_str() : "");
    }
    return 0;
}
