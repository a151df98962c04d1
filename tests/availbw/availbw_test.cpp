// SPDX-License-Identifier: MIT
// The program availbw as a user runs it: the command line, the unknown host
// and the missing privilege, the JSON object and the plot from real runs on
// loopback.  (Its man page is checked with the others by the install tests.)
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
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

const char kUsage[] = "Usage: availbw [--json] [--max-bytes BYTES] [--max-time SECONDS] [--timescale MS] "
                      "[--plot FILE.svg] [-q] HOST\n";

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
        {{"--max-bytes", "1.5G", "127.0.0.1"}, badBytes},
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
    };
    for (const Case& c : cases) {
        const RunResult r = availbw(c.args);
        std::string line;
        for (const std::string& a : c.args) line += " '" + a + "'";
        EXPECT_EQ(r.status, 1) << line << "\n" << r.err;
        EXPECT_EQ(r.out, "") << line;
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
    EXPECT_TRUE(contains(r.out, "with k or K for\n                      thousands and M for millions")) << r.out;
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
                contains(r.err, "net.ipv4.ping_group_range"))
        << r.err;
    EXPECT_EQ(dir.entries(), std::vector<std::string>{}) << "no plot and no temporary file left";
}

TEST(AvailbwLoopback, JsonHasExactlyTheKeys) {
    TSL_REQUIRE_ROOT("for the raw ICMP socket");
    const std::set<std::string> keys{"host",         "address",     "available_bps", "low_bps",
                                     "high_bps",     "capacity_bps", "support",      "rounds",
                                     "probe_bytes",  "duration_s",  "timescale_s",   "packet_bytes",
                                     "reason",       "streams"};
    const std::set<std::string> streamKeys{"rate_bps", "packets", "lost", "verdict", "send_rate_bps",
                                           "receive_rate_bps"};
    const RunResult r = availbw({"--json", "127.0.0.1"});
    ASSERT_TRUE(r.status == 0 || r.status == 2) << r.status << " " << r.err;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
    const nlohmann::json j = nlohmann::json::parse(r.out);
    std::set<std::string> got;
    for (const auto& item : j.items()) got.insert(item.key());
    EXPECT_EQ(got, keys);
    EXPECT_EQ(j["host"], "127.0.0.1");
    EXPECT_EQ(j["address"], "127.0.0.1");
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
    EXPECT_EQ(small.err, "availbw: no estimate: byte budget reached; a larger --max-bytes or --max-time lets it go on\n");
    const nlohmann::json n = nlohmann::json::parse(small.out);
    EXPECT_EQ(n.size(), keys.size());
    EXPECT_TRUE(n["available_bps"].is_null() && n["low_bps"].is_null() && n["capacity_bps"].is_null());
    EXPECT_EQ(n["reason"], "byte budget reached");
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
