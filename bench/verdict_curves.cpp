// SPDX-License-Identifier: MIT
// verdict_curves.cpp - how often the trend test reads a stream as rising, by
// the stream's rate over the free rate, on simulated bottlenecks carrying
// each kind of cross traffic.  Streams are built and judged as the estimator
// builds and judges its search streams: a lead of packets back to back, then
// the packets at the rate; the delays of the packets at the rate cut into
// groups of at least a millisecond and judged with a tolerance of 10 us on a
// path that loses nothing on its own.  Each stream runs on a fresh path whose
// cross traffic has been going for a while.  With --host, the same streams go
// over a real path through the engine's stream runner (root or ICMP datagram
// sockets), at rates around a truth measured outside (the lab's shaper
// counters), the rates taken in turn so that a drift of the path's load
// reaches every rate alike.  Variants at 50/30 % follow the table: 1500-byte
// packets, and streams of 30 and 100 ms.
//
//   bench_verdict_curves [STREAMS-PER-POINT]     (400 by default)
//   bench_verdict_curves --host ADDRESS --capacity MBIT --truth MBIT [STREAMS-PER-POINT]
//       (truth: IP bits of packets of the size the capacity gives, as printed)
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "availest.h"
#include "simpath.h"
#include "tuning.h"
#include "tamsel_stream.h"

namespace {

// What the estimator uses for its streams and their judgement: its own
// numbers, not copies.
using namespace availbw::tuning;
constexpr double kStreamBytes = 40000;  // avl_default_options' stream_bytes
constexpr int kMaxPackets = TSL_STREAM_MAX_PACKETS;

const double kRatios[] = {0.80, 0.90, 0.95, 0.98, 1.00, 1.02, 1.05, 1.10, 1.20};

struct Cell {
    double mbit, share;
};

struct Kind {
    const char* name;
    simpath::Cross cross;
    double burstPeriod;
};

simpath::Config pathFor(const Cell& cell, const Kind& kind, uint64_t seed) {
    simpath::Hop h;
    h.capacity = cell.mbit * 1e6;
    h.cross = h.capacity * cell.share;
    h.kind = kind.cross;
    h.burstPeriod = kind.burstPeriod;
    h.queueBytes = std::max(32768.0, h.capacity / 8 * 0.05);  // as the lab's shaper: 50 ms
    simpath::Config c;
    c.hops = {h};
    c.baseRtt = 200e-6;     // the lab's veth path
    c.stampJitter = 10e-6;  // the shaper's timer releases replies a little late
    c.sendJitter = 5e-6;
    c.overheadBytes = 14;
    c.seed = seed;
    return c;
}

struct Tally {
    int rising = 0, flat = 0, unclear = 0;
    double seconds = 0;
};

// A stream as the estimator sends it at rate on a path of this capacity.
struct Stream {
    int bytes = 0, lead = 0;
    double rate = 0, capacity = 0;
    std::vector<int64_t> at;
};

int packetBytesFor(double capacity) {
    return static_cast<int>(std::clamp(capacity * kMinGapUs / 8e6, 400.0, 1500.0));
}

// Variants of the estimator's streams: packets of other sizes, or streams
// of a given length (as with --timescale).
struct Variant {
    const char* name = nullptr;
    int bytes = 0;         // > 0: packets of this many IP bytes
    double seconds = 0;    // > 0: streams this long
};

Stream streamAt(double capacity, double rate, const Variant& v = {}) {
    Stream st;
    st.bytes = v.bytes > 0 ? v.bytes : packetBytesFor(capacity);
    st.rate = rate;
    st.capacity = capacity;
    const auto lasting = [&](double seconds) { return std::ceil(seconds * rate / (8.0 * st.bytes)); };
    const double wanted = std::max(kStreamBytes, capacity * kMinStreamSeconds / 8);
    const double usual = v.seconds > 0 ? lasting(v.seconds)
                                       : std::clamp(std::round(wanted / st.bytes), lasting(kMinStreamSeconds),
                                                    lasting(kMaxStreamSeconds));
    const int packets = static_cast<int>(std::clamp(usual, double{kMinPackets}, double{kMaxPackets}));
    st.lead = (kLeadBytes + st.bytes - 1) / st.bytes;
    const double gapNs = st.bytes * 8e9 / rate;
    for (int i = 0; i < st.lead + packets; ++i) st.at.push_back(i < st.lead ? 0 : std::llround((i - st.lead + 1) * gapNs));
    return st;
}

// Judges a stream as the estimator does: the longest part of the packets at
// the rate that left without a stall, its delays cut into groups of at least
// a millisecond; counts the verdict.
void judge(const Stream& st, const std::vector<int64_t>& depart, const std::vector<int64_t>& arrive, Tally* tally) {
    const int n = static_cast<int>(st.at.size());
    const double gapNs = st.bytes * 8e9 / st.rate;
    int from = st.lead, partFrom = st.lead, longest = 0;
    for (int i = st.lead + 1; i <= n; ++i) {
        if (i < n && (depart[i] - depart[i - 1]) - (st.at[i] - st.at[i - 1]) <= std::max(50000.0, 2 * gapNs)) continue;
        if (i - partFrom > longest) longest = i - partFrom, from = partFrom;
        partFrom = i;
    }
    const int to = from + longest;
    if (longest < std::max(kMinPackets, (3 * (n - st.lead) + 4) / 5)) {
        ++tally->unclear;  // the sender stalled: the estimator would void it
        return;
    }
    std::vector<double> delays;
    int lost = 0;
    for (int i = from; i < to; ++i) {
        if (arrive[i] == AVL_LOST) ++lost;
        else delays.push_back((arrive[i] - depart[i]) / 1e9);
    }
    const double span = (depart[to - 1] - depart[from]) / 1e9;
    tally->seconds += span;
    const int groups = std::max(3, static_cast<int>(span / kShortestGroup));
    avl_trend t;
    const double tolerance = std::max(kStampJitter, kLeastOverload * st.rate * span / st.capacity);
    const int verdict = avl_judge_delays(delays.data(), static_cast<int>(delays.size()), lost, 0, groups, tolerance, &t);
    if (verdict == AVL_RISING) ++tally->rising;
    else if (verdict == AVL_FLAT) ++tally->flat;
    else ++tally->unclear;
}

// One stream at q times the free rate on a fresh simulated path.
void oneStream(const Cell& cell, const Kind& kind, double q, uint64_t seed, Tally* tally, const Variant& v = {}) {
    simpath::Path sim(pathFor(cell, kind, seed));
    const double capacity = cell.mbit * 1e6;
    const int bytes = v.bytes > 0 ? v.bytes : packetBytesFor(capacity);
    const Stream st = streamAt(capacity, q * sim.freeRate(bytes), v);
    const int n = static_cast<int>(st.at.size());
    std::vector<int64_t> depart(n), arrive(n);
    // The cross traffic has run 50 to 100 ms when the stream starts.
    sim.pause(0.05 + 0.05 * (seed % 97) / 97.0);
    const avl_path p = sim.path();
    if (p.send(p.context, n, st.bytes - p.header_bytes, st.at.data(), depart.data(), arrive.data(), 1000000000) < 0) {
        ++tally->unclear;
        return;
    }
    judge(st, depart, arrive, tally);
}

void printRow(const char* cell, const char* kind, int bytes, const std::vector<Tally>& tallies, int streams) {
    int unclear = 0;
    for (const Tally& t : tallies) unclear += t.unclear;
    std::printf("%-13s %-8s %5d %6.1f |", cell, kind, bytes, tallies[4].seconds / streams * 1e3);
    for (const Tally& t : tallies) {
        const int judged = t.rising + t.flat;
        if (judged == 0) std::printf("     -");
        else std::printf(" %5.2f", static_cast<double>(t.rising) / judged);
    }
    std::printf(" | %d\n", unclear);
    std::fflush(stdout);
}

void printHeader() {
    std::printf("%-13s %-8s %5s %6s |", "cell", "kind", "bytes", "ms@1.0");
    for (double q : kRatios) std::printf(" %5.2f", q);
    std::printf(" | unclear\n");
}

// The curve over a real path: streams round the rates in turn, each after
// a pause that lets the queue it built drain.
int overRealPath(const char* host, double capacity, double truth, int streams) {
    tsl_stream_session* session = nullptr;
    if (tsl_stream_open_with(&session, host, TSL_STREAM_ANY, TSL_STREAM_ANY_KIND) != 0) {
        std::fprintf(stderr, "bench_verdict_curves: cannot open a stream session to %s\n", host);
        return 1;
    }
    static_assert(TSL_STREAM_LOST == AVL_LOST, "lost replies are marked alike");
    std::vector<Tally> tallies(std::size(kRatios));
    for (int i = 0; i < streams; ++i)
        for (size_t k = 0; k < std::size(kRatios); ++k) {
            const Stream st = streamAt(capacity, kRatios[k] * truth);
            const int n = static_cast<int>(st.at.size());
            std::vector<int64_t> depart(n), arrive(n);
            const int got = tsl_stream_run(session, n, st.bytes - tsl_stream_header_bytes(session), st.at.data(),
                                           depart.data(), arrive.data(), 200000000, nullptr);
            if (got < 0) {
                std::fprintf(stderr, "bench_verdict_curves: %s\n", tsl_stream_strerror(got));
                tsl_stream_close(session);
                return 1;
            }
            judge(st, depart, arrive, &tallies[k]);
            const timespec pause{0, 30000000 + static_cast<long>(st.at.back())};
            nanosleep(&pause, nullptr);
        }
    tsl_stream_close(session);
    std::printf("# share of streams judged rising by rate/truth over %s, %d streams a point; truth %.2f Mbit/s\n", host,
                streams, truth / 1e6);
    printHeader();
    char cell[32];
    std::snprintf(cell, sizeof cell, "%g", capacity / 1e6);
    printRow(cell, "real", packetBytesFor(capacity), tallies, streams);
    // Streams the sender stalled in are void, as the estimator voids them.
    std::printf("%-13s %-8s %5s %6s |", "", "judged", "", "");
    for (const Tally& t : tallies) std::printf(" %5d", t.rising + t.flat);
    std::printf(" |\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--host") == 0) {
        if (argc < 7 || std::strcmp(argv[3], "--capacity") != 0 || std::strcmp(argv[5], "--truth") != 0) {
            std::fprintf(stderr, "usage: bench_verdict_curves --host ADDRESS --capacity MBIT --truth MBIT [STREAMS]\n");
            return 2;
        }
        const double capacity = std::atof(argv[4]) * 1e6, truth = std::atof(argv[6]) * 1e6;
        if (!(capacity > 0 && truth > 0)) return 2;
        return overRealPath(argv[2], capacity, truth, argc > 7 ? std::max(1, std::atoi(argv[7])) : 100);
    }
    const int streams = argc > 1 ? std::max(1, std::atoi(argv[1])) : 400;
    const Cell cells[] = {{50, 0.3}, {100, 0.5}, {10, 0.6}};
    const Kind kinds[] = {{"steady", simpath::Cross::Steady, 0.001},
                          {"poisson", simpath::Cross::Poisson, 0},
                          {"mix", simpath::Cross::Mix, 0},
                          {"onoff", simpath::Cross::OnOff, 0}};
    std::printf("# share of streams judged rising by rate/truth, %d streams a point, simulated;\n", streams);
    std::printf("# steady: 1 ms bursts of 1228 B; poisson: 1228 B, exponential gaps; mix: 40/576/1500 B 7:4:1,\n");
    std::printf("# exponential gaps; onoff: 1228 B paced at twice the mean, exponential 5 ms on and off periods\n");
    printHeader();
    for (const Cell& cell : cells)
        for (const Kind& kind : kinds) {
            char name[32];
            std::snprintf(name, sizeof name, "%g/%g%%", cell.mbit, cell.share * 100);
            std::vector<Tally> tallies;
            for (double q : kRatios) {
                Tally t;
                // The same seeds at every rate, so that the curve's steps
                // are the rate's and not the luck of the draw.
                for (int i = 0; i < streams; ++i) oneStream(cell, kind, q, 7919u * i + 17, &t);
                tallies.push_back(t);
            }
            printRow(name, kind.name, packetBytesFor(cell.mbit * 1e6), tallies, streams);
        }
    // How the curves at 50/30 % move with the packet size and the stream's
    // length (the estimator's own choice is 400 B and about 9 ms there).
    std::printf("# variants at 50/30 %%: 1500 B packets; streams of 30 ms and of 100 ms (400 B)\n");
    const Variant variants[] = {{"1500B", 1500, 0}, {"30ms", 0, 0.03}, {"100ms", 0, 0.1}};
    for (const Variant& v : variants)
        for (const Kind& kind : kinds) {
            std::vector<Tally> tallies;
            for (double q : kRatios) {
                Tally t;
                for (int i = 0; i < streams; ++i) oneStream(cells[0], kind, q, 7919u * i + 17, &t, v);
                tallies.push_back(t);
            }
            char name[32];
            std::snprintf(name, sizeof name, "50/30%%%s", v.name);
            printRow(name, kind.name, v.bytes > 0 ? v.bytes : packetBytesFor(50e6), tallies, streams);
        }
    return 0;
}
