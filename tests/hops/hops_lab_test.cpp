// SPDX-License-Identifier: MIT
// availbw --hops on a lab path of three routers: the tight link named when it
// is not the narrow one, and an ordinary user's datagram sockets, which read
// the routers' replies from their error queues, over IPv4 and IPv6.
#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "run.h"

namespace {

// A path lab of lab.sh up NAME --routers ..., removed again however the test ends.
class PathLab {
public:
    explicit PathLab(std::vector<std::string> options) {
        static int counter = 0;
        // The fixture's naming, so lab.sh clean removes it if this process dies.
        name_ = "tsl" + std::to_string(getpid()) + "n" + std::to_string(9000 + counter++);
        std::vector<std::string> argv = {TSL_LAB_SH, "up", name_};
        argv.insert(argv.end(), options.begin(), options.end());
        const tsltest::RunResult r = tsltest::runProgram(argv, 60);
        up_ = r.status == 0;
        reason_ = r.err;
    }
    ~PathLab() { tsltest::runProgram({TSL_LAB_SH, "down", name_}, 60); }
    bool up() const { return up_; }
    const std::string& reason() const { return reason_; }

    // availbw --hops HOST --json -q ARGS in the client, as root or an ordinary user.
    nlohmann::json hops(const std::string& host, std::vector<std::string> args, bool ordinaryUser, int* status) {
        // At nice -20: a sender that loses the processor sends its trains slower than their rate.
        std::vector<std::string> argv = {TSL_LAB_SH, "exec", name_, "client", "nice", "-n", "-20"};
        if (ordinaryUser)
            argv.insert(argv.end(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--inh-caps=-all",
                                     "--bounding-set=-all"});
        argv.insert(argv.end(), {AVAILBW_BIN, "--hops", host, "--json", "-q"});
        argv.insert(argv.end(), args.begin(), args.end());
        const tsltest::RunResult r = tsltest::runProgram(argv, 100);
        *status = r.status;
        return nlohmann::json::parse(r.out, nullptr, false);
    }

private:
    std::string name_, reason_;
    bool up_ = false;
};

#define REQUIRE_PATH(lab)                                                              \
    do {                                                                               \
        TSL_REQUIRE_ROOT("for network namespaces");                                    \
        if (!(lab).up()) GTEST_FAIL() << "lab.sh up failed: " << (lab).reason();       \
    } while (0)

TEST(HopsLab, TheTightLinkBeforeANarrowerIdleOne) {
    // Router 1's link of 100 Mbit/s carries 70 (about 27 free, frames counted);
    // router 2's of 60 is idle: narrow, not tight.  Limits lifted, so the
    // trains may follow each other closely.
    PathLab lab({"--routers", "3", "--hop-rate", "1:100", "--hop-cross", "1:70", "--hop-rate", "2:60",
                 "--unlimited", "all"});
    REQUIRE_PATH(lab);
    // Timing on a shared machine: a second run when the first names nothing
    // or the wrong link.
    std::string seen;
    for (int run = 0; run < 2; ++run) {
        int status = -1;
        const nlohmann::json j = lab.hops("198.18.4.1", {"--spacing", "0.25"}, false, &status);
        ASSERT_TRUE(j.is_object()) << "no JSON";
        if (status == 0 && j["tight_link"]["from_hop"] == 1 && j["tight_link"]["to_hop"] == 2) {
            EXPECT_EQ(j["tight_link"]["from"], "198.18.1.1");
            EXPECT_EQ(j["tight_link"]["to"], "198.18.2.1");
            EXPECT_GT(2 * j["tight_link"]["agree"].get<int>(), j["tight_link"]["trains"].get<int>());
            EXPECT_LE(j["probe_bytes"].get<double>(), 2e6);
            return;
        }
        seen += j.dump() + "\n";
    }
    FAIL() << "the tight link at hop 1 was not named in two runs:\n" << seen;
}

TEST(HopsLab, AnOrdinaryUserReadsTheRoutersRepliesFromTheErrorQueue) {
    PathLab lab({"--routers", "3", "--silent", "2", "--unlimited", "all", "--ping-users"});
    REQUIRE_PATH(lab);
    for (const char* host : {"198.18.4.1", "2001:2:0:4::1"}) {
        const bool v6 = host[4] == ':';
        int status = -1;
        const nlohmann::json j = lab.hops(host, {"--spacing", "0.2", "--max-time", "4"}, true, &status);
        ASSERT_TRUE(j.is_object()) << host;
        EXPECT_EQ(j["socket"], "datagram") << host;
        ASSERT_EQ(j["hops"].size(), 4u) << j.dump();
        const char* expected[] = {v6 ? "2001:2:0:1::1" : "198.18.1.1", nullptr,
                                  v6 ? "2001:2:0:3::1" : "198.18.3.1", host};
        for (int h = 0; h < 4; ++h) {
            const nlohmann::json& hop = j["hops"][h];
            EXPECT_EQ(hop["hop"], h + 1);
            if (expected[h] == nullptr) {
                EXPECT_EQ(hop["address"], nullptr) << host << ": the silent router";
                EXPECT_EQ(hop["replies"], 0) << host;
                continue;
            }
            EXPECT_EQ(hop["address"], expected[h]) << host << " hop " << h + 1;
            EXPECT_GE(hop["expected"].get<int>(), 4) << host;
            EXPECT_EQ(hop["replies"], hop["expected"]) << host << " hop " << h + 1 << ": a reply lost";
            EXPECT_NE(hop["rtt_ms"], nullptr) << host;
        }
    }
}

}  // namespace
