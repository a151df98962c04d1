// SPDX-License-Identifier: MIT
// The engine's pure logic on crafted bytes: checksum, the outgoing message,
// classification of received datagrams, route recording, the order and
// duplicate bookkeeping, and the texts of the report and the diagnostics.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "datagrams.h"
#include "packets.h"
#include "tsl_engine.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes hex(const std::string& text) { return tslfuzz::datagramBytes(text.c_str()); }

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A whole datagram from 198.18.1.2 to 198.18.0.1: IP header with options, then the ICMP message.
Bytes datagram(const Bytes& icmp, const Bytes& options = {}) {
    tsllab::IpFields ip;
    ip.src = htonl(0xc6120102);
    ip.dst = htonl(0xc6120001);
    return tsllab::buildDatagram(ip, options, icmp);
}

// An ICMP echo (or timestamp) reply carrying our identifier, seq and stamp in host order.
Bytes reply(uint16_t seq, int32_t stamp, int dataBytes = 600, uint16_t id = tsl::ident, uint8_t type = 0) {
    Bytes m(8 + static_cast<size_t>(dataBytes), 0);
    m[0] = type;
    std::memcpy(&m[4], &id, 2);
    std::memcpy(&m[6], &seq, 2);
    if (dataBytes >= 4) std::memcpy(&m[8], &stamp, 4);
    return m;
}

Bytes rrOption(uint8_t pointer, std::vector<uint32_t> addrs, uint8_t length = 39) {
    Bytes o(40, 0);
    o[0] = 7;
    o[1] = length;
    o[2] = pointer;
    for (size_t i = 0; i < addrs.size() && i < 9; ++i) {
        uint32_t net = htonl(addrs[i]);
        std::memcpy(&o[3 + 4 * i], &net, 4);
    }
    return o;
}

std::string captured(void (*fn)(const unsigned char*, int), const Bytes& b) {
    testing::internal::CaptureStdout();
    fn(b.data(), static_cast<int>(b.size()));
    return testing::internal::GetCapturedStdout();
}

class EngineState : public testing::Test {
protected:
    void SetUp() override {
        resetTrain();
        savedRoutes = tsl::sumopt;
        tsl::sumopt = nullptr;
    }
    // A train of 10 packets all out, nothing received yet.
    void resetTrain() {
        tsl::prepare_header();
        tsl::reset_train_state();
        tsl::whereto.sin_family = AF_INET;
        tsl::whereto.sin_addr.s_addr = htonl(0xc6120102);  // datagram() comes from there
        tsl::npackets = 10;
        tsl::lastSeq = -1;
        tsl::highestFirstSeq = -1;
        for (int i = 0; i < 10; ++i) {
            tsl::arrive[i] = -1;
            tsl::returned[i] = 0;
        }
    }
    void TearDown() override {
        // Keep every node reachable: append this test's routes to the saved list.
        tsl::RouteNode** tail = &tsl::sumopt;
        while (*tail != nullptr) tail = &(*tail)->link;
        *tail = savedRoutes;
    }
    int classify(const Bytes& d) {
        testing::internal::CaptureStdout();
        int r = tsl::classify_datagram(d.data(), static_cast<int>(d.size()));
        output = testing::internal::GetCapturedStdout();
        return r;
    }
    tsl::RouteNode* savedRoutes = nullptr;
    std::string output;
};

TEST(Checksum, KnownVectorsAndSelfCheck) {
    // Words 0001 f203 f4f5 f6f7 sum to ddf2; the complement 220d goes out in network order.
    Bytes v = hex("0001f203f4f5f6f7");
    uint16_t sum = tsl::in_cksum(v.data(), static_cast<int>(v.size()));
    unsigned char wire[2];
    std::memcpy(wire, &sum, 2);
    EXPECT_EQ(wire[0], 0x22);
    EXPECT_EQ(wire[1], 0x0d);

    // An odd last byte counts as padded with zero: 0102 + 0300 = 0402, complement fbfd.
    Bytes odd = hex("010203");
    sum = tsl::in_cksum(odd.data(), 3);
    std::memcpy(wire, &sum, 2);
    EXPECT_EQ(wire[0], 0xfb);
    EXPECT_EQ(wire[1], 0xfd);

    // All ones folds to zero; an empty message sums to ffff.
    Bytes ones = hex("ffffffff");
    EXPECT_EQ(tsl::in_cksum(ones.data(), 4), 0);
    EXPECT_EQ(tsl::in_cksum(nullptr, 0), 0xffff);

    // A message with its checksum stored checks to 0, odd lengths included.
    for (int len : {8, 9, 608, 65535}) {
        Bytes m(static_cast<size_t>(len));
        for (int i = 0; i < len; ++i) m[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 7 + 3);
        m[2] = m[3] = 0;
        uint16_t s = tsl::in_cksum(m.data(), len);
        std::memcpy(&m[2], &s, 2);
        EXPECT_EQ(tsl::in_cksum(m.data(), len), 0) << "length " << len;
    }
}

TEST(OutgoingMessage, EchoRequestOf600DataBytes) {
    // Send through the real send step to a local UDP socket and read it back.
    int rx = socket(AF_INET, SOCK_DGRAM, 0);
    int tx = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(rx, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    socklen_t len = sizeof to;
    getsockname(rx, reinterpret_cast<sockaddr*>(&to), &len);

    tsl::prepare_header();
    tsl::fill_pattern();
    gettimeofday(&tsl::starttv, nullptr);
    tsl::datalen = 600;
    EXPECT_EQ(tsl::send_icmp(tx, 3, &to), 608);
    unsigned char m[2048];
    ASSERT_EQ(recv(rx, m, sizeof m, 0), 608);
    close(rx);
    close(tx);

    EXPECT_EQ(m[0], 8);
    EXPECT_EQ(m[1], 0);
    uint16_t id, seq;
    int32_t stamp;
    std::memcpy(&id, m + 4, 2);
    std::memcpy(&seq, m + 6, 2);
    std::memcpy(&stamp, m + 8, 4);
    EXPECT_EQ(id, static_cast<uint16_t>(getpid() & 0xffff));
    EXPECT_EQ(seq, 3);
    EXPECT_GE(stamp, 0);
    EXPECT_LE(stamp, tsl::this_time) << "the stamp is the earlier of the two samples";
    EXPECT_EQ(tsl::in_cksum(m, 608), 0);
    for (int k = 12; k < 608; ++k) ASSERT_EQ(m[k], (k - 4) % 256) << "offset " << k;
    EXPECT_EQ(m[12], 8);
    EXPECT_EQ(m[259], 255);
    EXPECT_EQ(m[260], 0);
    EXPECT_EQ(tsl::outpack[tsl::BUFSIZE - 1], 0) << "the last 4 bytes stay 0";
}

TEST_F(EngineState, AcceptsOnlyRepliesToThisTrain) {
    tsl::recv_time = 1500;
    EXPECT_EQ(classify(datagram(reply(4, 1000))), 628);
    EXPECT_EQ(tsl::packet_id, 4);
    EXPECT_EQ(tsl::rtt, 500);
    EXPECT_EQ(tsl::routeData, 0) << "no options, no route";
    EXPECT_EQ(output, "");

    const auto foreign = static_cast<uint16_t>(tsl::ident + 1);  // ours may be 0 (pid a multiple of 65536)
    EXPECT_EQ(classify(datagram(reply(2, 0, 600, foreign, 14))), -1) << "timestamp reply of another id";
    EXPECT_EQ(classify(datagram(reply(2, 700, 600, tsl::ident, 14))), 628) << "timestamp reply";
    EXPECT_EQ(tsl::packet_id, 2);

    tsl::packet_id = 77;
    tsl::rtt = 77;
    EXPECT_EQ(classify(datagram(reply(1, 0, 600, foreign))), -1);
    EXPECT_EQ(classify(datagram(reply(10, 0), rrOption(8, {1}))), -1) << "sequence beyond the train";
    EXPECT_EQ(classify(datagram(reply(65535, 0), rrOption(8, {1}))), -1);
    EXPECT_EQ(classify(datagram(reply(1, 0, 3), rrOption(8, {1}))), -1) << "no room for the stamp";
    EXPECT_EQ(tsl::packet_id, 77);
    EXPECT_EQ(tsl::rtt, 77);
    EXPECT_EQ(tsl::routeData, 0) << "a rejected reply records no route";
    EXPECT_EQ(tsl::numPaths, 0);
    EXPECT_EQ(output, "");

    Bytes d = datagram(reply(1, 0));
    EXPECT_EQ(classify(Bytes(d.begin(), d.begin() + 27)), -1) << "shorter than header + 8";
    EXPECT_EQ(classify(Bytes(d.begin(), d.begin() + 28)), -1) << "header + 8 but no stamp";
    d[0] = 0x44;
    EXPECT_EQ(classify(d), -1) << "header length below 20";
    EXPECT_EQ(classify(Bytes{}), -1);
}

TEST_F(EngineState, RecordsEachNewRouteOnce) {
    Bytes a = rrOption(12, {0xc6120102, 0xc61200fe});
    Bytes samePathLater = a;
    Bytes otherPointer = rrOption(16, {0xc6120102, 0xc61200fe});
    Bytes otherAddress = rrOption(12, {0xc6120102, 0xc61200fd});
    tsl::recv_time = 10;
    for (const Bytes* o : {&a, &samePathLater, &otherPointer, &otherAddress, &a})
        ASSERT_GT(classify(datagram(reply(0, 0), *o)), 0);
    EXPECT_EQ(tsl::routeData, 1);
    EXPECT_EQ(tsl::numPaths, 3);

    // A later train over a known route counts nothing new but still sees route data.
    tsl::reset_train_state();
    ASSERT_GT(classify(datagram(reply(0, 0), a)), 0);
    EXPECT_EQ(tsl::routeData, 1);
    EXPECT_EQ(tsl::numPaths, 0);

    // Newest first in the list.
    ASSERT_NE(tsl::sumopt, nullptr);
    EXPECT_EQ(std::memcmp(tsl::sumopt->opt, otherAddress.data(), 40), 0);
}

TEST_F(EngineState, RouteOptionsAreReadWithinTheHeader) {
    tsl::recv_time = 10;
    // Length bytes of 0, 3, 41 and 255, pointer 255: each stored once, never past 40 bytes.
    for (uint8_t length : {0, 3, 41, 255}) {
        Bytes o = rrOption(255, {0x01020304, 0x05060708}, length);
        ASSERT_GT(classify(datagram(reply(0, 0), o)), 0);
        ASSERT_GT(classify(datagram(reply(1, 0), o)), 0);
    }
    EXPECT_EQ(tsl::numPaths, 4);
    EXPECT_EQ(tsl::sumopt->opt[1], 255);
    // A 4-byte option area whose option claims 39 bytes: only 4 are copied.
    Bytes small = hex("07270800");
    ASSERT_GT(classify(datagram(reply(0, 0), small)), 0);
    EXPECT_EQ(tsl::numPaths, 5);
    EXPECT_EQ(std::memcmp(tsl::sumopt->opt, small.data(), 4), 0);
    for (int i = 4; i < 40; ++i) EXPECT_EQ(tsl::sumopt->opt[i], 0);
    // The whole option that the cut one began is another route; the cut one again is not.
    ASSERT_GT(classify(datagram(reply(0, 0), rrOption(8, {}))), 0);
    ASSERT_GT(classify(datagram(reply(1, 0), small)), 0);
    EXPECT_EQ(tsl::numPaths, 6);
    // The route listing stops at the ninth slot whatever the pointer says.
    testing::internal::CaptureStdout();
    tsl::pr_rroption(rrOption(255, {1, 2, 3, 4, 5, 6, 7, 8, 9}).data());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\t0.0.0.1\n\t0.0.0.2\n\t0.0.0.3\n\t0.0.0.4\n\t0.0.0.5\n\t0.0.0.6\n\t0.0.0.7\n\t0.0.0.8\n\t0.0.0.9\n");
}

TEST(RouteListing, PointerTellsHowManyAddresses) {
    auto listed = [](uint8_t pointer) {
        testing::internal::CaptureStdout();
        tsl::pr_rroption(rrOption(pointer, {0xc6120102, 0xc61200fe, 0x7f000001}).data());
        return testing::internal::GetCapturedStdout();
    };
    EXPECT_EQ(listed(4), "");
    EXPECT_EQ(listed(5), "\t198.18.1.2\n");
    EXPECT_EQ(listed(8), "\t198.18.1.2\n");
    EXPECT_EQ(listed(12), "\t198.18.1.2\n\t198.18.0.254\n");
    std::string nine = listed(40);
    EXPECT_EQ(std::count(nine.begin(), nine.end(), '\n'), 9);
}

TEST_F(EngineState, OrderDuplicatesAndLosses) {
    auto book = [](std::initializer_list<int> seqs) {
        int32_t t = 100;
        for (int s : seqs) {
            tsl::recv_time = t;
            tsl::rtt = t;
            t += 100;
            tsl::take_reply(s);
        }
    };
    tsl::n_outstanding = 4;
    tsl::npackets = 4;
    book({0, 2, 1, 3});
    EXPECT_EQ(tsl::orderOK[0], 1);
    EXPECT_EQ(tsl::orderOK[1], 0);
    EXPECT_EQ(tsl::orderOK[2], 0);
    EXPECT_EQ(tsl::orderOK[3], 0);
    EXPECT_EQ(tsl::inOrder, 0);
    EXPECT_EQ(tsl::n_outstanding, 0);

    resetTrain();
    tsl::npackets = 4;
    tsl::n_outstanding = 4;
    book({0, 1, 1, 3});  // a duplicate of 1 and a lost 2
    EXPECT_EQ(tsl::duplicatePkts, 1);
    EXPECT_EQ(tsl::arrive[1], 200) << "the second copy changes no arrival";
    EXPECT_EQ(tsl::rtts[1], 200);
    EXPECT_EQ(tsl::returned[1], 2);
    EXPECT_EQ(tsl::arrive[2], -1);
    EXPECT_EQ(tsl::inOrder, 1) << "a loss is not disorder";
    EXPECT_EQ(tsl::orderOK[3], 0);
    EXPECT_EQ(tsl::n_outstanding, 1) << "a duplicate does not end the wait";

    book({9, 10, -1, 65535});  // beyond the train: nothing is touched
    EXPECT_EQ(tsl::n_outstanding, 1);
    EXPECT_EQ(tsl::lastSeq, 3);
}

TEST(StatusSuffix, AllCombinations) {
    char buf[64];
    struct Case {
        int flags, paths;
        const char* text;
    } cases[] = {
        {3, 1, " SEQOK  RR "},           {2, 0, " SEQOK  NORR "},
        {0, 0, " NOTSEQOK  NORR "},     {7, 1, " SEQOK  RR_DUP "},
        {5, 2, " NOTSEQOK  RR_DUP multipath: 2"}, {3, 3, " SEQOK  RR multipath: 3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tsl_format_status_suffix(buf, sizeof buf, c.flags, c.paths), (int)std::strlen(c.text));
        EXPECT_STREQ(buf, c.text);
    }
    EXPECT_EQ(tsl_format_status_suffix(buf, 4, 3, 1), 11);
    EXPECT_STREQ(buf, " SE") << "cut to the buffer, always terminated";
}

TEST_F(EngineState, TrainReport) {
    tsl::npackets = 2;
    tsl::bytes[0] = tsl::bytes[1] = 600;
    tsl::rtts[0] = 1500;
    tsl::rtts[1] = 42;  // left from an earlier train
    tsl::returned[0] = 1;
    tsl::returned[1] = 0;
    tsl::depart[0] = 10;
    tsl::depart[1] = 250;
    tsl::arrive[0] = 1510;
    tsl::arrive[1] = -1;
    testing::internal::CaptureStdout();
    tsl::OldReportResults();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\npkt 0: 600 bytes 1500 us\npkt 1: 600 bytes 42 us ++ lost ++\n"
              "* 600 10 1510 600 250 -1  SEQOK  NORR \nRoutes: 0\nNo packets with routing info received\n");

    tsl::recv_time = 5;
    classify(datagram(reply(0, 0), rrOption(12, {0xc6120102, 0xc61200fe})));
    tsl::npackets = 0;
    testing::internal::CaptureStdout();
    tsl::OldReportResults();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "\n*  SEQOK  RR \nRoutes: 1\nvia:\n\t198.18.1.2\n\t198.18.0.254\n");
}

// ICMP errors quote our request's header: 60 bytes with the record-route option.
Bytes quotedRequest(uint8_t protocol = 1) {
    Bytes h = hex("4f00 0264 abcd 4000 01 01 0000 c6120001 c6120102");
    h[9] = protocol;
    return cat(h, rrOption(4, {}));
}

TEST(Diagnostics, DescriptionTable) {
    const std::string heading = "Vr HL TOS  Len   ID Flg  off TTL Pro  cks      Src              Dst Data\n";
    struct Case {
        int type, code;
        std::string first;
        bool dump;
    } cases[] = {
        {3, 0, "Destination Net Unreachable\n", true},   {3, 1, "Destination Host Unreachable\n", true},
        {3, 2, "Destination Protocol Unreachable\n", true}, {3, 3, "Destination Port Unreachable\n", true},
        {3, 4, "frag needed and DF set\n", true},        {3, 5, "Source Route Failed\n", true},
        {3, 13, "Dest Unreachable, Bad Code: 13\n", true}, {4, 0, "Source Quench\n", true},
        {5, 0, "Redirect Network (New addr: 0xc61200fe)\n", true},
        {5, 1, "Redirect Host (New addr: 0xc61200fe)\n", true},
        {5, 2, "Redirect Type of Service and Network (New addr: 0xc61200fe)\n", true},
        {5, 3, "Redirect Type of Service and Host (New addr: 0xc61200fe)\n", true},
        {5, 7, "Redirect, Bad Code: 7 (New addr: 0xc61200fe)\n", true},
        {8, 0, "Echo Request\n", false},                 {0, 0, "Echo Reply\n", false},
        {11, 0, "Time to live exceeded\n", true},        {11, 1, "Frag reassembly time exceeded\n", true},
        {11, 9, "Time exceeded, Bad Code: 9\n", true},   {12, 0, "Parameter problem: pointer = 0xc6\n", true},
        {13, 0, "Timestamp\n", false},                   {14, 0, "Timestamp Reply\n", false},
        {15, 0, "Information Request\n", false},         {16, 0, "Information Reply\n", false},
        {17, 0, "Address Mask Request\n", false},        {18, 0, "Address Mask Reply\n", false},
        {1, 0, "Bad ICMP type: 1\n", false},             {6, 0, "Bad ICMP type: 6\n", false},
        {19, 0, "Bad ICMP type: 19\n", false},           {255, 3, "Bad ICMP type: 255\n", false},
    };
    for (const auto& c : cases) {
        Bytes m = cat(hex("0000 0000 c61200fe"), quotedRequest());
        m[0] = static_cast<unsigned char>(c.type);
        m[1] = static_cast<unsigned char>(c.code);
        std::string out = captured(tsl::pr_icmph, m);
        ASSERT_EQ(out.substr(0, c.first.size()), c.first) << "type " << c.type << " code " << c.code;
        std::string rest = out.substr(c.first.size());
        if (c.dump)
            EXPECT_EQ(rest, heading +
                                " 4 15  00 0612 abcd   2 0000   1   1 0000 198.18.0.1      198.18.1.2      "
                                "07270400000000000000000000000000000000000000000000000000000000000000000000000000\n");
        else
            EXPECT_EQ(rest, "");
    }
}

TEST(Diagnostics, QuotedDatagrams) {
    const std::string heading = "Vr HL TOS  Len   ID Flg  off TTL Pro  cks      Src              Dst Data\n";
    // UDP and TCP ports follow the dump; a header without options has an empty Data column.
    Bytes udp = cat(hex("0303 0000 00000000 4500 001c 0001 0000 40 11 beef 7f000001 c6120102"), hex("0035 1f90"));
    EXPECT_EQ(captured(tsl::pr_icmph, udp),
              "Destination Port Unreachable\n" + heading +
                  " 4  5  00 0028 0001   0 0000  64  17 beef 127.0.0.1       198.18.1.2      \n"
                  "UDP: from port 53, to port 8080 (decimal)\n");
    Bytes tcp = udp;
    tcp[8 + 9] = 6;
    EXPECT_NE(captured(tsl::pr_icmph, tcp).find("TCP: from port 53, to port 8080 (decimal)\n"), std::string::npos);
    // Ports that did not arrive are not printed; nor are header fields beyond the bytes received.
    Bytes cut(udp.begin(), udp.begin() + 8 + 20 + 2);
    EXPECT_EQ(captured(tsl::pr_icmph, cut),
              "Destination Port Unreachable\n" + heading +
                  " 4  5  00 0028 0001   0 0000  64  17 beef 127.0.0.1       198.18.1.2      \n");
    Bytes header7(udp.begin(), udp.begin() + 8 + 7);
    EXPECT_EQ(captured(tsl::pr_icmph, header7),
              "Destination Port Unreachable\n" + heading + " 4  5  00 0028 0001\n");
    Bytes bare(udp.begin(), udp.begin() + 8);
    EXPECT_EQ(captured(tsl::pr_icmph, bare), "Destination Port Unreachable\n" + heading + "\n");
    // A quoted header whose options run past what arrived lists only what arrived.
    Bytes opts = cat(hex("0b00 0000 00000000"), quotedRequest());
    opts.resize(8 + 24);
    EXPECT_EQ(captured(tsl::pr_icmph, opts),
              "Time to live exceeded\n" + heading +
                  " 4 15  00 0612 abcd   2 0000   1   1 0000 198.18.0.1      198.18.1.2      07270400\n");
    // An ICMP protocol quote has no port line.
    Bytes icmp = cat(hex("0301 0000 00000000"), quotedRequest(1));
    EXPECT_EQ(captured(tsl::pr_icmph, icmp).find("port"), std::string::npos);
}

TEST(HostTranslation, DottedAddressesNeedNoLookup) {
    sockaddr_in sa;
    char name[64];
    EXPECT_EQ(tsl::a2sockaddr(&sa, "198.18.1.2", name), nullptr);
    EXPECT_EQ(sa.sin_family, AF_INET);
    EXPECT_EQ(sa.sin_port, 0);
    EXPECT_EQ(ntohl(sa.sin_addr.s_addr), 0xc6120102u);
    EXPECT_STREQ(name, "198.18.1.2");
    EXPECT_EQ(tsl::a2sockaddr(&sa, "localhost", name), nullptr) << "from /etc/hosts";
    EXPECT_EQ(ntohl(sa.sin_addr.s_addr), 0x7f000001u);
    EXPECT_STREQ(name, "localhost");
}

TEST(SendLoop, ReadsTheClockOnlyToWaitForATarget) {
    int reads = 0, sent = 0;
    auto clock = [&reads] { return int64_t{++reads}; };
    auto send = [&sent](int) { return ++sent > 0; };
    // Back to back: nothing to wait for, so no reading at all.
    EXPECT_TRUE(tsl::pace_sends(5, clock, [](int) { return INT64_MIN; }, [](int64_t) {}, send, 0, nullptr));
    EXPECT_EQ(sent, 5);
    EXPECT_EQ(reads, 0);
    // Scheduled: packet i waits until the clock reads 10 * i.
    EXPECT_TRUE(tsl::pace_sends(3, clock, [](int i) { return int64_t{10} * i; }, [](int64_t) {}, send, 0, nullptr));
    EXPECT_EQ(sent, 8);
    EXPECT_EQ(reads, 20);
}

TEST(StampConversion, AStampOutsideTheReadsWindowTakesTheReadsTime) {
    // Real-time clock 1e18 ahead of the monotonic one; a request left at
    // 5000, and the read returned at 9000 (monotonic ns).
    const int64_t offset = 1000000000000000000, left = 5000, read = 9000;
    EXPECT_EQ(tsl::stamp_on_monotonic(offset + 7000, offset, left, read), 7000);
    EXPECT_EQ(tsl::stamp_on_monotonic(offset + 5000, offset, left, read), 5000) << "the window's ends belong to it";
    EXPECT_EQ(tsl::stamp_on_monotonic(offset + 9000, offset, left, read), 9000);
    // The real-time clock stepped 3 s forward between the stamp and the read:
    // the stamp reads as before the request left.
    EXPECT_EQ(tsl::stamp_on_monotonic(offset + 7000, offset + 3000000000, left, read), read);
    // ... or back: it reads as after the read.
    EXPECT_EQ(tsl::stamp_on_monotonic(offset + 7000, offset - 3000000000, left, read), read);
    // A datagram not yet matched to a request has no earliest time.
    EXPECT_EQ(tsl::stamp_on_monotonic(offset - 400, offset, INT64_MIN, read), -400);
}

}  // namespace

// ---- Errors that quote our echo requests ---------------------------------------
namespace {

// An echo request as it left (identifier 0x1234, sequence 5, stamp, token),
// cut to its first `keep` bytes.
Bytes echoRequest(bool v6, size_t keep = 20) {
    Bytes m = hex(v6 ? "8000 0000 1234 0005 00000001 a1a2a3a4a5a6a7a8" : "0800 0000 1234 0005 00000001 a1a2a3a4a5a6a7a8");
    m.resize(std::min(keep, m.size()));
    return m;
}
const Bytes kToken = {0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8};
// An IPv6 header from 2001:2::1 to 2001:2:0:4::1 with next header nh.
Bytes ipv6Header(uint8_t nh = 58) {
    Bytes h = hex("6000 0000 0014 3a01 20010002000000000000000000000001 20010002000000040000000000000001");
    h[6] = nh;
    return h;
}

struct QuoteCase {
    const char* what;
    bool v6;
    Bytes message;      // from the ICMP header of the error
    bool parsed;
    bool token;         // the token was within the quote
};

}  // namespace

TEST(QuotedEcho, ErrorsOfBothFamiliesAreMatchedWithinTheirBytes) {
    const Bytes v4 = hex("4500 0030 abcd 0000 01 01 0000 c6120102 c6120401");  // to 198.18.4.1
    Bytes v4opts = hex("4f00 0058 abcd 0000 01 01 0000 c6120102 c6120401");
    v4opts = cat(v4opts, rrOption(4, {}));
    Bytes udp = v4;
    udp[9] = 17;
    const Bytes exceeded = hex("0b00 0000 00000000"), unreachable = hex("0301 0000 00000000");
    const Bytes exceeded6 = hex("0300 0000 00000000"), unreachable6 = hex("0103 0000 00000000");
    const Bytes v6cut(30, 0x60);
    Bytes v6wrongVersion = ipv6Header();
    v6wrongVersion[0] = 0x40;
    const QuoteCase cases[] = {
        {"time exceeded", false, cat(exceeded, cat(v4, echoRequest(false))), true, true},
        {"unreachable", false, cat(unreachable, cat(v4, echoRequest(false))), true, true},
        {"a quoted header with 40 bytes of options", false, cat(exceeded, cat(v4opts, echoRequest(false))), true, true},
        {"the 8 bytes a router must quote, no token", false, cat(exceeded, cat(v4, echoRequest(false, 8))), true, false},
        {"a token cut short", false, cat(exceeded, cat(v4, echoRequest(false, 19))), true, false},
        {"a quote cut inside the echo header", false, cat(exceeded, cat(v4, echoRequest(false, 7))), false, false},
        {"options longer than what arrived", false, cat(exceeded, cat(v4opts, Bytes(10, 0))), false, false},
        {"a quoted UDP datagram", false, cat(exceeded, cat(udp, echoRequest(false))), false, false},
        {"a quoted echo reply", false, cat(exceeded, cat(v4, hex("0000 0000 1234 0005"))), false, false},
        {"an echo reply itself", false, cat(hex("0000 0000 1234 0005"), cat(v4, echoRequest(false))), false, false},
        {"an IPv6 header quoted in ICMP", false, cat(exceeded, cat(ipv6Header(), echoRequest(false))), false, false},
        {"only the ICMP header", false, exceeded, false, false},
        {"hop limit exceeded", true, cat(exceeded6, cat(ipv6Header(), echoRequest(true))), true, true},
        {"address unreachable", true, cat(unreachable6, cat(ipv6Header(), echoRequest(true))), true, true},
        {"IPv6, no token", true, cat(exceeded6, cat(ipv6Header(), echoRequest(true, 8))), true, false},
        {"IPv6, cut inside the echo header", true, cat(exceeded6, cat(ipv6Header(), echoRequest(true, 7))), false, false},
        {"IPv6, cut inside the IP header", true, cat(exceeded6, v6cut), false, false},
        {"IPv6, an extension header next", true, cat(exceeded6, cat(ipv6Header(0), echoRequest(true))), false, false},
        {"IPv6, version 4", true, cat(exceeded6, cat(v6wrongVersion, echoRequest(true))), false, false},
        {"IPv6, an IPv4 request quoted", true, cat(exceeded6, cat(ipv6Header(), echoRequest(false))), false, false},
        {"IPv6, time exceeded of IPv4's number", true, cat(exceeded, cat(ipv6Header(), echoRequest(true))), false, false},
    };
    uint16_t id, seq;
    std::memcpy(&id, "\x12\x34", 2);
    std::memcpy(&seq, "\x00\x05", 2);
    for (const QuoteCase& c : cases) {
        // Exactly the bytes that arrived: anything read past them shows under the sanitizer.
        std::vector<unsigned char> exact(c.message);
        tsl::QuotedEcho q;
        ASSERT_EQ(tsl::parse_quoted_echo(exact.data(), static_cast<int>(exact.size()), c.v6, &q), c.parsed) << c.what;
        if (!c.parsed) continue;
        EXPECT_EQ(q.type, exact[0]) << c.what;
        EXPECT_EQ(q.code, exact[1]) << c.what;
        EXPECT_EQ(q.id, id) << c.what;
        EXPECT_EQ(q.seq, seq) << c.what;
        ASSERT_EQ(q.token != nullptr, c.token) << c.what;
        if (c.token) {
            EXPECT_EQ(Bytes(q.token, q.token + 8), kToken) << c.what;
        }
        ASSERT_TRUE(q.hasDestination) << c.what;
        const Bytes dest = c.v6 ? hex("20010002000000040000000000000001") : hex("c6120401");
        EXPECT_EQ(Bytes(q.destination, q.destination + dest.size()), dest) << c.what;
    }
}

TEST(QuotedEcho, TheErrorQueueHoldsTheRequestItself) {
    tsl::QuotedEcho q;
    const Bytes whole = echoRequest(false), header = echoRequest(false, 8), short7 = echoRequest(false, 7);
    ASSERT_TRUE(tsl::parse_own_echo(whole.data(), static_cast<int>(whole.size()), false, &q));
    ASSERT_NE(q.token, nullptr);
    EXPECT_EQ(Bytes(q.token, q.token + 8), kToken);
    EXPECT_FALSE(q.hasDestination);
    ASSERT_TRUE(tsl::parse_own_echo(header.data(), static_cast<int>(header.size()), false, &q));
    EXPECT_EQ(q.token, nullptr);
    EXPECT_FALSE(tsl::parse_own_echo(short7.data(), static_cast<int>(short7.size()), false, &q));
    const Bytes v6 = echoRequest(true);
    EXPECT_TRUE(tsl::parse_own_echo(v6.data(), static_cast<int>(v6.size()), true, &q));
    EXPECT_FALSE(tsl::parse_own_echo(v6.data(), static_cast<int>(v6.size()), false, &q));  // type 128 is no IPv4 echo
    const Bytes reply = hex("0000 0000 1234 0005 00000001");
    EXPECT_FALSE(tsl::parse_own_echo(reply.data(), static_cast<int>(reply.size()), false, &q));
}
