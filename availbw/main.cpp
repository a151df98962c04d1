// SPDX-License-Identifier: MIT
// main.cpp - the program availbw: the command line, a progress line while the
// measurement runs, the report (text or JSON), the optional SVG picture, and
// the exit status that tells how it went.
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "availest.h"
#include "hops.h"
#include "plot.h"
#include "report.h"

#ifndef AVAILBW_VERSION
#error "AVAILBW_VERSION must be defined by the build"
#endif

namespace {

// Exit statuses.
constexpr int kEstimate = 0;
constexpr int kUsage = 1;  // bad usage, unknown host, a plot file that cannot be written
constexpr int kNoEstimate = 2;
constexpr int kNoSocket = 5;

// Limits of the option values (the library takes no more than these).
constexpr double kMaxBytes = 1e12;
constexpr double kMaxSeconds = 3600;
constexpr double kMinTimescaleMs = 1, kMaxTimescaleMs = 10000;

const char kUsageLine[] =
    "Usage: availbw [--json] [--max-bytes BYTES] [--max-time SECONDS] [--timescale MS] [--plot FILE.svg] [-q] "
    "HOST\n";

struct Settings {
    bool json = false;
    bool quiet = false;
    const char* plotPath = nullptr;
    const char* host = nullptr;
    avl_options options{};
};

void printHelp() {
    avl_options d;
    avl_default_options(&d);
    std::printf("%s", kUsageLine);
    std::printf(
        "Measure the bandwidth still free on the path to HOST (a name, or an IPv4 or\n"
        "IPv6 address): streams of ICMP echo requests at chosen rates, and whether\n"
        "their delays rise because they fill a queue.  Rates are IP bits per second,\n"
        "headers included.  Sends on a raw ICMP socket (root, or cap_net_raw on the\n"
        "program), else on an ICMP datagram socket (a group inside\n"
        "net.ipv4.ping_group_range).\n"
        "\n"
        "  -4, -6              only an IPv4 or only an IPv6 address of HOST (default:\n"
        "                      the first address the resolver gives)\n"
        "  --json              one JSON object on standard output instead of the text\n"
        "  --max-bytes BYTES   stop once the probes cost this many IP bytes, sent and\n"
        "                      received; a whole or decimal number, with k or K for\n"
        "                      thousands and M for millions (500k, 2M); default\n"
        "                      automatic: 1M, or what ten streams at the capacity\n"
        "                      cost when that is more (long streams, fast paths)\n"
        "  --max-time SECONDS  stop after this long, decimals allowed; default\n"
        "                      automatic: 1 s, or with --timescale 40 times the time\n"
        "                      scale when that is longer\n"
        "  --timescale MS      every stream lasts MS milliseconds, %g to %g; the figure\n"
        "                      is the free rate over that span (default: streams of\n"
        "                      %d kB or more on fast paths, 4 to 30 ms long)\n"
        "  --plot FILE.svg     also draw the streams and the result into an SVG file\n"
        "  -q, --quiet         no progress line on standard error\n"
        "  --hops HOST         instead: which link of the path is the tight one (its\n"
        "                      own options: availbw --hops HOST --help)\n"
        "      --help          show this help and exit\n"
        "      --version       show the version and exit\n"
        "\n"
        "Exit status: 0 an estimate; 1 bad usage, unknown host, or the plot file could\n"
        "not be written; 2 no estimate (the reason is on standard error); 5 no ICMP\n"
        "socket of either kind.\n",
        kMinTimescaleMs, kMaxTimescaleMs, d.stream_bytes / 1000);
}

int usageError(const char* message) {
    if (message != nullptr) std::fprintf(stderr, "availbw: %s\n", message);
    std::fprintf(stderr, "%sTry 'availbw --help' for more.\n", kUsageLine);
    return kUsage;
}

int badValue(const char* option, const char* text, const char* wanted) {
    std::fprintf(stderr, "availbw: invalid value '%s' for %s: %s\n", text, option, wanted);
    return kUsage;
}

// A plain decimal number: digits with at most one point, at least one digit,
// no sign, exponent, blank or anything after it.  Returns the characters read
// (0: none), so a caller can take a suffix after them.
size_t readDecimal(const char* text, double* value) {
    size_t n = 0, digits = 0;
    bool point = false;
    for (; text[n] != '\0'; ++n) {
        if (text[n] >= '0' && text[n] <= '9') ++digits;
        else if (text[n] == '.' && !point) point = true;
        else break;
    }
    if (digits == 0) return 0;
    *value = std::strtod(std::string(text, n).c_str(), nullptr);
    return n;
}

// A decimal number within [low, high] (low itself excluded when open) and
// nothing after it.
bool decimalIn(const char* text, double low, double high, bool open, double* value) {
    const size_t n = readDecimal(text, value);
    return n > 0 && text[n] == '\0' && (open ? *value > low : *value >= low) && *value <= high;
}

// A byte count: a decimal number and an optional k, K (1000) or M (1000000).
bool byteCount(const char* text, int64_t* bytes) {
    double value = 0;
    const size_t n = readDecimal(text, &value);
    if (n == 0) return false;
    const char* suffix = text + n;
    double scale = 1;
    if (*suffix == 'k' || *suffix == 'K') scale = 1e3, ++suffix;
    else if (*suffix == 'M') scale = 1e6, ++suffix;
    if (*suffix != '\0') return false;
    const double total = std::round(value * scale);
    if (total < 1 || total > kMaxBytes) return false;
    *bytes = static_cast<int64_t>(total);
    return true;
}

enum Option { kJson = 1000, kMaxBytesOption, kMaxTime, kTimescale, kPlot, kHelp, kVersion };

const option kLongOptions[] = {
    {"json", no_argument, nullptr, kJson},
    {"max-bytes", required_argument, nullptr, kMaxBytesOption},
    {"max-time", required_argument, nullptr, kMaxTime},
    {"timescale", required_argument, nullptr, kTimescale},
    {"plot", required_argument, nullptr, kPlot},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

const char* optionName(int code) {
    for (const option& o : kLongOptions)
        if (o.name != nullptr && o.val == code) return o.name;
    return "?";
}

// Reads the command line into s.  Returns -1 to go on and measure, or the
// exit status (after --help, --version or a usage error).
int parseCommandLine(int argc, char** argv, Settings* s) {
    avl_default_options(&s->options);
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, ":q46", kLongOptions, nullptr)) != -1) {
        switch (code) {
            case '4':
            case '6':
                if (s->options.family != AVL_FAMILY_ANY && s->options.family != (code == '4' ? 4 : 6))
                    return usageError("-4 and -6 exclude each other");
                s->options.family = code == '4' ? AVL_FAMILY_IPV4 : AVL_FAMILY_IPV6;
                break;
            case kJson: s->json = true; break;
            case 'q': s->quiet = true; break;
            case kMaxBytesOption:
                if (!byteCount(optarg, &s->options.max_bytes))
                    return badValue("--max-bytes", optarg,
                                    "give a byte count from 1 to 1000000M, with k, K or M for thousands or millions");
                break;
            case kMaxTime:
                if (!decimalIn(optarg, 0, kMaxSeconds, true, &s->options.max_seconds))
                    return badValue("--max-time", optarg, "give seconds, more than 0 and at most 3600");
                break;
            case kTimescale: {
                double ms = 0;
                if (!decimalIn(optarg, kMinTimescaleMs, kMaxTimescaleMs, false, &ms))
                    return badValue("--timescale", optarg, "give milliseconds from 1 to 10000");
                s->options.timescale_s = ms / 1e3;
                break;
            }
            case kPlot:
                if (optarg[0] == '\0') return badValue("--plot", optarg, "give the name of the SVG file to write");
                s->plotPath = optarg;
                break;
            case kHelp: printHelp(); return kEstimate;
            case kVersion: std::printf("availbw (tamsel suite) %s\n", AVAILBW_VERSION); return kEstimate;
            case ':': {
                const std::string message =
                    optopt >= kJson ? std::string("--") + optionName(optopt) + " needs a value" : "an option needs a value";
                return usageError(message.c_str());
            }
            default: {
                std::string message = std::string("unknown option '") + argv[optind - 1] + "'";
                if (optopt >= kJson) message = std::string("--") + optionName(optopt) + " takes no value";
                else if (optopt != 0) message = std::string("unknown option '-") + static_cast<char>(optopt) + "'";
                return usageError(message.c_str());
            }
        }
    }
    if (optind == argc) return usageError("no HOST given");
    if (argc - optind > 1) {
        const std::string message = std::string("one HOST only, not '") + argv[optind] + "' and '" +
                                    argv[optind + 1] + "'";
        return usageError(message.c_str());
    }
    s->host = argv[optind];
    return -1;
}

// What a signal handler may need to undo: the temporary plot file and the
// progress line.  Written before the handlers are installed.
char gTempPath[PATH_MAX];
volatile sig_atomic_t gProgressShown = 0;

void onSignal(int sig) {
    if (gTempPath[0] != '\0') unlink(gTempPath);
    if (gProgressShown) {
        static const char kClear[] = "\r\033[K";
        [[maybe_unused]] const ssize_t n = write(STDERR_FILENO, kClear, sizeof kClear - 1);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

// The plot file, made in two steps: a temporary file beside it before the
// measurement (so a name that cannot be written fails before any probe is
// sent), renamed over the name once it is written.
class PlotFile {
public:
    bool open(const char* path) {
        path_ = path;
        struct stat st;
        if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            return false;
        }
        const char* slash = std::strrchr(path, '/');
        const std::string dir = slash == nullptr ? "." : std::string(path, slash - path);
        const std::string pattern = dir + "/.availbw-plot-XXXXXX";
        if (pattern.size() >= sizeof gTempPath) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(gTempPath, pattern.c_str(), pattern.size() + 1);
        fd_ = mkstemp(gTempPath);
        if (fd_ < 0) gTempPath[0] = '\0';
        return fd_ >= 0;
    }

    // Writes the document and puts it in place; false with errno on failure.
    bool commit(const std::string& svg) {
        const mode_t mask = umask(0);
        umask(mask);
        int error = fchmod(fd_, 0666 & ~mask) == 0 ? 0 : errno;
        for (size_t done = 0; error == 0 && done < svg.size();) {
            const ssize_t n = write(fd_, svg.data() + done, svg.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) error = n < 0 ? errno : EIO;
            else done += static_cast<size_t>(n);
        }
        if (close(fd_) != 0 && error == 0) error = errno;
        fd_ = -1;
        if (error == 0 && rename(gTempPath, path_) != 0) error = errno;
        if (error != 0) unlink(gTempPath);
        gTempPath[0] = '\0';
        errno = error;
        return error == 0;
    }

    void discard() {
        if (fd_ < 0) return;
        close(fd_);
        fd_ = -1;
        unlink(gTempPath);
        gTempPath[0] = '\0';
    }

    ~PlotFile() { discard(); }

private:
    const char* path_ = nullptr;
    int fd_ = -1;
};

// The progress line on standard error, rewritten in place after each stream.
struct Progress {
    size_t width = 0;  // characters of the line shown, 0: none

    void show(const std::string& text) {
        std::string line = "\r" + text;
        if (text.size() < width) line.append(width - text.size(), ' ');
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        width = text.size();
        gProgressShown = 1;
    }

    void clear() {
        if (width == 0) return;
        std::fprintf(stderr, "\r%*s\r", static_cast<int>(width), "");
        std::fflush(stderr);
        width = 0;
        gProgressShown = 0;
    }
};

int onProgress(void* context, const avl_result* sofar) {
    if (sofar->nstreams <= 0) return 0;
    const avl_stream& last = sofar->streams[sofar->nstreams - 1];
    std::string text = "availbw: " + std::to_string(sofar->nstreams) + " streams";
    if (last.kind == AVL_KIND_CAPACITY) text += ", capacity train";
    else text += ", round " + std::to_string(last.round) + ", last " + availbw::formatRate(last.rate_bps) + " " +
                 availbw::verdictName(last.verdict);
    char tail[64];
    std::snprintf(tail, sizeof tail, ", %.2f s", sofar->duration_s);
    text += ", " + availbw::formatBytes(sofar->probe_bytes) + tail;
    static_cast<Progress*>(context)->show(text);
    return 0;
}

void installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

// Neither a raw nor a datagram ICMP socket: the three ways to allow one.
int noSocket(int error) {
    std::fprintf(stderr, "availbw: no ICMP socket, raw or datagram: %s\n", std::strerror(error));
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    std::fprintf(stderr,
                 "availbw: to allow one, run it as root; or give the program the privilege once, as root:\n"
                 "availbw:   setcap cap_net_raw+ep %s\n"
                 "availbw: or let your groups send echo requests on datagram sockets (IPv4 and IPv6), as root:\n"
                 "availbw:   sysctl -w net.ipv4.ping_group_range=\"0 2147483647\"\n",
                 n > 0 ? self : "availbw");
    return kNoSocket;
}

// Prints what was measured and says how it ended; returns the exit status.
int report(const Settings& s, const avl_result& r, int status) {
    const bool estimate = status == 0 && availbw::hasEstimate(r);
    if (s.json) std::printf("%s\n", availbw::jsonReport(r, s.host).c_str());
    else std::fputs(availbw::textReport(r, s.host).c_str(), stdout);
    std::fflush(stdout);
    const char* more = r.budget_reached ? "; a larger --max-bytes or --max-time lets it go on" : "";
    if (!estimate) {
        std::fprintf(stderr, "availbw: no estimate: %s%s\n", availbw::noEstimateReason(r).c_str(), more);
        return kNoEstimate;
    }
    // The text report has a line for it; the JSON object has no key.
    if (s.json && r.reason[0] != '\0') std::fprintf(stderr, "availbw: %s%s\n", r.reason, more);
    return kEstimate;
}

}  // namespace

int main(int argc, char** argv) {
    // Where on the path the free bandwidth is least: a mode with its own options and output.
    if (hops::requested(argc, argv)) return hops::programMain(argc, argv);
    Settings s;
    if (const int status = parseCommandLine(argc, argv, &s); status >= 0) return status;

    PlotFile plot;
    if (s.plotPath != nullptr && !plot.open(s.plotPath)) {
        std::fprintf(stderr, "availbw: cannot write the plot to %s: %s\n", s.plotPath, std::strerror(errno));
        return kUsage;
    }
    Progress progress;
    const bool showProgress = !s.quiet && isatty(STDERR_FILENO);
    installSignalHandlers();

    avl_result r{};
    const int measured = avl_measure(s.host, &s.options, &r, showProgress ? onProgress : nullptr, &progress);
    const int error = errno;
    progress.clear();

    int status = kUsage;
    if (measured == AVL_ERR_HOST) {
        std::fprintf(stderr, "availbw: unknown host %s\n", s.host);
    } else if (measured == AVL_ERR_SOCKET) {
        status = noSocket(error);
    } else if (measured == AVL_ERR_OPTIONS) {
        std::fprintf(stderr, "availbw: the measurement refused its options\n");
    } else if (measured < 0) {
        std::fprintf(stderr, "availbw: no estimate: out of memory\n");
        status = kNoEstimate;
    } else {
        status = report(s, r, measured);
        if (s.plotPath != nullptr && !plot.commit(availbw::plotSvg(r, s.host))) {
            std::fprintf(stderr, "availbw: cannot write the plot to %s: %s\n", s.plotPath, std::strerror(errno));
            status = kUsage;
        }
    }
    avl_free_result(&r);
    return status;
}
