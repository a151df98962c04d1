// SPDX-License-Identifier: MIT
// The responder's command line and the way a script plays out over a train.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "script.h"

namespace tsllab {
namespace {

Script parse(const std::vector<std::string>& args) {
    std::string why;
    auto s = parseScript(args, &why);
    EXPECT_TRUE(s) << why;
    return s ? *s : Script{};
}

EchoRequest request(std::uint16_t seq) {
    Bytes icmp = buildIcmp(kIcmpEchoRequest, 0, {0x34, 0x12, 0, 0}, Bytes(16, 0xab));
    writeHost16(icmp, 6, seq);
    fixIcmpChecksum(icmp);
    IpFields ip;
    ip.src = inet_addr("198.18.0.1");
    ip.dst = inet_addr("198.18.1.2");
    return *parseEchoRequest(buildDatagram(ip, {}, icmp));
}

// What was sent, as "type:seq@dueUs" (sequence read in host order, for echo
// and timestamp replies; other messages by type alone).
std::vector<std::string> describe(const std::vector<Outgoing>& out) {
    std::vector<std::string> text;
    for (const auto& o : out) {
        ByteView icmp = ByteView(o.datagram).subspan((o.datagram[0] & 0x0f) * 4u);
        std::string item = std::to_string(icmp[0]);
        if (icmp[0] == kIcmpEchoReply || icmp[0] == kIcmpTimestampReply)
            item += ":" + std::to_string(readHost16(icmp, 6));
        text.push_back(item + "@" + std::to_string(o.dueUs));
    }
    return text;
}

// Feeds requests with the given sequence numbers, one per millisecond, and
// returns everything sent, in order.
std::vector<std::string> play(Train& train, const std::vector<int>& seqs) {
    std::vector<Outgoing> all;
    std::int64_t now = 0;
    for (int seq : seqs) {
        auto out = train.onRequest(request(static_cast<std::uint16_t>(seq)), now);
        for (auto& o : out) all.push_back(std::move(o));
        now += 1000;
    }
    return describe(all);
}

using Strings = std::vector<std::string>;

TEST(ParseScript, DefaultsAndEveryOption) {
    Script d = parse({});
    EXPECT_EQ(d.count, 10);
    EXPECT_EQ(d.trains, 1);
    EXPECT_EQ(d.lingerMs, 200);
    EXPECT_EQ(d.timeoutSec, 30);
    EXPECT_TRUE(d.order.empty());

    Script s = parse({"--count", "4", "--trains", "2", "--order", "0,2,1", "--dup", "3", "--drop", "all",
                      "--delay", "1:50,2:0", "--before", "1,2=foreign-id,seq:65535", "--after", "all=ts-reply",
                      "--before", "2=flood:5", "--linger", "0", "--timeout", "5"});
    EXPECT_EQ(s.count, 4);
    EXPECT_EQ(s.trains, 2);
    EXPECT_EQ(s.order, (std::vector<int>{0, 2, 1}));
    EXPECT_EQ(s.dup, (std::set<int>{3}));
    EXPECT_TRUE(s.dropAll);
    EXPECT_EQ(s.delayMs, (std::map<int, int>{{1, 50}, {2, 0}}));
    ASSERT_EQ(s.before[1].size(), 2u);
    EXPECT_EQ(s.before[1][1], (Case{CaseKind::Seq, 65535, Quote::Options}));
    ASSERT_EQ(s.before[2].size(), 3u);
    EXPECT_EQ(s.before[2][2].kind, CaseKind::Flood);
    ASSERT_EQ(s.after[-1].size(), 1u);
    EXPECT_EQ(s.lingerMs, 0);
    EXPECT_EQ(s.timeoutSec, 5);
}

TEST(ParseScript, RejectsBadCommandLines) {
    const std::vector<std::vector<std::string>> bad = {
        {"--count"},           {"--count", "0"},          {"--count", "ten"},     {"--order", "0,1,0"},
        {"--order", "0,,1"},   {"--order", "all"},        {"--dup", "65536"},     {"--drop", "-1"},
        {"--delay", "3"},      {"--delay", "3:x"},        {"--before", "3"},      {"--before", "3=nonsense"},
        {"--after", "x=seq"},  {"--timeout", "0"},        {"--loud", "1"},       {"--scripted-trains", "-1"},
    };
    for (const auto& args : bad) {
        std::string why;
        EXPECT_FALSE(parseScript(args, &why)) << args[0];
        EXPECT_FALSE(why.empty()) << args[0];
    }
}

TEST(Train, AnswersInOrderByDefault) {
    Script s = parse({"--count", "3"});
    Train t(s);
    EXPECT_EQ(play(t, {0, 1, 2}), (Strings{"0:0@0", "0:1@1000", "0:2@2000"}));
    EXPECT_TRUE(t.finished());
    EXPECT_EQ(t.requestsSeen(), 3);
    // Once finished, nothing more is answered or counted.
    EXPECT_TRUE(play(t, {3}).empty());
    EXPECT_EQ(t.requestsSeen(), 3);
}

TEST(Train, HoldsRepliesForTheGivenOrder) {
    Script s = parse({"--count", "5", "--order", "0,2,1,3"});
    Train t(s);
    // 1 waits for 2; 2 releases 2 then 1; 4 is not listed and goes at once.
    EXPECT_EQ(play(t, {0, 1, 2, 3, 4}), (Strings{"0:0@0", "0:2@2000", "0:1@2000", "0:3@3000", "0:4@4000"}));

    Script back = parse({"--count", "3", "--order", "2,1,0"});
    Train t2(back);
    EXPECT_EQ(play(t2, {0, 1, 2}), (Strings{"0:2@2000", "0:1@2000", "0:0@2000"}));
}

TEST(Train, ReleasesWhatIsHeldWhenTheTrainEnds) {
    // 5 never comes: at the end of the train the held replies go in list order.
    Script s = parse({"--count", "3", "--order", "5,2,0,1"});
    Train t(s);
    EXPECT_EQ(play(t, {0, 1, 2}), (Strings{"0:2@2000", "0:0@2000", "0:1@2000"}));
    EXPECT_TRUE(t.finished());
}

TEST(Train, DuplicatesDropsAndDelays) {
    Script s = parse({"--count", "4", "--dup", "1", "--drop", "2", "--delay", "3:50"});
    Train t(s);
    EXPECT_EQ(play(t, {0, 1, 2, 3}), (Strings{"0:0@0", "0:1@1000", "0:1@1000", "0:3@53000"}));

    Script none = parse({"--count", "2", "--drop", "all", "--dup", "all"});
    Train t2(none);
    EXPECT_TRUE(play(t2, {0, 1}).empty());
    EXPECT_TRUE(t2.finished());
}

TEST(Train, HostileMessagesGoAroundOrInsteadOfTheReply) {
    Script s = parse({"--count", "3", "--dup", "0", "--before", "0=seq:65535,unreach:3", "--after", "0=ts-reply",
                      "--after", "all=type:16", "--drop", "1", "--before", "1=foreign-id", "--delay", "2:10",
                      "--before", "2=seq"});
    Train t(s);
    EXPECT_EQ(play(t, {0, 1, 2}), (Strings{"0:65535@0", "3@0", "0:0@0", "0:0@0", "16@0", "14:0@0",
                                          "0:1@1000", "16@1000",  // foreign-id, then the type-16 for all
                                          "0:10@12000", "0:2@12000", "16@12000"}));
}

TEST(Train, StartsAgainForEachTrain) {
    Script s = parse({"--count", "2", "--trains", "2", "--order", "1,0"});
    Train t(s);
    EXPECT_EQ(play(t, {0, 1}), (Strings{"0:1@1000", "0:0@1000"}));
    EXPECT_FALSE(t.finished());
    EXPECT_EQ(play(t, {0, 1}), (Strings{"0:1@1000", "0:0@1000"}));
    EXPECT_TRUE(t.finished());
    EXPECT_EQ(t.requestsSeen(), 4);

    // Scripted for the first train only: the second gets plain replies.
    Script first = parse({"--count", "3", "--trains", "2", "--scripted-trains", "1", "--order", "0,2,1",
                          "--dup", "2", "--after", "all=ts-reply"});
    Train t2(first);
    EXPECT_EQ(play(t2, {0, 1, 2}), (Strings{"0:0@0", "14:0@0", "0:2@2000", "0:2@2000", "14:2@2000", "0:1@2000",
                                           "14:1@2000"}));
    EXPECT_EQ(play(t2, {0, 1, 2}), (Strings{"0:0@0", "0:1@1000", "0:2@2000"}));
}

}  // namespace
}  // namespace tsllab
