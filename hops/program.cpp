// SPDX-License-Identifier: MIT
// program.cpp - availbw --hops: its command line, its output (text or JSON,
// and the optional SVG picture) and its exit statuses.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hops.h"
#include "values.h"

namespace hops {

namespace {

constexpr int kFound = 0, kUsage = 1, kNone = 2, kNoSocket = 5;

const char kUsageLine[] =
    "Usage: availbw --hops HOST [-4|-6] [--json] [--max-bytes BYTES] [--max-time SECONDS] [--max-hops N]\n"
    "               [--spacing SECONDS] [--plot FILE.svg] [-q]\n";

void printHelp() {
    std::printf("%s", kUsageLine);
    std::printf(
        "Find the link on the path to HOST whose free bandwidth is least, and name it\n"
        "by its two ends, hop numbers as a route tracer counts them (this host is hop\n"
        "0).  Trains of echo requests, small ones with times to live 1, 2, ... around\n"
        "a paced load of large ones, show how long the train was on reaching each\n"
        "router; a sweep of the load's rate finds the link that stretches it first.\n"
        "\n"
        "  -4, -6              only an IPv4 or only an IPv6 address of HOST\n"
        "  --json              one JSON object on standard output instead of the text\n"
        "  --max-bytes BYTES   stop once the probes cost this many IP bytes, sent and\n"
        "                      received (k, M or G in either case, an optional B;\n"
        "                      default 2M)\n"
        "  --max-time SECONDS  stop after this long (default 90)\n"
        "  --max-hops N        look no further than N hops (1 to 255, default 30)\n"
        "  --spacing SECONDS   time between the starts of two trains (default 2):\n"
        "                      routers limit their \"time exceeded\" replies, Linux to\n"
        "                      a burst of 6 and then 1 a second\n"
        "  --plot FILE.svg     also draw each train's length against the hop\n"
        "  -q, --quiet         no progress line on standard error\n"
        "\n"
        "Exit status: 0 a link named; 1 bad usage or unknown host; 2 none named (the\n"
        "reason is on standard error); 5 no ICMP socket of either kind.\n");
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "availbw: %s\n%sTry 'availbw --help' for more.\n", message.c_str(), kUsageLine);
    return kUsage;
}

int badValue(const char* option, const char* text, const char* wanted) {
    std::fprintf(stderr, "availbw: invalid value '%s' for %s: %s\n", text, option, wanted);
    return kUsage;
}

struct Settings {
    Options options;
    bool json = false, quiet = false;
    const char* plotPath = nullptr;
};

enum Code { kHops = 1000, kJson, kMaxBytes, kMaxTime, kMaxHops, kSpacing, kPlot, kHelp };

const option kLongOptions[] = {
    {"hops", required_argument, nullptr, kHops},         {"json", no_argument, nullptr, kJson},
    {"max-bytes", required_argument, nullptr, kMaxBytes}, {"max-time", required_argument, nullptr, kMaxTime},
    {"max-hops", required_argument, nullptr, kMaxHops},   {"spacing", required_argument, nullptr, kSpacing},
    {"plot", required_argument, nullptr, kPlot},          {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, kHelp},                {nullptr, 0, nullptr, 0},
};

// Reads the command line; -1 to go on, else the exit status.
int parse(int argc, char** argv, Settings* s) {
    opterr = 0;
    optind = 1;
    int code;
    while ((code = getopt_long(argc, argv, ":q46", kLongOptions, nullptr)) != -1) {
        Options& o = s->options;
        switch (code) {
            case '4':
            case '6': {
                const int family = code == '4' ? TSL_STREAM_IPV4 : TSL_STREAM_IPV6;
                if (o.family != TSL_STREAM_ANY && o.family != family) return usageError("-4 and -6 exclude each other");
                o.family = family;
                break;
            }
            case kHops:
                if (o.host != nullptr) return usageError("one HOST only");
                o.host = optarg;
                break;
            case kJson: s->json = true; break;
            case 'q': s->quiet = true; break;
            case kMaxBytes:
                if (!availbw::byteCount(optarg, 1e12, &o.maxBytes))
                    return badValue("--max-bytes", optarg,
                                    "give a byte count from 1 to 1000G, with k, M or G (either case, an optional B) "
                                    "for thousands, millions or billions");
                break;
            case kMaxTime:
                if (!availbw::decimalIn(optarg, 0.001, 3600, false, &o.maxSeconds))
                    return badValue("--max-time", optarg, "give seconds, more than 0 and at most 3600");
                break;
            case kMaxHops: {
                double hops = 0;
                if (!availbw::decimalIn(optarg, 1, 255, false, &hops) || hops != std::floor(hops))
                    return badValue("--max-hops", optarg, "give a whole number from 1 to 255");
                o.maxHops = static_cast<int>(hops);
                break;
            }
            case kSpacing:
                if (!availbw::decimalIn(optarg, 0, 60, false, &o.spacingS))
                    return badValue("--spacing", optarg, "give seconds from 0 to 60");
                break;
            case kPlot:
                if (optarg[0] == '\0') return badValue("--plot", optarg, "give the name of the SVG file to write");
                s->plotPath = optarg;
                break;
            case kHelp: printHelp(); return kFound;
            case ':': return usageError(std::string(argv[optind - 1]) + " needs a value");
            default: return usageError(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) {
        if (s->options.host != nullptr || argc - optind > 1) return usageError("one HOST only");
        s->options.host = argv[optind];
    }
    if (s->options.host == nullptr) return usageError("no HOST given");
    return -1;
}

void showProgress(void*, const char* line) { std::fprintf(stderr, "\r\033[Kavailbw: %s", line); }

bool writeFile(const char* path, const std::string& text) {
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

bool requested(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--hops") == 0 || std::strncmp(argv[i], "--hops=", 7) == 0) return true;
    }
    return false;
}

int programMain(int argc, char** argv) {
    Settings s;
    if (const int status = parse(argc, argv, &s); status >= 0) return status;
    // A plot that cannot be written fails before any probe is sent.
    if (s.plotPath != nullptr && access(s.plotPath, F_OK) != 0 && !writeFile(s.plotPath, "")) {
        std::fprintf(stderr, "availbw: cannot write the plot to %s: %s\n", s.plotPath, std::strerror(errno));
        return kUsage;
    }
    const bool progress = !s.quiet && isatty(STDERR_FILENO);
    if (progress) s.options.progress = showProgress;
    Result r;
    const int measured = measure(s.options, &r);
    const int error = errno;
    if (progress) std::fputs("\r\033[K", stderr);
    if (measured == TSL_STREAM_ERR_HOST) {
        std::fprintf(stderr, "availbw: unknown host %s\n", s.options.host);
        return kUsage;
    }
    if (measured == TSL_STREAM_ERR_SOCKET) {
        std::fprintf(stderr, "availbw: no ICMP socket, raw or datagram: %s\n", std::strerror(error));
        return kNoSocket;
    }
    if (measured < 0) {
        std::fprintf(stderr, "availbw: %s\n", tsl_stream_strerror(measured));
        return kNone;
    }
    std::fputs(s.json ? (jsonReport(r) + "\n").c_str() : textReport(r).c_str(), stdout);
    std::fflush(stdout);
    int status = r.found() ? kFound : kNone;
    if (!r.found()) std::fprintf(stderr, "availbw: no tight link named: %s\n", r.decision.reason.c_str());
    if (s.plotPath != nullptr && !writeFile(s.plotPath, plotSvg(r))) {
        std::fprintf(stderr, "availbw: cannot write the plot to %s: %s\n", s.plotPath, std::strerror(errno));
        status = kUsage;
    }
    return status;
}

}  // namespace hops
