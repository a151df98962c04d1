// SPDX-License-Identifier: MIT
// Hostile ICMP injected into real trains.  In the lab, the scripted responder
// answers the client's train and sends, around or instead of a genuine reply,
// messages that are foreign, malformed or of other types; train_driver runs
// the engine in the client namespace.  Each row names what its messages may
// change: foreign and malformed ones change no arrival, flag or count (a copy
// of a real reply sets only the duplicate bit), what the engine prints before
// its report is exactly the description of each message as far as it could
// be read, and the run ends normally.  The CI suite runs this under the
// sanitizers, so a read past a received datagram ends the driver with an error.
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "lab.h"
#include "tamsel.h"

namespace {

using tsltest::Lab;

constexpr int kCount = 10;
constexpr int kSize = 100;  // ICMP data bytes: requests are 168-byte datagrams with their options

// ---- Expected descriptions -------------------------------------------------
// Patterns: literal text in which {X4} stands for 4 hex digits (IP
// identification and checksums the kernel chose), {OPTS} for the option bytes
// of the request as the responder saw it, {ICMP8} for the first 8 bytes of an
// echo request.
const std::string kHeading = "Vr HL TOS  Len   ID Flg  off TTL Pro  cks      Src              Dst Data\n";
// The quoted datagrams of the responder (see tests/lab/cases.h): the request's
// header with its options (the router took 1 from the TTL, DF is set), without
// them, cut to 12 bytes, a 20-byte header claiming 60, and TCP or UDP datagrams.
const std::string kOpts = kHeading + " 4 15  00 0168 {X4}   2 0000  63   1 {X4} 198.18.0.1      198.18.1.2      {OPTS}\n";
const std::string kBare = kHeading + " 4  5  00 0128 {X4}   2 0000  63   1 {X4} 198.18.0.1      198.18.1.2      \n";
const std::string kTrunc = kHeading + " 4 15  00 0168 {X4}   2 0000  63   1 {X4}\n";
const std::string kLying = kHeading + " 4 15  00 0128 {X4}   2 0000  63   1 {X4} 198.18.0.1      198.18.1.2      {ICMP8}\n";
const std::string kTcp = kHeading + " 4  5  00 0028 0000   0 0000  64   6 {X4} 198.18.0.1      198.18.1.2      \n"
                                    "TCP: from port 4660, to port 80 (decimal)\n";
const std::string kUdp = kHeading + " 4  5  00 0028 0000   0 0000  64  17 {X4} 198.18.0.1      198.18.1.2      \n"
                                    "UDP: from port 4661, to port 33434 (decimal)\n";
const std::string kRedirectTo = " (New addr: 0xc61201fe)\n";  // the responder redirects to 198.18.1.254

std::string repeat(const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
}

bool isHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// True when text is the whole pattern, with opts for {OPTS}.
bool matchesPattern(const std::string& text, const std::string& pattern, const std::string& opts) {
    size_t t = 0;
    auto hexRun = [&](size_t n) {
        for (size_t k = 0; k < n; ++k, ++t)
            if (t >= text.size() || !isHex(text[t])) return false;
        return true;
    };
    for (size_t p = 0; p < pattern.size();) {
        if (pattern.compare(p, 4, "{X4}") == 0) {
            if (!hexRun(4)) return false;
            p += 4;
        } else if (pattern.compare(p, 6, "{OPTS}") == 0) {
            if (text.compare(t, opts.size(), opts) != 0) return false;
            t += opts.size();
            p += 6;
        } else if (pattern.compare(p, 7, "{ICMP8}") == 0) {
            if (text.compare(t, 4, "0800") != 0) return false;
            t += 4;
            if (!hexRun(12)) return false;
            p += 7;
        } else {
            if (t >= text.size() || text[t] != pattern[p]) return false;
            ++t;
            ++p;
        }
    }
    return t == text.size();
}

// ---- The table ----------------------------------------------------------------
struct Injection {
    const char* name;
    std::vector<std::string> script;  // the responder's options
    std::set<int> lost;               // packets left without a reply
    std::set<int> orderZero;          // packets that arrived with order flag 0
    int flags;                        // train flags word
    int paths;                        // path count
    std::string described;            // all the engine prints before its report (pattern)
    std::string reportHas = "";       // text the report must hold
};

// Test names and failure messages show a row by its name.
void PrintTo(const Injection& row, std::ostream* os) { *os << row.name; }

constexpr int kClean = TSL_FLAG_ROUTE | TSL_FLAG_INORDER;
constexpr int kDup = kClean | TSL_FLAG_DUP;
// The route listing when the odd route came after the genuine one (newest
// first).  Length 3 leaves the pointer at 20 and zero address slots: four
// empty addresses.  Pointer 255 lists all nine slots and no more: the four
// addresses recorded before the responder spoiled the pointer, five empty.
const std::string kRouteLength3 = "Routes: 2\nvia:\n" + repeat("\t0.0.0.0\n", 4) + "via:\n";
const std::string kRoutePointer255 = "Routes: 2\nvia:\n\t198.18.0.1\n\t198.18.1.254\n\t198.18.1.2\n\t198.18.1.2\n" +
                                     repeat("\t0.0.0.0\n", 5) + "via:\n";

const Injection kInjections[] = {
    // Echo replies that are not replies to this train: dropped without a word.
    {"ForeignIdentifier", {"--before", "3=foreign-id"}, {}, {}, kClean, 1, ""},
    {"SequenceTen", {"--before", "3=seq:10"}, {}, {}, kClean, 1, ""},
    {"Sequence65535", {"--before", "3=seq:65535"}, {}, {}, kClean, 1, ""},
    {"NoDataBytes", {"--before", "3=short:0"}, {}, {}, kClean, 1, ""},
    {"ThreeDataBytes", {"--before", "3=short:3"}, {}, {}, kClean, 1, ""},
    // Without room for the send stamp a reply is not taken, even when it is the only one.
    {"ThreeDataBytesInsteadOfReply", {"--drop", "3", "--before", "3=short:3"}, {3}, {4}, kClean, 1, ""},
    // A timestamp reply with the train's identifier counts as a reply.
    {"TimestampReplyAfterReply", {"--after", "3=ts-reply"}, {}, {}, kDup, 1, ""},
    {"TimestampReplyInsteadOfReply", {"--drop", "3", "--before", "3=ts-reply"}, {}, {}, kClean, 1, ""},
    // Record-route options with hostile length bytes never reach the engine: the
    // router's and the client's kernels drop them (the crafted-datagram tests
    // take them to the engine directly).  Length 3 passes, pointer 255 too.
    {"RouteLength0InsteadOfReply", {"--drop", "3", "--before", "3=rr-len:0"}, {3}, {4}, kClean, 1, ""},
    {"RouteLength41InsteadOfReply", {"--drop", "3", "--before", "3=rr-len:41"}, {3}, {4}, kClean, 1, ""},
    {"RouteLength255InsteadOfReply", {"--drop", "3", "--before", "3=rr-len:255"}, {3}, {4}, kClean, 1, ""},
    {"RouteLength41BeforeReply", {"--before", "3=rr-len:41"}, {}, {}, kClean, 1, ""},
    {"RouteLength3InsteadOfReply", {"--drop", "3", "--before", "3=rr-len:3"}, {}, {}, kClean, 2, "",
     kRouteLength3},
    {"RoutePointer255InsteadOfReply", {"--drop", "3", "--before", "3=rr-ptr:255"}, {}, {}, kClean, 2, "", kRoutePointer255},
    {"RoutePointer255AfterReply", {"--after", "3=rr-ptr:255"}, {}, {}, kDup, 2, "", kRoutePointer255},
    // Errors between two replies, quoting every kind of datagram.
    {"NetUnreachableBare", {"--after", "3=unreach:0/bare"}, {}, {}, kClean, 1, "Destination Net Unreachable\n" + kBare},
    {"HostUnreachableOptions", {"--after", "3=unreach:1/opts"}, {}, {}, kClean, 1,
     "Destination Host Unreachable\n" + kOpts},
    {"ProtocolUnreachableTruncated", {"--after", "3=unreach:2/trunc"}, {}, {}, kClean, 1,
     "Destination Protocol Unreachable\n" + kTrunc},
    {"PortUnreachableUdp", {"--after", "3=unreach:3/udp"}, {}, {}, kClean, 1, "Destination Port Unreachable\n" + kUdp},
    {"FragNeededLying", {"--after", "3=unreach:4/lying"}, {}, {}, kClean, 1, "frag needed and DF set\n" + kLying},
    {"SourceRouteFailedTcp", {"--after", "3=unreach:5/tcp"}, {}, {}, kClean, 1, "Source Route Failed\n" + kTcp},
    {"UnreachableBadCodeOptions", {"--after", "3=unreach:13/opts"}, {}, {}, kClean, 1,
     "Dest Unreachable, Bad Code: 13\n" + kOpts},
    {"SourceQuenchBare", {"--after", "3=source-quench/bare"}, {}, {}, kClean, 1, "Source Quench\n" + kBare},
    {"RedirectNetOptions", {"--after", "3=redirect:0/opts"}, {}, {}, kClean, 1, "Redirect Network" + kRedirectTo + kOpts},
    {"RedirectHostTruncated", {"--after", "3=redirect:1/trunc"}, {}, {}, kClean, 1,
     "Redirect Host" + kRedirectTo + kTrunc},
    {"RedirectTosNetTcp", {"--after", "3=redirect:2/tcp"}, {}, {}, kClean, 1,
     "Redirect Type of Service and Network" + kRedirectTo + kTcp},
    {"RedirectTosHostUdp", {"--after", "3=redirect:3/udp"}, {}, {}, kClean, 1,
     "Redirect Type of Service and Host" + kRedirectTo + kUdp},
    {"RedirectBadCodeLying", {"--after", "3=redirect:7/lying"}, {}, {}, kClean, 1,
     "Redirect, Bad Code: 7" + kRedirectTo + kLying},
    {"TimeExceededOptions", {"--after", "3=time-exceeded:0/opts"}, {}, {}, kClean, 1, "Time to live exceeded\n" + kOpts},
    {"ReassemblyExceededUdp", {"--after", "3=time-exceeded:1/udp"}, {}, {}, kClean, 1,
     "Frag reassembly time exceeded\n" + kUdp},
    {"TimeExceededBadCodeTruncated", {"--after", "3=time-exceeded:9/trunc"}, {}, {}, kClean, 1,
     "Time exceeded, Bad Code: 9\n" + kTrunc},
    {"ParameterProblemOptions", {"--after", "3=param-problem:20/opts"}, {}, {}, kClean, 1,
     "Parameter problem: pointer = 0x14\n" + kOpts},
    {"ParameterProblemLying", {"--after", "3=param-problem:255/lying"}, {}, {}, kClean, 1,
     "Parameter problem: pointer = 0xff\n" + kLying},
    {"ParameterProblemTcp", {"--after", "3=param-problem:0/tcp"}, {}, {}, kClean, 1,
     "Parameter problem: pointer = 0x00\n" + kTcp},
    // Other types, with our identifier, sequence and data: one line each.
    {"Type1", {"--after", "3=type:1"}, {}, {}, kClean, 1, "Bad ICMP type: 1\n"},
    {"Type6", {"--after", "3=type:6"}, {}, {}, kClean, 1, "Bad ICMP type: 6\n"},
    {"EchoRequest", {"--after", "3=type:8"}, {}, {}, kClean, 1, "Echo Request\n"},
    {"TimestampRequest", {"--after", "3=type:13"}, {}, {}, kClean, 1, "Timestamp\n"},
    {"InformationRequest", {"--after", "3=type:15"}, {}, {}, kClean, 1, "Information Request\n"},
    {"InformationReply", {"--after", "3=type:16"}, {}, {}, kClean, 1, "Information Reply\n"},
    {"AddressMaskRequest", {"--after", "3=type:17"}, {}, {}, kClean, 1, "Address Mask Request\n"},
    {"AddressMaskReply", {"--after", "3=type:18"}, {}, {}, kClean, 1, "Address Mask Reply\n"},
    {"Type19", {"--after", "3=type:19"}, {}, {}, kClean, 1, "Bad ICMP type: 19\n"},
    {"Type255", {"--after", "3=type:255"}, {}, {}, kClean, 1, "Bad ICMP type: 255\n"},
    // An error in place of a reply: that packet is lost, nothing else changes.
    {"UnreachableInsteadOfReply", {"--drop", "3", "--before", "3=unreach:1/opts"}, {3}, {4}, kClean, 1,
     "Destination Host Unreachable\n" + kOpts},
    // An error ahead of every reply.
    {"TimeExceededBeforeEveryReply", {"--before", "all=time-exceeded/opts"}, {}, {}, kClean, 1,
     repeat("Time to live exceeded\n" + kOpts, kCount)},
    // Reordered and duplicated real replies with foreign messages between them:
    // the flags come from the real replies alone.
    {"ForeignAmongReorderedAndDuplicated",
     {"--order", "0,2,1", "--dup", "5", "--after", "5=foreign-id,seq:10,short:2,unreach:3/udp"}, {}, {1, 2, 3},
     TSL_FLAG_ROUTE | TSL_FLAG_DUP, 1, "Destination Port Unreachable\n" + kUdp},
};

// ---- Running one train in the lab -------------------------------------------
struct Packet {
    int bytes = 0, depart = 0, arrive = 0, order = 0;
};

struct Train {
    tsltest::RunResult driver, responder;
    int rc = -1, flags = -1, paths = -1;
    std::vector<Packet> packets;
    std::string optionsHex;  // the options of request 3 as the responder saw them
};

// Starts the responder with script in the lab's target and runs a train of
// kCount packets from its client; false (with a failure) when the responder
// does not start.
bool runTrain(Lab& lab, const std::vector<std::string>& script, int timeoutSec, Train* t) {
    std::vector<std::string> argv = {TSL_RESPONDER_BIN, "--count", std::to_string(kCount), "--timeout", "20"};
    argv.insert(argv.end(), script.begin(), script.end());
    int responder = -1;
    if (!lab.startInTarget(argv, 5, &responder)) {
        ADD_FAILURE() << "the responder did not start: " << lab.stop(responder).err;
        return false;
    }
    t->driver = lab.runInClient({TRAIN_DRIVER, Lab::kTarget, std::to_string(kCount), std::to_string(kSize),
                                 std::to_string(timeoutSec)},
                                60);
    t->responder = lab.wait(responder, 10);
    for (const auto& line : tsltest::splitLines(t->driver.out)) {
        Packet p;
        int i;
        if (std::sscanf(line.c_str(), "RESULT rc=%d flags=%d paths=%d", &t->rc, &t->flags, &t->paths) == 3) continue;
        if (std::sscanf(line.c_str(), "PKT %d bytes=%d depart=%d arrive=%d order=%d", &i, &p.bytes, &p.depart,
                        &p.arrive, &p.order) == 5 &&
            i == static_cast<int>(t->packets.size()))
            t->packets.push_back(p);
    }
    for (const auto& line : tsltest::splitLines(t->responder.out)) {
        char options[256];
        if (std::sscanf(line.c_str(), "request seq=3 id=%*u data=%*u options=%255s", options) == 1)
            t->optionsHex = options;
    }
    return true;
}

// Standard error of the driver without the receive step's failure reports:
// an error message that quotes one of our requests can leave a pending socket
// error, which the next receive reports ("ping: recvfrom: REASON") before reading on.
std::string unexpectedErrors(std::string err) {
    for (size_t at; (at = err.find("ping: recvfrom: ")) != std::string::npos;) {
        const size_t end = err.find('\n', at);
        err.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    }
    return err;
}

void expectNormalEnd(const Train& t) {
    EXPECT_FALSE(t.driver.timedOut);
    EXPECT_EQ(t.driver.signal, 0);
    EXPECT_EQ(t.driver.status, 0) << t.driver.err;
    EXPECT_EQ(unexpectedErrors(t.driver.err), "");
    EXPECT_EQ(t.rc, 0);
    EXPECT_EQ(t.responder.status, 0) << t.responder.err;
    EXPECT_NE(t.responder.out.find("done requests=10 "), std::string::npos) << t.responder.out;
}

class Injected : public testing::TestWithParam<Injection> {};

TEST_P(Injected, ChangesOnlyWhatItsRowSays) {
    const Injection& row = GetParam();
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    Train t;
    ASSERT_TRUE(runTrain(lab, row.script, 2, &t));
    SCOPED_TRACE("driver output:\n" + t.driver.out);
    expectNormalEnd(t);

    EXPECT_EQ(t.flags, row.flags);
    EXPECT_EQ(t.paths, row.paths);
    ASSERT_EQ(t.packets.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        const Packet& p = t.packets[static_cast<size_t>(i)];
        EXPECT_EQ(p.bytes, kSize);
        if (row.lost.count(i)) {
            EXPECT_EQ(p.arrive, TSL_NO_REPLY) << "packet " << i;
        } else {
            EXPECT_GE(p.arrive, p.depart) << "packet " << i;
            EXPECT_EQ(p.order, row.orderZero.count(i) ? 0 : 1) << "packet " << i;
        }
    }

    // Everything before the report is the description of what came, and the
    // time-out note when a packet stayed without its reply.
    size_t report = t.driver.out.find("\npkt 0: ");
    ASSERT_NE(report, std::string::npos);
    std::string described = row.described + (row.lost.empty() ? "" : "Timeout exceeded.\n");
    ASSERT_FALSE(t.optionsHex.empty()) << t.responder.out;
    EXPECT_TRUE(matchesPattern(t.driver.out.substr(0, report), described, t.optionsHex))
        << "expected the pattern:\n" << described;
    EXPECT_NE(t.driver.out.find(row.reportHas, report), std::string::npos) << "expected in the report:\n" << row.reportHas;
}

INSTANTIATE_TEST_SUITE_P(Lab, Injected, testing::ValuesIn(kInjections),
                         [](const testing::TestParamInfo<Injection>& info) { return std::string(info.param.name); });

// 10000 foreign messages right after the first reply, ahead of the other nine.
void expectFloodSurvived(const std::string& kind, bool described) {
    Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    Train t;
    ASSERT_TRUE(runTrain(lab, {"--after", "0=" + kind + ":10000"}, 3, &t));
    expectNormalEnd(t);
    EXPECT_EQ(t.flags, kClean);
    EXPECT_EQ(t.paths, 1);
    ASSERT_EQ(t.packets.size(), static_cast<size_t>(kCount));
    for (int i = 0; i < kCount; ++i) EXPECT_GE(t.packets[static_cast<size_t>(i)].arrive, t.packets[static_cast<size_t>(i)].depart);
    EXPECT_NE(t.responder.out.find("sent=10010\n"), std::string::npos) << t.responder.out;
    size_t report = t.driver.out.find("\npkt 0: ");
    ASSERT_NE(report, std::string::npos);
    if (described) {
        EXPECT_GT(report, 0u) << "the foreign messages of other types are described";
    } else {
        EXPECT_EQ(report, 0u) << "foreign echo replies are dropped without a word";
    }
    EXPECT_EQ(t.driver.out.find("Timeout exceeded."), std::string::npos);
}

TEST(Flood, ForeignEchoRepliesLeaveTheTrainWhole) { expectFloodSurvived("flood", false); }

TEST(Flood, ForeignMessagesOfMixedTypesLeaveTheTrainWhole) { expectFloodSurvived("flood-mixed", true); }

}  // namespace
