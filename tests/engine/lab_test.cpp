// SPDX-License-Identifier: MIT
// Trains across the lab's router: the routes replies record, the ICMP errors
// the router sends about our requests, and the requests as they go on the wire.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lab.h"
#include "packets.h"

namespace {

using tsltest::countOf;
using tsltest::Lab;
using tsltest::numbersOf;

TEST(LabTrain, RepliesRecordTheRouteThere) {
    Lab lab;
    TSL_REQUIRE_LAB(lab);
    auto r = lab.runInClient({TRAIN_DRIVER, Lab::kTarget, "10", "600", "5"}, 30);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=3 paths=1\n"), 1) << r.out;
    // Each hop records the address it sends from: out through the router to
    // the target, whose reply carries the option back through the router.
    EXPECT_NE(r.out.find("Routes: 1\nvia:\n\t198.18.0.1\n\t198.18.1.254\n\t198.18.1.2\n\t198.18.1.2\n"
                         "\t198.18.0.254\n\t198.18.0.1\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(countOf(r.out, "arrive=-1"), 0);
}

// Each of n errors is described, then dumps the request it quotes: our 668-byte
// datagram with its 60-byte header, whose record-route option follows the two
// addresses.
void expectErrorsQuotingOurRequests(const std::string& out, const std::string& description,
                                    const std::string& paddedDst, int n) {
    EXPECT_EQ(countOf(out, description +
                               "Vr HL TOS  Len   ID Flg  off TTL Pro  cks      Src              Dst Data\n"
                               " 4 15  00 0668 "),
              n)
        << out;
    EXPECT_EQ(countOf(out, " 198.18.0.1      " + paddedDst + " 0727"), n) << out;
}

TEST(LabTrain, UnheldAddressGivesHostUnreachableWithTheQuotedHeader) {
    Lab lab;
    TSL_REQUIRE_LAB(lab);
    auto r = lab.runInClient({TRAIN_DRIVER, Lab::kUnheld, "2", "600", "5"}, 30);
    ASSERT_EQ(r.status, 0) << r.err;
    expectErrorsQuotingOurRequests(r.out, "Destination Host Unreachable\n", "198.18.1.99    ", 2);
    EXPECT_EQ(countOf(r.out, "Timeout exceeded.\n"), 1);
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=2 paths=0\n"), 1);
}

TEST(LabTrain, ExpiringTtlGivesTimeExceededWithTheQuotedHeader) {
    Lab lab({.ttlExpire = true});
    TSL_REQUIRE_LAB(lab);
    auto r = lab.runInClient({TRAIN_DRIVER, Lab::kTarget, "4", "600", "2"}, 30);
    ASSERT_EQ(r.status, 0) << r.err;
    expectErrorsQuotingOurRequests(r.out, "Time to live exceeded\n", "198.18.1.2     ", 4);
    EXPECT_EQ(countOf(r.out, " ++ lost ++\n"), 4);
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=2 paths=0\n"), 1);
}

// Runs trains (one process) against the scripted responder in the target and
// returns what the driver printed.
tsltest::RunResult scriptedTrain(Lab& lab, std::vector<std::string> script, const char* count,
                                 const char* timeout, const char* trains = "1") {
    std::vector<std::string> argv = {TSL_RESPONDER_BIN, "--count", count, "--trains", trains};
    argv.insert(argv.end(), script.begin(), script.end());
    int responder = -1;
    if (!lab.startInTarget(argv, 5, &responder)) return {};
    auto r = lab.runInClient({TRAIN_DRIVER, Lab::kTarget, count, "600", timeout, trains}, 30);
    lab.stop(responder);
    return r;
}

const char kOrderOfPkt[] = "PKT %*d bytes=%*d depart=%*d arrive=%*d order=%d";

TEST(ScriptedTrain, ASecondReplyIsADuplicateAndChangesNothing) {
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    auto r = scriptedTrain(lab, {"--dup", "3"}, "10", "3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=7 paths=1\n"), 1) << r.out;
    EXPECT_NE(r.out.find(" SEQOK  RR_DUP \n"), std::string::npos);
    EXPECT_EQ(countOf(r.out, "arrive=-1"), 0) << "the copy did not end the wait early";
    EXPECT_EQ(countOf(r.out, " order=1\n"), 10) << "packet 4 follows 3, whose copy came between";
    // Arrival and round-trip time of packet 3 are those of its first copy:
    // close to its neighbours', not later.
    const auto arrive = numbersOf(r.out, "PKT %*d bytes=600 depart=%*d arrive=%d");
    const auto rtt = numbersOf(r.out, "pkt %*d: 600 bytes %d us");
    ASSERT_EQ(arrive.size(), 10u) << r.out;
    ASSERT_EQ(rtt.size(), 10u) << r.out;
    EXPECT_LE(arrive[2], arrive[3]);
    EXPECT_LE(arrive[3], arrive[4]);
    EXPECT_GT(rtt[3], 0);
    EXPECT_LE(rtt[3], rtt[4] + 1000);
}

TEST(ScriptedTrain, ALateCopyOfAnEarlierReplyIsADuplicateOnly) {
    // Replies 0 1 2 3, a copy of 1, then 4 to 9.  The copy is the last reply
    // seen, so 4 does not follow its predecessor's reply; but no first reply
    // came below an earlier one, so the train stays in order.
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    auto r = scriptedTrain(lab, {"--after", "3=seq:1"}, "10", "3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=7 paths=1\n"), 1) << r.out;
    EXPECT_NE(r.out.find(" SEQOK  RR_DUP \n"), std::string::npos);
    EXPECT_EQ(numbersOf(r.out, kOrderOfPkt), (std::vector<int>{1, 1, 1, 1, 0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(countOf(r.out, "arrive=-1"), 0);
}

TEST(ScriptedTrain, ADisorderlyTrainLeavesTheNextOneClean) {
    // The first train out of order (0 2 1) with a copy of 5; the second plain.
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    auto r = scriptedTrain(lab, {"--scripted-trains", "1", "--order", "0,2,1", "--dup", "5"}, "10", "3", "2");
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t first = r.out.find("RESULT rc=0 flags=5 paths=1\n");
    ASSERT_NE(first, std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" SEQOK  RR \n", first), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("RESULT rc=0 flags=3 paths=0\n", first), std::string::npos) << r.out;
    const auto orders = numbersOf(r.out, kOrderOfPkt);
    ASSERT_EQ(orders.size(), 20u) << r.out;
    EXPECT_EQ(std::vector<int>(orders.begin() + 10, orders.end()), std::vector<int>(10, 1));
    EXPECT_EQ(countOf(r.out, "arrive=-1"), 0);
}

TEST(ScriptedTrain, RepliesInTheOrder0213) {
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    auto r = scriptedTrain(lab, {"--order", "0,2,1,3"}, "4", "3");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=1 paths=1\n"), 1) << r.out;
    EXPECT_NE(r.out.find(" NOTSEQOK  RR \n"), std::string::npos);
    EXPECT_NE(r.out.find(" order=1\nPKT 1 bytes=600 depart="), std::string::npos);
    for (int i = 1; i < 4; ++i) {
        std::string line = r.out.substr(r.out.find("PKT " + std::to_string(i) + " "));
        EXPECT_EQ(line.substr(line.find(" order="), 9), " order=0\n") << "packet " << i;
    }
    EXPECT_EQ(countOf(r.out, "arrive=-1"), 0);
}

TEST(ScriptedTrain, NoReplyAtAllEndsAtTheTimeOut) {
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    auto r = scriptedTrain(lab, {"--drop", "all"}, "10", "1");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.out, "Timeout exceeded.\n"), 1);
    EXPECT_EQ(countOf(r.out, "arrive=-1"), 10);
    EXPECT_EQ(countOf(r.out, "RESULT rc=0 flags=2 paths=0\n"), 1);
}

TEST(LabTrain, ACallerThatBlocksTheAlarmGetsItsTimeOutAndNoAlarm) {
    // Only the deadline can end the wait: the blocked alarm never runs the handler.
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    auto r = lab.runInClient({BLOCKED_ALARM_CALLER, Lab::kTarget, "2"}, 12);
    ASSERT_FALSE(r.timedOut) << "the train never ended";
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(countOf(r.out, "Timeout exceeded.\n"), 1) << r.out;
    EXPECT_EQ(countOf(r.out, " REPLIES 0 PENDING no\n"), 1) << r.out;
    const auto took = numbersOf(r.out, "TOOK %d ms");
    ASSERT_EQ(took.size(), 1u) << r.out;
    EXPECT_GE(took[0], 2000);
    EXPECT_LE(took[0], 3000);
}

// The lab's checksum, written apart from the engine's, checks what went out.
unsigned checksumOf(const unsigned char* p, size_t n) { return tsllab::inetChecksum(tsllab::ByteView(p, n)); }

TEST(LabTrain, CaptureShowsValidChecksumsAndTheRecordRouteOption) {
    if (access("/usr/bin/tcpdump", X_OK) != 0 && access("/usr/sbin/tcpdump", X_OK) != 0)
        TSL_CANNOT_RUN("tcpdump is not installed");
    Lab lab;
    TSL_REQUIRE_LAB(lab);
    char file[] = "/tmp/tsl-capture-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    // Immediate mode: without it the capture keeps packets in a block that is
    // handed over only after a time-out, and what is in it when the capture
    // is stopped is lost.
    std::string lab_sh = TSL_LAB_SH;
    std::string script = lab_sh + " exec " + lab.name() + " client tcpdump --immediate-mode -Z root -i c0 -n -U -w " + file +
                         " icmp 2>/dev/null & p=$!; sleep 0.5; " + lab_sh + " exec " + lab.name() + " client " +
                         TRAIN_DRIVER + " " + Lab::kTarget + " 10 600 5; s=$?; sleep 0.3; kill -INT $p; wait $p; exit $s";
    auto r = tsltest::runShell(script, 30);
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(file, std::ios::binary);
    std::vector<unsigned char> pcap((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(file);
    ASSERT_GE(pcap.size(), 24u);
    int requests = 0;
    for (size_t at = 24; at + 16 <= pcap.size();) {
        uint32_t caplen;
        std::memcpy(&caplen, &pcap[at + 8], 4);
        const unsigned char* frame = &pcap[at + 16];
        at += 16 + caplen;
        ASSERT_LE(at, pcap.size());
        ASSERT_GE(caplen, 14u + 20u + 8u);
        const unsigned char* ip = frame + 14;  // Ethernet
        if (std::memcmp(ip + 12, "\xc6\x12\x00\x01", 4) != 0) continue;  // not from the client
        ASSERT_EQ(ip[0], 0x4f) << "a 60-byte header";
        EXPECT_EQ(checksumOf(ip, 60), 0u) << "IP header checksum";
        EXPECT_EQ(ip[20], 7);
        EXPECT_EQ(ip[21], 39);
        // The sending host has recorded the address it sent from.
        EXPECT_EQ(ip[22], 8);
        EXPECT_EQ(std::memcmp(ip + 23, "\xc6\x12\x00\x01", 4), 0);
        size_t total = (ip[2] << 8) | ip[3];
        ASSERT_EQ(total, 668u);
        ASSERT_GE(caplen, 14 + total);
        EXPECT_EQ(checksumOf(ip + 60, total - 60), 0u) << "ICMP checksum of request " << requests;
        EXPECT_EQ(ip[60], 8);
        ++requests;
    }
    EXPECT_EQ(requests, 10) << pcap.size() << " ";
}

}  // namespace
