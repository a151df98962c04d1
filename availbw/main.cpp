// SPDX-License-Identifier: MIT
// main.cpp - the program availbw: the command line, a progress line while the
// measurement runs, the report (text or JSON), the optional SVG picture, and
// the exit status that tells how it went.
#include <arpa/inet.h>
#include <cap-ng.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <netdb.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "availest.h"
#include "hops.h"
#include "plot.h"
#include "report.h"
#include "values.h"
#include "watch.h"

#ifndef AVAILBW_VERSION
#error "AVAILBW_VERSION must be defined by the build"
#endif

namespace {

// Exit statuses.
constexpr int kEstimate = 0;
constexpr int kUsage = 1;  // bad usage, unknown host, a plot file that cannot be written
constexpr int kNoEstimate = 2;
constexpr int kNoOutput = 3;  // standard output could not be written
constexpr int kNoSocket = 5;

// Limits of the option values (the library takes no more than these).
constexpr double kMaxBytes = 1e12;
constexpr double kMaxSeconds = 3600;
constexpr double kMinTimescaleMs = 1, kMaxTimescaleMs = 10000;

const char kUsageLine[] =
    "Usage: availbw [-4|-6] [--json] [--max-bytes BYTES] [--max-time SECONDS]\n"
    "               [--timescale MS] [--units k|m|g] [--bits ip|link]\n"
    "               [--plot FILE.svg|-] [-q] [-v] HOST\n";

struct Settings {
    bool json = false;
    bool quiet = false;
    const char* plotPath = nullptr;  // "-": standard output
    const char* host = nullptr;
    avl_options options{};
    availbw::ReportOptions report{};
    // Watching: a measurement every interval (0: a single run), count of them (0: no limit).
    double interval = 0;
    int count = 0;
    bool streams = false;
    bool watching() const { return interval > 0 || count > 0; }
};

// ---- Standard output ---------------------------------------------------------
// Every write to standard output goes through here, so that one that fails
// (a full disk, a closed pipe) is told once, the same way, with its reason.
bool gOutputFailed = false;

bool writeOut(const std::string& text) {
    if (gOutputFailed) return false;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0) return true;
    const int error = errno != 0 ? errno : EIO;
    std::fprintf(stderr, "availbw: cannot write to standard output: %s\n", std::strerror(error));
    gOutputFailed = true;
    return false;
}

// The status to end with: kNoOutput once standard output failed.
int finalStatus(int status) { return gOutputFailed ? kNoOutput : status; }

// An error before or instead of a measurement: the message on standard
// error, and with --json the object that says so on standard output.
int fail(const Settings& s, int status, const char* code, const std::string& message) {
    std::fprintf(stderr, "availbw: %s\n", message.c_str());
    if (s.json) writeOut(availbw::jsonError(code, message, status, AVAILBW_VERSION, s.host) + "\n");
    return finalStatus(status);
}

// ---- Command line ----------------------------------------------------------
void printHelp() {
    avl_options d;
    avl_default_options(&d);
    char text[6144];
    std::snprintf(
        text, sizeof text,
        "%s"
        "Measure the bandwidth still free on the path to HOST (a name, or an IPv4 or\n"
        "IPv6 address): streams of ICMP echo requests at chosen rates, and whether\n"
        "their delays rise because they fill a queue.  Rates are IP bits per second,\n"
        "headers included, unless --bits link.  Sends on a raw ICMP socket (root, or\n"
        "cap_net_raw on the program), else on an ICMP datagram socket (a group inside\n"
        "net.ipv4.ping_group_range); gives up every privilege once it is open.\n"
        "\n"
        "  -4, -6              only an IPv4 or only an IPv6 address of HOST (default:\n"
        "                      the first address the resolver gives)\n"
        "  --json              one JSON object on standard output instead of the text,\n"
        "                      also when the run fails (with \"error\" and \"status\")\n"
        "  --max-bytes BYTES   stop once the probes cost this many IP bytes, sent and\n"
        "                      received; a whole or decimal number, with k, M or G in\n"
        "                      either case for thousands, millions or billions and an\n"
        "                      optional B (500k, 2M, 2MB, 1G); default automatic: 1M,\n"
        "                      or what ten streams at the capacity cost when that is\n"
        "                      more (long streams, fast paths)\n"
        "  --max-time SECONDS  stop after this long, decimals allowed; default\n"
        "                      automatic: 1 s, or with --timescale 40 times the time\n"
        "                      scale when that is longer\n"
        "  --timescale MS      every stream lasts MS milliseconds, %g to %g; the\n"
        "                      figure is the free rate over that span (default:\n"
        "                      streams of %d kB or more on fast paths, 4 to 30 ms)\n"
        "  --units k|m|g       rates of the text in kbit/s, Mbit/s or Gbit/s (default:\n"
        "                      the unit that suits each); -f k|m|g is the same\n"
        "  --bits ip|link      count IP bits (default) or Ethernet frame bits (each\n"
        "                      packet's 14-byte header too), as interface counters do\n"
        "  --plot FILE.svg     also draw the streams and the result into an SVG file;\n"
        "                      - writes it to standard output instead of the report\n"
        "  -q, --quiet         no progress line on standard error\n"
        "  -v, --verbose       the method's details in the report\n"
        "  --hops HOST         instead: which link of the path is the tight one (its\n"
        "                      own options: availbw --hops HOST --help)\n"
        "      --help          show this help and exit\n"
        "      --version       show the version and exit\n"
        "\n"
        "Watching a path:\n"
        "  -i, --interval SECONDS  measure every SECONDS (0.1 to 86400), each start\n"
        "                      moved at random by up to a tenth of it; a line per\n"
        "                      measurement, changes in the free rate, a summary at the\n"
        "                      end; with --json one JSON object a line; --plot draws\n"
        "                      the time series, rewritten after each measurement\n"
        "  -c, --count N       stop after N measurements (default: until interrupted);\n"
        "                      alone, one every %g s\n"
        "      --streams       keep each measurement's streams in its JSON object\n"
        "A watch ends at the count, SIGINT or SIGTERM with a summary; its status is 0\n"
        "when a measurement answered, 2 when none did.\n"
        "\n"
        "Exit status: 0 an estimate; 1 bad usage, unknown host, or the plot file could\n"
        "not be written; 2 no estimate (the reason is on standard error); 3 standard\n"
        "output could not be written; 5 no ICMP socket of either kind.\n",
        kUsageLine, kMinTimescaleMs, kMaxTimescaleMs, d.stream_bytes / 1000, watch::kDefaultInterval);
    writeOut(text);
}

int usageError(const Settings& s, const std::string& message) {
    if (!message.empty()) std::fprintf(stderr, "availbw: %s\n", message.c_str());
    std::fprintf(stderr, "%sTry 'availbw --help' for more.\n", kUsageLine);
    if (s.json) writeOut(availbw::jsonError("usage", message, kUsage, AVAILBW_VERSION, s.host) + "\n");
    return finalStatus(kUsage);
}

int badValue(const Settings& s, const char* option, const char* text, const char* wanted) {
    const std::string message = std::string("invalid value '") + text + "' for " + option + ": " + wanted;
    std::fprintf(stderr, "availbw: %s\n", message.c_str());
    if (s.json) writeOut(availbw::jsonError("usage", message, kUsage, AVAILBW_VERSION, s.host) + "\n");
    return finalStatus(kUsage);
}

enum Option { kJson = 1000, kMaxBytesOption, kMaxTime, kTimescale, kPlot, kUnits, kBits, kHelp, kVersion, kStreams };

const option kLongOptions[] = {
    {"json", no_argument, nullptr, kJson},
    {"max-bytes", required_argument, nullptr, kMaxBytesOption},
    {"max-time", required_argument, nullptr, kMaxTime},
    {"timescale", required_argument, nullptr, kTimescale},
    {"plot", required_argument, nullptr, kPlot},
    {"units", required_argument, nullptr, kUnits},
    {"bits", required_argument, nullptr, kBits},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"interval", required_argument, nullptr, 'i'},
    {"count", required_argument, nullptr, 'c'},
    {"streams", no_argument, nullptr, kStreams},
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0},
};

const char kShortOptions[] = ":q46vf:i:c:";

const char* optionName(int code) {
    for (const option& o : kLongOptions)
        if (o.name != nullptr && o.val == code) return o.name;
    return "?";
}

// Whether the command line asks for JSON, looked at before it is parsed, so
// that even a usage error is answered with the object.
bool asksForJson(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strncmp(argv[i], "--j", 3) == 0) return true;
    return false;
}

// Takes one option with its value into s.  Returns -1 to go on, or the exit
// status (after --help, --version or a usage error).
int takeOption(int code, char** argv, Settings* s) {
    switch (code) {
        case '4':
        case '6':
            if (s->options.family != AVL_FAMILY_ANY && s->options.family != (code == '4' ? 4 : 6))
                return usageError(*s, "-4 and -6 exclude each other");
            s->options.family = code == '4' ? AVL_FAMILY_IPV4 : AVL_FAMILY_IPV6;
            return -1;
        case kJson: s->json = true; return -1;
        case 'q': s->quiet = true; return -1;
        case 'v': s->report.verbose = true; return -1;
        case kMaxBytesOption:
            if (!availbw::byteCount(optarg, kMaxBytes, &s->options.max_bytes))
                return badValue(*s, "--max-bytes", optarg,
                                "give a byte count from 1 to 1000G, with k, M or G (either case, an optional B) "
                                "for thousands, millions or billions");
            return -1;
        case kMaxTime:
            if (!availbw::decimalIn(optarg, 0, kMaxSeconds, true, &s->options.max_seconds))
                return badValue(*s, "--max-time", optarg, "give seconds, more than 0 and at most 3600");
            return -1;
        case kTimescale: {
            double ms = 0;
            if (!availbw::decimalIn(optarg, kMinTimescaleMs, kMaxTimescaleMs, false, &ms))
                return badValue(*s, "--timescale", optarg, "give milliseconds from 1 to 10000");
            s->options.timescale_s = ms / 1e3;
            return -1;
        }
        case kUnits:
        case 'f':
            if (std::strlen(optarg) != 1 || std::strchr("kmg", optarg[0]) == nullptr)
                return badValue(*s, code == 'f' ? "-f" : "--units", optarg,
                                "give k, m or g for kbit/s, Mbit/s or Gbit/s");
            s->report.unit = optarg[0];
            return -1;
        case kBits:
            if (std::strcmp(optarg, "ip") != 0 && std::strcmp(optarg, "link") != 0)
                return badValue(*s, "--bits", optarg, "give ip or link");
            s->report.link = optarg[0] == 'l';
            return -1;
        case kPlot:
            if (optarg[0] == '\0') return badValue(*s, "--plot", optarg, "give the name of the SVG file to write, or -");
            s->plotPath = optarg;
            return -1;
        case 'i':
            if (!availbw::decimalIn(optarg, 0.1, 86400, false, &s->interval))
                return badValue(*s, "--interval", optarg, "give seconds from 0.1 to 86400");
            return -1;
        case 'c': {
            double n = 0;
            if (!availbw::decimalIn(optarg, 1, 1e9, false, &n) || n != std::floor(n))
                return badValue(*s, "--count", optarg, "give a whole number of measurements from 1");
            s->count = static_cast<int>(n);
            return -1;
        }
        case kStreams: s->streams = true; return -1;
        case kHelp: printHelp(); return finalStatus(kEstimate);
        case kVersion: writeOut(std::string("availbw (tamsel suite) ") + AVAILBW_VERSION + "\n"); return finalStatus(kEstimate);
        case ':': {
            const std::string what = optopt >= kJson ? std::string("--") + optionName(optopt)
                                     : optopt != 0   ? std::string("-") + static_cast<char>(optopt)
                                                     : "an option";
            return usageError(*s, what + " needs a value");
        }
        default:
            if (optopt >= kJson) return usageError(*s, std::string("--") + optionName(optopt) + " takes no value");
            if (optopt != 0) return usageError(*s, std::string("unknown option '-") + static_cast<char>(optopt) + "'");
            return usageError(*s, std::string("unknown option '") + argv[optind - 1] + "'");
    }
}

// Reads the command line into s.  Returns -1 to go on and measure, or the
// exit status (after --help, --version or a usage error).
int parseCommandLine(int argc, char** argv, Settings* s) {
    avl_default_options(&s->options);
    s->json = asksForJson(argc, argv);
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1)
        if (const int status = takeOption(code, argv, s); status >= 0) return status;
    if (optind == argc) return usageError(*s, "no HOST given");
    if (argc - optind > 1)
        return usageError(*s, std::string("one HOST only, not '") + argv[optind] + "' and '" + argv[optind + 1] + "'");
    s->host = argv[optind];
    if (s->json && s->plotPath != nullptr && std::strcmp(s->plotPath, "-") == 0)
        return usageError(*s, "--plot - and --json both want standard output");
    if (s->watching() && s->plotPath != nullptr && std::strcmp(s->plotPath, "-") == 0)
        return usageError(*s, "a watch rewrites its plot in place: give it a file, not -");
    if (s->streams && !s->watching())
        return usageError(*s, "--streams goes with --interval or --count (a single run's JSON has them)");
    return -1;
}

// ---- Signals -----------------------------------------------------------------
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

// The signals that end the process leave no temporary file behind; a reader
// of standard output that went away (SIGPIPE) is one of them.
void installSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(sig, &sa, nullptr);
}

// ---- The plot file -----------------------------------------------------------
// Where the picture goes.  A regular file (or a name with nothing there yet)
// gets it in two steps: a temporary file beside it before the measurement (so
// a name that cannot be written fails before any probe is sent), renamed over
// the name once written, so a reader never sees half a picture.  Anything
// else there (a FIFO, a device, a link) is written into directly, never
// replaced; "-" is standard output.
class PlotFile {
public:
    // False with errno when the picture could not go there.
    bool open(const char* path) {
        path_ = path;
        if (std::strcmp(path, "-") == 0) {
            direct_ = true;
            return true;
        }
        struct stat st;
        if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
            if (S_ISDIR(st.st_mode)) return fails(EISDIR);
            direct_ = true;
            return access(path, W_OK) == 0;
        }
        const char* slash = std::strrchr(path, '/');
        const std::string dir = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash - path);
        const std::string pattern = dir + "/.availbw-plot-XXXXXX";
        if (pattern.size() >= sizeof gTempPath) return fails(ENAMETOOLONG);
        std::memcpy(gTempPath, pattern.c_str(), pattern.size() + 1);
        fd_ = mkstemp(gTempPath);
        if (fd_ < 0) gTempPath[0] = '\0';
        return fd_ >= 0;
    }

    bool toStandardOutput() const { return path_ != nullptr && std::strcmp(path_, "-") == 0; }

    // Writes the document and puts it in place; false with errno on failure.
    bool commit(const std::string& svg) {
        if (toStandardOutput()) return writeOut(svg) || fails(errno != 0 ? errno : EIO);
        if (direct_) {
            fd_ = ::open(path_, O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC);
            if (fd_ < 0) return false;
        } else {
            const mode_t mask = umask(0);
            umask(mask);
            if (fchmod(fd_, 0666 & ~mask) != 0) return fails(errno);
        }
        int error = writeAll(svg);
        if (close(fd_) != 0 && error == 0) error = errno;
        fd_ = -1;
        if (!direct_) {
            if (error == 0 && rename(gTempPath, path_) != 0) error = errno;
            if (error != 0) unlink(gTempPath);
            gTempPath[0] = '\0';
        }
        errno = error;
        return error == 0;
    }

    void discard() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        if (!direct_ && gTempPath[0] != '\0') unlink(gTempPath);
        gTempPath[0] = '\0';
    }

    ~PlotFile() { discard(); }

private:
    bool fails(int error) {
        discard();
        errno = error;
        return false;
    }

    int writeAll(const std::string& svg) {
        for (size_t done = 0; done < svg.size();) {
            const ssize_t n = write(fd_, svg.data() + done, svg.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n < 0 ? errno : EIO;
            done += static_cast<size_t>(n);
        }
        return 0;
    }

    const char* path_ = nullptr;
    bool direct_ = false;
    int fd_ = -1;
};

// ---- Progress ------------------------------------------------------------------
// The progress line on standard error, rewritten in place after each stream.
struct Progress {
    size_t width = 0;  // characters of the line shown, 0: none
    const availbw::ReportOptions* report = nullptr;

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
    auto* progress = static_cast<Progress*>(context);
    if (sofar->nstreams > 0) progress->show(availbw::progressLine(*sofar, *progress->report));
    return 0;
}

// ---- Privilege -------------------------------------------------------------------
// Gives up every capability and a set-uid or set-gid identity: once the
// socket is open nothing else needs them.  False with the call that failed
// and errno.
bool dropPrivilege(const char** what) {
    const gid_t gid = getgid();
    const uid_t uid = getuid();
    if (getegid() != gid && setresgid(gid, gid, gid) != 0) return *what = "setresgid", false;
    if (geteuid() != uid && setresuid(uid, uid, uid) != 0) return *what = "setresuid", false;
    capng_clear(CAPNG_SELECT_CAPS);
    if (capng_apply(CAPNG_SELECT_CAPS) != 0) {
        if (errno == 0) errno = EPERM;
        return *what = "capng_apply", false;
    }
    return true;
}

// ---- Messages ------------------------------------------------------------------
// The host did not resolve: to nothing at all, or only not to the family asked for.
std::string unknownHost(const Settings& s) {
    const int family = s.options.family;
    if (family == AVL_FAMILY_ANY) return std::string("unknown host ") + s.host;
    const char* asked = family == AVL_FAMILY_IPV6 ? "IPv6" : "IPv4";
    unsigned char buf[sizeof(in6_addr)];
    if (inet_pton(family == AVL_FAMILY_IPV6 ? AF_INET : AF_INET6, s.host, buf) == 1)
        return std::string(s.host) + " is an " + (family == AVL_FAMILY_IPV6 ? "IPv4" : "IPv6") + " address, and " +
               (family == AVL_FAMILY_IPV6 ? "-6" : "-4") + " asks for " + asked;
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(s.host, nullptr, &hints, &found) != 0) return std::string("unknown host ") + s.host;
    freeaddrinfo(found);
    return std::string(s.host) + " has no " + asked + " address";
}

// Neither a raw nor a datagram ICMP socket: the three ways to allow one.
int noSocket(const Settings& s, int error) {
    const std::string message = std::string("no ICMP socket, raw or datagram: ") + std::strerror(error);
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    self[n > 0 ? n : 0] = '\0';
    const unsigned gid = static_cast<unsigned>(getgid());
    std::fprintf(stderr,
                 "availbw: %s\n"
                 "availbw: to allow one, run it as root; or give the program the privilege once, as root:\n"
                 "availbw:   setcap cap_net_raw+ep %s\n"
                 "availbw: or let your group send echo requests on datagram sockets (IPv4 and IPv6), as root:\n"
                 "availbw:   sysctl -w net.ipv4.ping_group_range=\"%u %u\"\n"
                 "availbw: and to keep that after a restart:\n"
                 "availbw:   echo 'net.ipv4.ping_group_range = %u %u' > /etc/sysctl.d/60-ping-group.conf\n",
                 message.c_str(), n > 0 ? self : "availbw", gid, gid, gid, gid);
    if (s.json) writeOut(availbw::jsonError("socket", message, kNoSocket, AVAILBW_VERSION, s.host) + "\n");
    return finalStatus(kNoSocket);
}

// What standard error says after the report: why there is no estimate, what
// cut an estimate short, and what may help.
int conclude(const avl_result& r, int measured, const Settings& s) {
    const bool estimate = measured == 0 && availbw::hasEstimate(r);
    const std::string hint = availbw::budgetHint(r);
    const std::string more = hint.empty() ? "" : "; " + hint;
    if (!estimate) {
        if (r.lower_bound_bps > 0)
            std::fprintf(stderr, "availbw: no estimate, at least %s free: %s%s\n",
                         availbw::formatRate(availbw::accounted(r.lower_bound_bps, r.packet_bytes, s.report.link),
                                             s.report.unit)
                             .c_str(),
                         availbw::noEstimateReason(r).c_str(), more.c_str());
        else
            std::fprintf(stderr, "availbw: no estimate: %s%s\n", availbw::noEstimateReason(r).c_str(), more.c_str());
        if (r.failure == AVL_FAIL_ECHO_LIMIT || r.echo_limit_pps > 0)
            std::fprintf(stderr, "availbw: measure to a host that does not limit its echo replies, "
                                 "e.g. a router on the path\n");
        return kNoEstimate;
    }
    // The text report has a line for it; the JSON object has no key.
    if (s.json && r.reason[0] != '\0') std::fprintf(stderr, "availbw: %s%s\n", r.reason, more.c_str());
    return kEstimate;
}

// The start of the measurement in RFC 3339, UTC.
std::string now3339() {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    return availbw::rfc3339(ms.count());
}

// Measures on an open session and prints the report and the picture;
// returns the exit status.
int measureAndReport(Settings& s, avl_session* session, PlotFile& plot) {
    Progress progress;
    progress.report = &s.report;
    const bool showProgress = !s.quiet && isatty(STDERR_FILENO);
    s.report.time = now3339();
    avl_result r{};
    const int measured =
        avl_measure_session(session, &s.options, &r, showProgress ? onProgress : nullptr, &progress);
    progress.clear();
    if (measured < 0) {
        avl_free_result(&r);
        return fail(s, kNoEstimate, "system", "no estimate: out of memory");
    }
    int status = conclude(r, measured, s);
    // The picture first, so that the report can say whether it was written.
    if (s.plotPath != nullptr && !plot.commit(availbw::plotSvg(r, s.host))) {
        const std::string message = std::string("cannot write the plot to ") + s.plotPath + ": " + std::strerror(errno);
        std::fprintf(stderr, "availbw: %s\n", message.c_str());
        status = kUsage;
        s.report.errorCode = "plot";
        s.report.errorMessage = message;
    }
    s.report.status = status;
    s.report.version = AVAILBW_VERSION;
    if (s.json) writeOut(availbw::jsonReport(r, s.host, s.report) + "\n");
    else if (!plot.toStandardOutput()) writeOut(availbw::textReport(r, s.host, s.report));
    avl_free_result(&r);
    return finalStatus(status);
}

}  // namespace

int main(int argc, char** argv) {
    // Where on the path the free bandwidth is least: a mode with its own options and output.
    if (hops::requested(argc, argv)) return hops::programMain(argc, argv);
    Settings s;
    if (const int status = parseCommandLine(argc, argv, &s); status >= 0) return status;
    installSignalHandlers();

    PlotFile plot;
    if (s.plotPath != nullptr && !s.watching() && !plot.open(s.plotPath))
        return fail(s, kUsage, "plot", std::string("cannot write the plot to ") + s.plotPath + ": " + std::strerror(errno));

    avl_session* session = nullptr;
    const int opened = avl_open(&session, s.host, s.options.family);
    const int error = errno;
    if (opened == AVL_ERR_HOST) return fail(s, kUsage, "host", unknownHost(s));
    if (opened == AVL_ERR_SOCKET) return noSocket(s, error);
    if (opened == AVL_ERR_SYSTEM)
        return fail(s, kNoEstimate, "system", std::string("cannot draw random identifiers: ") + std::strerror(error));
    if (opened != 0) return fail(s, kNoEstimate, "system", "no estimate: out of memory");

    const char* what = "";
    if (!dropPrivilege(&what)) {
        const std::string message = std::string("cannot give up privilege (") + what + "): " + std::strerror(errno);
        avl_close(session);
        return fail(s, kNoEstimate, "privilege", message);
    }
    int status;
    if (s.watching()) {
        watch::Config w;
        w.host = s.host;
        w.session = session;
        w.options = s.options;
        w.intervalS = s.interval > 0 ? s.interval : watch::kDefaultInterval;
        w.count = s.count;
        w.json = s.json;
        w.streams = s.streams;
        w.plotPath = s.plotPath;
        w.version = AVAILBW_VERSION;
        int measureError = 0, measureErrno = 0;
        status = watch::run(w, &measureError, &measureErrno);
        if (status < 0) status = fail(s, kNoEstimate, "system", "no estimate: out of memory");
    } else {
        status = measureAndReport(s, session, plot);
    }
    avl_close(session);
    return status;
}
