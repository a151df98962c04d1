// SPDX-License-Identifier: MIT
// run.cpp - the watch itself: the clock, the signals, the measurements and
// the files.  What it prints and draws comes from the pure functions beside it.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "report.h"
#include "watch.h"

namespace watch {

namespace {

// Set by SIGINT or SIGTERM; the measurement under way and the wait between
// measurements look at it.
volatile sig_atomic_t gStop = 0;

void onStop(int) { gStop = 1; }

// No SA_RESTART: a wait that the signal interrupts returns at once.
void installStopHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onStop;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM}) sigaction(sig, &sa, nullptr);
}

double monotonicS() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int64_t unixMsNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits until the monotonic clock reads untilS, in slices of at most 50 ms
// so that a signal that came just before a slice still ends it promptly.
void waitUntil(double untilS) {
    for (int slices = 0; !gStop && slices < 100000000; ++slices) {
        const double left = untilS - monotonicS();
        if (left <= 0) return;
        const double slice = std::min(left, 0.05);
        timespec ts{static_cast<time_t>(slice), static_cast<long>((slice - std::floor(slice)) * 1e9)};
        nanosleep(&ts, nullptr);
    }
}

int stopRequested(void*, const avl_result*) { return gStop ? 1 : 0; }

// Why a measurement that failed before its probes has no estimate.
std::string errorReason(int measured, int error) {
    switch (measured) {
        case AVL_ERR_HOST: return "the host does not resolve";
        case AVL_ERR_SOCKET: return std::string("no ICMP socket: ") + std::strerror(error);
        case AVL_ERR_OPTIONS: return "the measurement refused its options";
        default: return "out of memory";
    }
}

// The error of the write to standard output that failed.
int gOutputErrno = 0;

// Standard output, one record at a time, flushed: false once a write has failed.
bool emit(const std::string& text) {
    if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0) return true;
    gOutputErrno = errno;
    return false;
}

class Watch {
public:
    explicit Watch(const Config& c) : c_(c) {}

    int run(int* measureError, int* measureErrno);

private:
    bool measureOnce(int* measureError, int* measureErrno);
    bool announce(const avl_result* first);
    void redraw();

    const Config& c_;
    std::vector<Sample> samples_;
    std::vector<Change> changes_;
    ChangeDetector detector_;
    int64_t startMs_ = 0;
    bool announced_ = false;
    bool outputFailed_ = false;
    bool plotFailed_ = false;
};

// The start record or the text header, once, from the first measurement.
bool Watch::announce(const avl_result* first) {
    if (announced_) return true;
    announced_ = true;
    Start s;
    s.host = c_.host;
    if (first != nullptr) s.address.assign(first->address, strnlen(first->address, sizeof first->address));
    s.version = c_.version;
    s.intervalS = c_.intervalS;
    s.count = c_.count;
    s.unixMs = startMs_;
    if (first != nullptr) {
        s.firstBytes = first->probe_bytes;
        s.budgetBytes = first->max_bytes > 0 ? first->max_bytes : c_.options.max_bytes;
        s.capacityBps = first->capacity_bps > 0 ? first->capacity_bps : 0;
    }
    return emit(c_.json ? startJson(s) : textStart(s));
}

void Watch::redraw() {
    if (c_.plotPath == nullptr || plotFailed_) return;
    if (!writeAtomically(c_.plotPath, plotSvg(samples_, changes_, c_.host))) {
        std::fprintf(stderr, "availbw: cannot write the plot to %s: %s\n", c_.plotPath,
                     errno == EEXIST ? "not a regular file" : std::strerror(errno));
        plotFailed_ = true;
    }
}

// One measurement and what follows from it.  False when the watch must end:
// the measurement was abandoned, output failed, or the first one could not
// start (then *measureError is set).
bool Watch::measureOnce(int* measureError, int* measureErrno) {
    const int64_t startedMs = unixMsNow();
    if (samples_.empty()) startMs_ = startedMs;
    avl_result r{};
    const int measured = c_.session != nullptr
                             ? avl_measure_session(c_.session, &c_.options, &r, stopRequested, nullptr)
                             : avl_measure(c_.host, &c_.options, &r, stopRequested, nullptr);
    const int error = errno;
    if (measured < 0 && samples_.empty()) {
        *measureError = measured;
        *measureErrno = error;
        avl_free_result(&r);
        return false;
    }
    if (gStop) {  // abandoned: it would not be a whole measurement
        avl_free_result(&r);
        return false;
    }
    Sample s = sampleOf(r, startedMs);
    if (measured < 0) s.reason = errorReason(measured, error);
    // The keys of a single run's object, the status it would end with and
    // the version included.
    availbw::ReportOptions single;
    single.version = c_.version;
    single.status = measured == 0 ? 0 : 2;
    const std::string runJson = c_.json && measured >= 0 ? availbw::jsonReport(r, c_.host, single) : "";
    if (!announce(measured >= 0 ? &r : nullptr)) outputFailed_ = true;
    samples_.push_back(s);
    std::string out = c_.json ? sampleJson(runJson, r, s, c_.streams) : textSample(s);
    avl_free_result(&r);
    if (s.answered) {
        if (const auto change = detector_.add(samples_.size() - 1, s.estimateBps, s.lowBps, s.highBps)) {
            changes_.push_back(*change);
            out += c_.json ? changeJson(*change, samples_) : textChange(*change, samples_);
        }
    }
    if (!outputFailed_ && !emit(out)) outputFailed_ = true;
    redraw();
    return !outputFailed_;
}

int Watch::run(int* measureError, int* measureErrno) {
    gStop = 0;
    installStopHandlers();
    if (c_.plotPath != nullptr) {
        redraw();  // an empty picture at once: a name that cannot be written fails before any probe
        if (plotFailed_) return 1;
    }
    const double began = monotonicS();
    Schedule schedule(c_.intervalS, began, std::random_device{}());
    bool warned = false;
    const char* ended = "count";
    for (int k = 0; c_.count == 0 || k < c_.count; ++k) {
        if (k > 0) {
            bool late = false;
            const double start = schedule.next(monotonicS(), &late);
            if (late && !warned) {
                std::fprintf(stderr,
                             "availbw: a measurement took longer than the interval of %g s; the next starts "
                             "right after it\n", c_.intervalS);
                warned = true;
            }
            waitUntil(start);
        }
        if (gStop) break;
        if (!measureOnce(measureError, measureErrno)) {
            if (samples_.empty() && *measureError < 0) return -1;
            break;
        }
    }
    if (gStop) ended = "signal";
    if (outputFailed_) ended = "output";
    if (!outputFailed_) {
        if (!announce(nullptr)) outputFailed_ = true;
        const Summary summary = summarize(samples_, static_cast<int>(changes_.size()), monotonicS() - began);
        if (c_.json) outputFailed_ = !emit(endJson(summary, unixMsNow(), ended)) || outputFailed_;
        else outputFailed_ = !emit(textSummary(summary, c_.host)) || outputFailed_;
    }
    if (outputFailed_) {
        std::fprintf(stderr, "availbw: cannot write to standard output: %s\n", std::strerror(gOutputErrno));
        return 1;
    }
    if (plotFailed_) return 1;
    for (const Sample& s : samples_)
        if (s.answered) return 0;
    return 2;
}

}  // namespace

int run(const Config& config, int* measureError, int* measureErrno) {
    *measureError = 0;
    *measureErrno = 0;
    Watch w(config);
    return w.run(measureError, measureErrno);
}

}  // namespace watch
