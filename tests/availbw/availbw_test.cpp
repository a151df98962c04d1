// SPDX-License-Identifier: MIT
// The program availbw as a user runs it: the command line, the unknown host
// and the missing privilege, the JSON object (also for every failure) and the
// plot from real runs on loopback, the plot into a FIFO, a pipe that closes,
// a full standard output, and the privilege a set-capability copy gives up.  (Its man page is checked with the others by the install tests.)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "run.h"

namespace {

using tsltest::RunResult;
using Args = std::vector<std::string>;

RunResult availbw(const Args& args, int timeoutSec = 30) {
    Args argv{AVAILBW_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return tsltest::runProgram(argv, timeoutSec);
}

bool contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// A folder for the files of one test, removed with what is in it.
struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("availbw-test-" + std::to_string(getpid()));
    TempDir() { std::filesystem::create_directory(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(path)) names.push_back(e.path().filename());
        return names;
    }
};

const char kUsage[] = "Usage: availbw [-4|-6] [--json] [--max-bytes BYTES] [--max-time SECONDS]\n"
                      "               [--timescale MS] [--units k|m|g] [--bits ip|link]\n"
                      "               [--plot FILE.svg|-] [-q] [-v] HOST\n";

// The one JSON object a run printed, or a failure that says what came instead.
nlohmann::json oneObject(const RunResult& r) {
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line: " << r.out;
    return nlohmann::json::parse(r.out, nullptr, false);
}

}  // namespace

TEST(AvailbwCommandLine, BadOptionsAndValuesEndWithStatus1) {
    struct Case {
        Args args;
        std::string message;  // part of what standard error must say
    };
    const std::string badBytes = "for --max-bytes: give a byte count";
    const std::string badTime = "for --max-time: give seconds";
    const std::string badScale = "for --timescale: give milliseconds";
    const Case cases[] = {
        {{"--max-bytes", "0", "127.0.0.1"}, "invalid value '0' " + badBytes},
        {{"--max-bytes", "-5", "127.0.0.1"}, "invalid value '-5' " + badBytes},
        {{"--max-bytes", "1.5T", "127.0.0.1"}, badBytes},
        {{"--max-bytes", "10kk", "127.0.0.1"}, badBytes},
        {{"--max-bytes", "1e6", "127.0.0.1"}, badBytes},
        {{"--max-bytes", " 5", "127.0.0.1"}, badBytes},
        {{"--max-bytes=", "127.0.0.1"}, badBytes},
        {{"--max-bytes", "1000001M", "127.0.0.1"}, badBytes},
        {{"--max-time", "0", "127.0.0.1"}, badTime},
        {{"--max-time", "-1", "127.0.0.1"}, badTime},
        {{"--max-time", "3600.5", "127.0.0.1"}, badTime},
        {{"--max-time", "2s", "127.0.0.1"}, badTime},
        {{"--max-time", "nan", "127.0.0.1"}, badTime},
        {{"--max-time", "1.2.3", "127.0.0.1"}, badTime},
        {{"--timescale", "0.5", "127.0.0.1"}, badScale},
        {{"--timescale", "10001", "127.0.0.1"}, badScale},
        {{"--timescale", "7ms", "127.0.0.1"}, badScale},
        {{"--plot", "", "127.0.0.1"}, "for --plot"},
        {{"--plot", "/nonexistent-availbw/p.svg", "127.0.0.1"},
         "cannot write the plot to /nonexistent-availbw/p.svg: No such file or directory"},
        {{"--plot", "/tmp", "127.0.0.1"}, "cannot write the plot to /tmp: Is a directory"},
        {{"--bogus", "127.0.0.1"}, "unknown option '--bogus'\n" + std::string(kUsage)},
        {{"-x", "127.0.0.1"}, "unknown option '-x'"},
        {{"--json=yes", "127.0.0.1"}, "--json takes no value"},
        {{"127.0.0.1", "--max-time"}, "--max-time needs a value"},
        {{"--json"}, "availbw: no HOST given\n" + std::string(kUsage)},
        {{"127.0.0.1", "127.0.0.2"}, "one HOST only"},
        {{"-4", "-6", "127.0.0.1"}, "-4 and -6 exclude each other"},
        {{"--units", "t", "127.0.0.1"}, "invalid value 't' for --units: give k, m or g"},
        {{"-f", "K", "127.0.0.1"}, "invalid value 'K' for -f"},
        {{"--bits", "frame", "127.0.0.1"}, "invalid value 'frame' for --bits: give ip or link"},
        {{"-6", "127.0.0.1"}, "availbw: 127.0.0.1 is an IPv4 address, and -6 asks for IPv6\n"},
        {{"-4", "::1"}, "availbw: ::1 is an IPv6 address, and -4 asks for IPv4\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = availbw(c.args);
        std::string line;
        for (const std::string& a : c.args) line += " '" + a + "'";
        EXPECT_EQ(r.status, 1) << line << "\n" << r.err;
        // With --json the object that says so; nothing otherwise.
        const bool json = std::find(c.args.begin(), c.args.end(), "--json=yes") != c.args.end() ||
                          std::find(c.args.begin(), c.args.end(), "--json") != c.args.end();
        if (json) EXPECT_EQ(nlohmann::json::parse(r.out)["status"], 1) << line;
        else EXPECT_EQ(r.out, "") << line;
        EXPECT_TRUE(contains(r.err, c.message)) << line << "\n" << r.err;
        EXPECT_TRUE(r.err.rfind("availbw: ", 0) == 0) << line << "\n" << r.err;
    }
    // Well-formed values get past the command line: to the measurement,
    // which stops at once on a budget of 1 kB (or at the socket, without root).
    for (const Args& good : {Args{"--max-bytes", "1k", "--max-time", "0.5", "--timescale", "2.5", "127.0.0.1"},
                             Args{"-q", "--max-bytes=1000", "--json", "127.0.0.1"}}) {
        const RunResult r = availbw(good);
        EXPECT_EQ(r.status, tsltest::isRoot() ? 2 : 5) << r.err;
    }
}

TEST(AvailbwCommandLine, HelpAndVersion) {
    RunResult r = availbw({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind(kUsage, 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "with k, M or G in\n                      either case")) << r.out;
    EXPECT_TRUE(contains(r.out, "3 standard\noutput could not be written")) << r.out;
    r = availbw({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "availbw (tamsel suite) " AVAILBW_VERSION "\n");
}

TEST(AvailbwPrivilege, UnknownHostInAPrivateNetwork) {
    // No name service in a namespace of its own: no query leaves the machine.
    TSL_REQUIRE_ROOT("for a private network namespace");
    const RunResult r = tsltest::runProgram({"unshare", "--net", AVAILBW_BIN, "no.such.host.invalid"}, 30);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "availbw: unknown host no.such.host.invalid\n");
}

TEST(AvailbwPrivilege, NoSocketForAnOrdinaryUserOutsideThePingGroups) {
    // A network namespace of its own keeps echo sockets closed to every group.
    TSL_REQUIRE_ROOT("to drop to an unprivileged user in a private network namespace");
    TempDir dir;
    std::filesystem::permissions(dir.path, std::filesystem::perms::all);
    const std::string plot = dir.path / "p.svg";
    const RunResult r = tsltest::runProgram({"unshare", "--net", "setpriv", "--reuid=65534", "--regid=65534",
                                             "--clear-groups", "--inh-caps=-all", "--bounding-set=-all", AVAILBW_BIN,
                                             "--plot", plot, "127.0.0.1"},
                                            30);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("availbw: no ICMP socket, raw or datagram: ", 0), 0u) << r.err;
    EXPECT_TRUE(contains(r.err, "run it as root") && contains(r.err, "setcap cap_net_raw+ep /") &&
                contains(r.err, "net.ipv4.ping_group_range=\"65534 65534\"") &&
                contains(r.err, "'net.ipv4.ping_group_range = 65534 65534' > /etc/sysctl.d/"))
        << r.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{}) << "no plot and no temporary file left";
}

TEST(AvailbwLoopback, JsonHasExactlyTheKeys) {
    TSL_REQUIRE_ROOT("for the raw ICMP socket");
    const std::set<std::string> keys{
        "host",          "address",     "available_bps",   "low_bps",   "high_bps",    "capacity_bps",
        "support",       "rounds",      "probe_bytes",     "duration_s", "timescale_s", "packet_bytes",
        "reason",        "streams",     "failure",         "budget_reached", "elastic", "burst_gap_s", "free_spread", "from_windows", "lower_bound_bps",
        "max_bytes",     "max_seconds", "bits",            "accounting", "version",    "time",
        "status",        "error"};
    const std::set<std::string> streamKeys{"rate_bps", "packets",          "lost", "verdict", "send_rate_bps",
                                           "receive_rate_bps", "kind", "round", "start_s"};
    const RunResult r = availbw({"--json", "127.0.0.1"});
    ASSERT_TRUE(r.status == 0 || r.status == 2) << r.status << " " << r.err;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
    const nlohmann::json j = nlohmann::json::parse(r.out);
    std::set<std::string> got;
    for (const auto& item : j.items()) got.insert(item.key());
    EXPECT_EQ(got, keys);
    EXPECT_EQ(j["host"], "127.0.0.1");
    EXPECT_EQ(j["address"], "127.0.0.1");
    EXPECT_EQ(j["status"], r.status);
    EXPECT_TRUE(j["error"].is_null());
    EXPECT_EQ(j["version"], AVAILBW_VERSION);
    EXPECT_EQ(j["bits"], "ip");
    const std::string time = j["time"].get<std::string>();
    EXPECT_EQ(time.size(), 24u) << time;
    EXPECT_EQ(time.substr(10, 1) + time.substr(23), "TZ") << time;
    EXPECT_GT(j["probe_bytes"].get<long long>(), 0);
    ASSERT_TRUE(j["streams"].is_array() && !j["streams"].empty());
    for (const nlohmann::json& s : j["streams"]) {
        std::set<std::string> sk;
        for (const auto& item : s.items()) sk.insert(item.key());
        EXPECT_EQ(sk, streamKeys);
        EXPECT_TRUE(s["rate_bps"].is_number() && s["packets"].is_number_integer() && s["lost"].is_number_integer());
        EXPECT_TRUE(s["verdict"] == "rising" || s["verdict"] == "flat" || s["verdict"] == "unclear") << s;
    }
    EXPECT_EQ(j["streams"][0]["rate_bps"], 0) << "the back-to-back capacity train comes first";
    if (r.status == 0) {
        EXPECT_TRUE(j["available_bps"].is_number() && j["capacity_bps"].is_number());
        EXPECT_TRUE(j["reason"].is_null());
        EXPECT_GE(j["packet_bytes"].get<int>(), 64);
        EXPECT_LE(j["low_bps"].get<double>(), j["available_bps"].get<double>());
        EXPECT_LE(j["available_bps"].get<double>(), j["high_bps"].get<double>());
        EXPECT_LE(j["support"].get<int>(), j["rounds"].get<int>());
    } else {
        EXPECT_TRUE(j["available_bps"].is_null());
        EXPECT_EQ(r.err.rfind("availbw: no estimate: ", 0), 0u) << r.err;
    }

    // A budget that does not cover the first train: no estimate, the reason
    // on standard error, and still the object, with nulls.
    const RunResult small = availbw({"--json", "--max-bytes", "1000", "127.0.0.1"});
    EXPECT_EQ(small.status, 2);
    EXPECT_EQ(small.err.rfind("availbw: no estimate: byte budget reached", 0), 0u) << small.err;
    EXPECT_TRUE(contains(small.err, "; a larger --max-bytes lets it go on\n") ||
                contains(small.err, "; --max-bytes 2k lets it go on\n"))
        << small.err;
    const nlohmann::json n = nlohmann::json::parse(small.out);
    EXPECT_EQ(n.size(), keys.size());
    EXPECT_TRUE(n["available_bps"].is_null() && n["low_bps"].is_null() && n["capacity_bps"].is_null());
    EXPECT_EQ(n["reason"], "byte budget reached");
    EXPECT_EQ(n["failure"], "budget");
    EXPECT_EQ(n["budget_reached"], "bytes");
    EXPECT_EQ(n["status"], 2);
    EXPECT_EQ(n["streams"], nlohmann::json::array());
}

TEST(AvailbwLoopback, PlotIsAReadableSvg) {
    TSL_REQUIRE_ROOT("for the raw ICMP socket");
    TempDir dir;
    const std::string plot = dir.path / "loopback.svg", png = dir.path / "loopback.png";
    const RunResult r = availbw({"-q", "--plot", plot, "127.0.0.1"});
    ASSERT_TRUE(r.status == 0 || r.status == 2) << r.status << " " << r.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"loopback.svg"}) << "no temporary file left";
    const RunResult read = tsltest::runProgram({"rsvg-convert", "-o", png, plot}, 30);
    EXPECT_EQ(read.status, 0) << read.err;
    std::ifstream file(plot);
    const std::string svg{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    for (const char* text : {"rising stream", "flat stream", "unclear stream"}) EXPECT_TRUE(contains(svg, text)) << text;
    if (r.status == 0) {
        // The range the text report gives is the one the band is marked with.
        const size_t at = r.out.find("(range ");
        ASSERT_NE(at, std::string::npos) << r.out;
        const std::string range = r.out.substr(at + 7, r.out.find(',', at) - at - 7);
        EXPECT_TRUE(contains(svg, "<title>reported range " + range + "</title>")) << range;
    }
}

TEST(AvailbwJson, EveryFailureIsOneObjectWithItsStatus) {
    struct Case {
        std::vector<std::string> argv;
        int status;
        const char* code;
        std::string message;
        bool root;  // needs root
    } cases[] = {
        {{AVAILBW_BIN, "--json", "--bogus", "127.0.0.1"}, 1, "usage", "unknown option '--bogus'", false},
        {{AVAILBW_BIN, "--bogus", "--json", "127.0.0.1"}, 1, "usage", "unknown option '--bogus'", false},
        {{AVAILBW_BIN, "--json", "--max-bytes", "2T", "127.0.0.1"}, 1, "usage", "invalid value '2T' for --max-bytes", false},
        {{AVAILBW_BIN, "--json", "--plot", "-", "127.0.0.1"}, 1, "usage", "--plot - and --json both want standard output", false},
        {{AVAILBW_BIN, "--json", "-6", "127.0.0.1"}, 1, "host", "127.0.0.1 is an IPv4 address, and -6 asks for IPv6", false},
        {{AVAILBW_BIN, "--json", "--plot", "/nonexistent-availbw/p.svg", "127.0.0.1"}, 1, "plot",
         "cannot write the plot to /nonexistent-availbw/p.svg: No such file or directory", false},
        {{"unshare", "--net", AVAILBW_BIN, "--json", "no.such.host.invalid"}, 1, "host", "unknown host no.such.host.invalid",
         true},
        {{"unshare", "--net", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
          "--bounding-set=-all", AVAILBW_BIN, "--json", "127.0.0.1"},
         5, "socket", "no ICMP socket, raw or datagram: ", true},
    };
    for (const Case& c : cases) {
        if (c.root && !tsltest::isRoot()) continue;
        const RunResult r = tsltest::runProgram(c.argv, 30);
        EXPECT_EQ(r.status, c.status) << c.argv[c.argv.size() - 2] << "\n" << r.err;
        const nlohmann::json j = oneObject(r);
        ASSERT_TRUE(j.is_object()) << r.out;
        EXPECT_EQ(j["status"], c.status);
        EXPECT_EQ(j["error"]["code"], c.code) << r.out;
        EXPECT_EQ(j["error"]["message"].get<std::string>().rfind(c.message, 0), 0u) << r.out;
        EXPECT_EQ(j["version"], AVAILBW_VERSION);
        EXPECT_TRUE(contains(r.err, "availbw: " + c.message)) << r.err;
    }
    if (!tsltest::isRoot()) TSL_CANNOT_RUN("for an unknown host in a private network and an ordinary user");
}

TEST(AvailbwOutput, AFullStandardOutputEndsWithStatus3AndItsReason) {
    // Without root the measurement ends at the socket, whose object fails to go out just the same.
    for (const std::string& args : {std::string("--json -q --max-bytes 1000 127.0.0.1"), std::string("--help"),
                                    std::string("--version"), std::string("-q --max-bytes 1000 127.0.0.1")}) {
        const RunResult r = tsltest::runShell(std::string(AVAILBW_BIN) + " " + args + " > /dev/full", 30);
        EXPECT_EQ(r.status, 3) << args << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, "availbw: cannot write to standard output: No space left on device\n"))
            << args << "\n" << r.err;
    }
}

TEST(AvailbwLoopback, PlotIntoAFifoADeviceAClosedPipeAndStandardOutput) {
    TSL_REQUIRE_ROOT("for the raw ICMP socket");
    TempDir dir;
    const std::string fifo = dir.path / "fifo", copy = dir.path / "from-fifo.svg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // A reader on the FIFO gets the picture; the FIFO stays a FIFO.
    const RunResult viaFifo = tsltest::runShell("timeout 20 cat '" + fifo + "' > '" + copy + "' & " + AVAILBW_BIN +
                                                    " -q --max-bytes 30k --plot '" + fifo + "' 127.0.0.1; wait",
                                                30);
    EXPECT_TRUE(viaFifo.status == 0 || viaFifo.status == 2) << viaFifo.status << " " << viaFifo.err;
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced";
    std::ifstream in(copy);
    const std::string svg{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_TRUE(contains(svg, "</svg>\n")) << svg.size();
    std::filesystem::remove(fifo);
    std::filesystem::remove(copy);

    // A device (a null device of its own) is written into, not replaced.
    const std::string device = dir.path / "null";
    ASSERT_EQ(mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    const RunResult intoDevice = availbw({"-q", "--max-bytes", "30k", "--plot", device, "127.0.0.1"});
    EXPECT_TRUE(intoDevice.status == 0 || intoDevice.status == 2) << intoDevice.status << " " << intoDevice.err;
    ASSERT_EQ(lstat(device.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "the device was replaced";
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"null"});
    std::filesystem::remove(device);

    // A reader of standard output that goes away leaves no temporary file.
    const RunResult closed = tsltest::runShell("cd '" + dir.path.string() + "' && " + AVAILBW_BIN +
                                                   " -q --max-bytes 30k --plot p.svg 127.0.0.1 | true",
                                               30);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"p.svg"}) << closed.err;
    std::filesystem::remove(dir.path / "p.svg");

    // "-" is standard output, the picture in place of the report.
    const RunResult out = availbw({"-q", "--max-bytes", "30k", "--plot", "-", "127.0.0.1"});
    EXPECT_TRUE(out.status == 0 || out.status == 2) << out.status << " " << out.err;
    EXPECT_EQ(out.out.rfind("<?xml", 0), 0u) << out.out.substr(0, 80);
    EXPECT_EQ(out.out.substr(out.out.size() - 7), "</svg>\n");
    EXPECT_FALSE(contains(out.out, "available bandwidth"));
    EXPECT_EQ(dir.entries(), std::vector<std::string>{}) << "no file named -";
}

// The effective capabilities of process pid from /proc ("" once it is gone).
std::string capEff(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("CapEff:", 0) == 0) return line.substr(line.find_first_not_of(" \t", 7));
    return "";
}

// The process running program, or 0.
pid_t processOf(const std::string& program) {
    for (const auto& e : std::filesystem::directory_iterator("/proc")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path() / "exe", ec) == program) return std::stoi(e.path().filename());
    }
    return 0;
}

TEST(AvailbwPrivilege, ASetcapCopyGivesUpItsCapabilityBeforeItSends) {
    TSL_REQUIRE_ROOT("to set a file capability and become an ordinary user");
    TempDir dir;
    std::filesystem::permissions(dir.path, std::filesystem::perms::owner_all | std::filesystem::perms::group_exec |
                                               std::filesystem::perms::others_exec);
    const std::string copy = dir.path / "availbw";
    std::filesystem::copy_file(AVAILBW_BIN, copy);
    const RunResult setcap = tsltest::runProgram({"setcap", "cap_net_raw+ep", copy}, 10);
    ASSERT_EQ(setcap.status, 0) << setcap.err;
    // A loopback in a network of its own that answers no echo request: the
    // measurement waits out its second while we look at it.
    auto run = std::async(std::launch::async, [&] {
        return tsltest::runShell("unshare --net sh -c 'ip link set lo up && sysctl -qw net.ipv4.icmp_echo_ignore_all=1 "
                                 "&& exec setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                     copy + " -q --max-time 1 127.0.0.1'",
                                 30);
    });
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    while (pid == 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5)) pid = processOf(copy);
    ASSERT_NE(pid, 0) << "the copy never ran";
    std::string first = capEff(pid), last = first;
    for (int i = 0; i < 200; ++i) {
        const std::string now = capEff(pid);
        if (now.empty()) break;
        last = now;
        usleep(2000);
    }
    const RunResult r = run.get();
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_TRUE(contains(r.err, "availbw: no estimate: ")) << r.err;
    EXPECT_EQ(last, "0000000000000000") << "while measuring; at the start " << first;
}
