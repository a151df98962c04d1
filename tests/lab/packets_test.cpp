// SPDX-License-Identifier: MIT
// The responder's datagram reading and building, on crafted bytes.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "cases.h"
#include "packets.h"

namespace tsllab {
namespace {

std::uint32_t addr(const char* dotted) { return inet_addr(dotted); }

// Our kind of record-route option: type 7, length 39, pointer p, then EOL.
Bytes rrBlock(std::uint8_t pointer = 4) {
    Bytes opt(40, 0);
    opt[0] = kOptRecordRoute;
    opt[1] = 39;
    opt[2] = pointer;
    return opt;
}

// An echo request from the client to the target as the target reads it:
// identifier and sequence in host order, a 4-byte stamp and a pattern.
Bytes requestDatagram(std::uint16_t ident, std::uint16_t seq, std::size_t dataLen, const Bytes& options) {
    Bytes body(dataLen, 0);
    for (std::size_t i = 0; i < dataLen; ++i) body[i] = static_cast<std::uint8_t>(i < 4 ? 0xa0 + i : i + 4);
    Bytes icmp = buildIcmp(kIcmpEchoRequest, 0, {0, 0, 0, 0}, body);
    writeHost16(icmp, 4, ident);
    writeHost16(icmp, 6, seq);
    fixIcmpChecksum(icmp);
    IpFields ip;
    ip.src = addr("198.18.0.1");
    ip.dst = addr("198.18.1.2");
    ip.ttl = 63;
    return buildDatagram(ip, options, icmp);
}

EchoRequest request(std::uint16_t ident = 0x1234, std::uint16_t seq = 3, std::size_t dataLen = 56,
                    const Bytes& options = rrBlock(8)) {
    auto req = parseEchoRequest(requestDatagram(ident, seq, dataLen, options));
    EXPECT_TRUE(req.has_value());
    return *req;
}

std::size_t headerLen(const Bytes& d) { return (d.at(0) & 0x0f) * 4u; }
ByteView icmpOf(const Bytes& d) { return ByteView(d).subspan(headerLen(d)); }

// Every datagram the responder builds: IPv4, right lengths and checksums,
// from the target to the client.
void expectWellFormed(const Bytes& d, std::uint8_t protocol = kProtoIcmp) {
    ASSERT_GE(d.size(), kIpHeaderLen + kIcmpHeaderLen);
    EXPECT_EQ(d[0] >> 4, 4);
    EXPECT_LE(headerLen(d), d.size());
    EXPECT_EQ(readBe16(d, 2), d.size());
    EXPECT_EQ(inetChecksum(ByteView(d).first(headerLen(d))), 0) << "IP header checksum";
    EXPECT_EQ(d[9], protocol);
    EXPECT_EQ(inetChecksum(icmpOf(d)), 0) << "ICMP checksum";
    std::uint32_t src, dst;
    std::memcpy(&src, &d[12], 4);
    std::memcpy(&dst, &d[16], 4);
    EXPECT_EQ(src, addr("198.18.1.2"));
    EXPECT_EQ(dst, addr("198.18.0.1"));
}

TEST(Checksum, KnownValuesAndSelfCheck) {
    // The worked example of RFC 1071: the sum of these words is 0xddf2.
    const Bytes words = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(inetChecksum(words), static_cast<std::uint16_t>(~0xddf2));
    // An odd last byte counts as the high byte of a word.
    EXPECT_EQ(inetChecksum(Bytes{0x12}), static_cast<std::uint16_t>(~0x1200));
    EXPECT_EQ(inetChecksum(Bytes{}), 0xffff);
    Bytes m = buildIcmp(8, 0, {1, 2, 3, 4}, Bytes{5, 6, 7});
    EXPECT_EQ(inetChecksum(m), 0);
    m[9] ^= 1;
    EXPECT_NE(inetChecksum(m), 0);
}

TEST(Datagram, HeaderCarriesPaddedOptions) {
    IpFields ip;
    ip.src = addr("198.18.1.2");
    ip.dst = addr("198.18.0.1");
    ip.id = 0xbeef;
    ip.tos = 0x10;
    Bytes rr = rrBlock();
    rr.resize(39);  // one byte short of a word: padded with end-of-list
    const Bytes payload = {8, 0, 0, 0, 1, 2, 3, 4};
    Bytes d = buildDatagram(ip, rr, payload);
    ASSERT_EQ(d.size(), 60u + payload.size());
    EXPECT_EQ(d[0], 0x4f);
    EXPECT_EQ(d[1], 0x10);
    EXPECT_EQ(readBe16(d, 4), 0xbeef);
    EXPECT_EQ(readBe16(d, 6), 0);  // no fragment flags
    EXPECT_EQ(d[8], 64);
    EXPECT_EQ(d[20], kOptRecordRoute);
    EXPECT_EQ(d[59], kOptEnd);
    EXPECT_EQ(Bytes(d.begin() + 60, d.end()), payload);
    EXPECT_EQ(inetChecksum(ByteView(d).first(60)), 0);

    Bytes none = buildDatagram(ip, {}, payload);
    EXPECT_EQ(none[0], 0x45);
    EXPECT_EQ(none.size(), 28u);
    // More than the 40-byte option area is cut.
    Bytes tooMany = buildDatagram(ip, Bytes(44, 1), payload);
    EXPECT_EQ(tooMany[0], 0x4f);
    EXPECT_EQ(tooMany.size(), 68u);
}

TEST(ParseEchoRequest, ReadsFieldsInHostOrder) {
    Bytes d = requestDatagram(0x1234, 0x0102, 100, rrBlock(8));
    // Host order on the wire: the low byte first on this little-endian host.
    ASSERT_EQ(d[60 + 4], 0x34);
    auto req = parseEchoRequest(d);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->ident(), 0x1234);
    EXPECT_EQ(req->seq(), 0x0102);
    EXPECT_EQ(req->ip.src, addr("198.18.0.1"));
    EXPECT_EQ(req->ip.dst, addr("198.18.1.2"));
    EXPECT_EQ(req->header.size(), 60u);
    EXPECT_EQ(req->options, rrBlock(8));
    EXPECT_EQ(req->icmp.size(), 108u);
}

TEST(ParseEchoRequest, RejectsWhatIsNotAWholeEchoRequest) {
    const Bytes good = requestDatagram(1, 2, 16, {});
    ASSERT_TRUE(parseEchoRequest(good));
    EXPECT_FALSE(parseEchoRequest(ByteView(good).first(19)));          // no whole IP header
    EXPECT_FALSE(parseEchoRequest(ByteView(good).first(27)));          // no whole ICMP header
    Bytes v6 = good;
    v6[0] = 0x65;
    EXPECT_FALSE(parseEchoRequest(v6));
    Bytes shortIhl = good;
    shortIhl[0] = 0x44;
    EXPECT_FALSE(parseEchoRequest(shortIhl));
    Bytes longIhl = good;
    longIhl[0] = 0x4f;  // a 60-byte header leaves no ICMP header in 44 bytes
    EXPECT_FALSE(parseEchoRequest(longIhl));
    Bytes udp = good;
    udp[9] = kProtoUdp;
    EXPECT_FALSE(parseEchoRequest(udp));
    Bytes reply = good;
    reply[20] = kIcmpEchoReply;
    EXPECT_FALSE(parseEchoRequest(reply));
    // A total length beyond what arrived is not trusted; a shorter one cuts
    // the ICMP message.
    Bytes bigTotal = good;
    writeBe16(bigTotal, 2, 60000);
    ASSERT_TRUE(parseEchoRequest(bigTotal));
    EXPECT_EQ(parseEchoRequest(bigTotal)->icmp.size(), 24u);
    Bytes padded = good;
    padded.resize(good.size() + 10, 0xee);
    EXPECT_EQ(parseEchoRequest(padded)->icmp.size(), 24u);
}

TEST(RecordRoute, ReplyStampsOwnAddressAndAdvancesPointer) {
    const std::uint32_t own = addr("198.18.1.2");
    Bytes opt = echoOptions(rrBlock(4), own);
    ASSERT_EQ(opt.size(), 39u);
    EXPECT_EQ(opt[2], 8);
    EXPECT_EQ(Bytes(opt.begin() + 3, opt.begin() + 7), (Bytes{198, 18, 1, 2}));

    // Slots already filled are kept.
    Bytes in = rrBlock(12);
    in[3] = 198, in[4] = 18, in[5] = 0, in[6] = 1;
    in[7] = 198, in[8] = 18, in[9] = 1, in[10] = 254;
    opt = echoOptions(in, own);
    EXPECT_EQ(opt[2], 16);
    EXPECT_EQ(Bytes(opt.begin() + 3, opt.begin() + 15),
              (Bytes{198, 18, 0, 1, 198, 18, 1, 254, 198, 18, 1, 2}));

    // The last slot still takes an address; after it the option is full.
    opt = echoOptions(rrBlock(36), own);
    EXPECT_EQ(opt[2], 40);
    EXPECT_EQ(opt[35], 198);
    const Bytes full = rrBlock(40);
    EXPECT_EQ(echoOptions(full, own), Bytes(full.begin(), full.begin() + 39));
    EXPECT_EQ(echoOptions(rrBlock(255), own)[2], 255);
    EXPECT_EQ(echoOptions(rrBlock(2), own)[2], 2);  // a pointer into the option head is left alone
}

TEST(RecordRoute, FindsTheOptionAmongOthersWithinBounds) {
    const std::uint32_t own = addr("198.18.1.2");
    Bytes withNop = {kOptNop};
    Bytes rr = rrBlock(4);
    withNop.insert(withNop.end(), rr.begin(), rr.begin() + 39);
    auto span = findRecordRoute(withNop);
    ASSERT_TRUE(span);
    EXPECT_EQ(span->at, 1u);
    EXPECT_EQ(span->len, 39u);
    EXPECT_EQ(echoOptions(withNop, own)[0], kOptRecordRoute);

    // A timestamp option is not echoed; the route option after it is.
    Bytes tsThenRr = {68, 8, 5, 0, 0, 0, 0, 0, kOptRecordRoute, 7, 4, 0, 0, 0, 0, kOptEnd};
    EXPECT_EQ(echoOptions(tsThenRr, own), (Bytes{kOptRecordRoute, 7, 8, 198, 18, 1, 2}));

    EXPECT_FALSE(findRecordRoute(Bytes{}));
    EXPECT_FALSE(findRecordRoute(Bytes{kOptEnd, kOptRecordRoute, 3, 4}));  // after end of list
    EXPECT_FALSE(findRecordRoute(Bytes{kOptRecordRoute}));                 // no length byte
    EXPECT_FALSE(findRecordRoute(Bytes{kOptRecordRoute, 41, 4, 0}));       // longer than the area
    EXPECT_FALSE(findRecordRoute(Bytes{kOptRecordRoute, 1, 4, 0}));        // length below 2
    EXPECT_TRUE(echoOptions(Bytes{kOptRecordRoute, 2}, own).empty());      // no pointer byte
}

TEST(EchoReply, IsTheRequestTurnedAround) {
    EchoRequest req = request(0x4321, 7, 600, rrBlock(12));
    Bytes reply = buildEchoReply(req, 42);
    expectWellFormed(reply);
    ASSERT_EQ(headerLen(reply), 60u);
    EXPECT_EQ(reply.size(), 60u + 8 + 600);
    EXPECT_EQ(reply[8], 64);
    EXPECT_EQ(readBe16(reply, 4), 42);
    EXPECT_EQ(reply[20], kOptRecordRoute);
    EXPECT_EQ(reply[22], 16);  // one more address recorded
    EXPECT_EQ(Bytes(reply.begin() + 31, reply.begin() + 35), (Bytes{198, 18, 1, 2}));
    ByteView icmp = icmpOf(reply);
    EXPECT_EQ(icmp[0], kIcmpEchoReply);
    EXPECT_EQ(icmp[1], 0);
    EXPECT_EQ(readHost16(icmp, 4), 0x4321);
    EXPECT_EQ(readHost16(icmp, 6), 7);
    EXPECT_TRUE(std::equal(icmp.begin() + 8, icmp.end(), req.icmp.begin() + 8, req.icmp.end()));

    // Without options in the request, none in the reply.
    Bytes plain = buildEchoReply(request(1, 0, 56, {}), 1);
    expectWellFormed(plain);
    EXPECT_EQ(headerLen(plain), 20u);
}

Bytes only(const std::vector<Bytes>& datagrams) {
    EXPECT_EQ(datagrams.size(), 1u);
    return datagrams.empty() ? Bytes{} : datagrams[0];
}

Bytes build(const char* text, const EchoRequest& req) {
    std::string why;
    auto c = parseCase(text, &why);
    EXPECT_TRUE(c) << why;
    std::uint16_t ipId = 1;
    return c ? only(buildCase(*c, req, ipId)) : Bytes{};
}

TEST(Cases, EchoRepliesWithWrongFields) {
    const EchoRequest req = request(0x1234, 3, 56);
    Bytes d = build("foreign-id", req);
    expectWellFormed(d);
    EXPECT_EQ(readHost16(icmpOf(d), 4), 0x1235);
    EXPECT_EQ(readHost16(icmpOf(d), 6), 3);

    for (auto [text, seq] : {std::pair{"seq", 10}, {"seq:65535", 65535}, {"seq:0", 0}}) {
        d = build(text, req);
        expectWellFormed(d);
        EXPECT_EQ(icmpOf(d)[0], kIcmpEchoReply);
        EXPECT_EQ(readHost16(icmpOf(d), 4), 0x1234);
        EXPECT_EQ(readHost16(icmpOf(d), 6), seq) << text;
    }
    for (int n : {0, 3}) {
        d = build(("short:" + std::to_string(n)).c_str(), req);
        expectWellFormed(d);
        EXPECT_EQ(icmpOf(d).size(), 8u + n);
    }
    // More data than the request had is not invented.
    EXPECT_EQ(icmpOf(build("short:1000", req)).size(), 64u);
}

TEST(Cases, SpoiledRecordRouteOptions) {
    const EchoRequest req = request(0x1234, 3, 56, rrBlock(16));
    for (int len : {0, 3, 41, 255}) {
        Bytes d = build(("rr-len:" + std::to_string(len)).c_str(), req);
        expectWellFormed(d);
        ASSERT_EQ(headerLen(d), 60u);
        EXPECT_EQ(d[20], kOptRecordRoute);
        EXPECT_EQ(d[21], len);
        EXPECT_EQ(readHost16(icmpOf(d), 6), 3);
        if (len == 3) {
            EXPECT_EQ(Bytes(d.begin() + 23, d.begin() + 60), Bytes(37, 0));  // only end-of-list after it
        } else {
            EXPECT_EQ(d[22], 20);  // the echoed pointer, one address on
        }
    }
    Bytes d = build("rr-ptr", req);
    expectWellFormed(d);
    EXPECT_EQ(d[21], 39);
    EXPECT_EQ(d[22], 255);
    // A request without options still gets a (spoiled) option to read.
    d = build("rr-ptr:3", request(1, 0, 56, {}));
    expectWellFormed(d);
    EXPECT_EQ(headerLen(d), 60u);
    EXPECT_EQ(d[22], 3);
}

TEST(Cases, TimestampReplyAndOtherTypes) {
    const EchoRequest req = request(0x1234, 5, 56);
    Bytes d = build("ts-reply", req);
    expectWellFormed(d);
    ByteView icmp = icmpOf(d);
    ASSERT_EQ(icmp.size(), 20u);
    EXPECT_EQ(icmp[0], kIcmpTimestampReply);
    EXPECT_EQ(readHost16(icmp, 4), 0x1234);
    EXPECT_EQ(readHost16(icmp, 6), 5);
    EXPECT_TRUE(std::equal(icmp.begin() + 8, icmp.begin() + 12, req.icmp.begin() + 8));  // our stamp
    EXPECT_EQ(d[22], 12);  // record route continued as for an echo reply

    d = build("type:19", req);
    expectWellFormed(d);
    EXPECT_EQ(icmpOf(d)[0], 19);
    EXPECT_EQ(headerLen(d), 20u);
}

TEST(Cases, ErrorsQuoteTheChosenDatagram) {
    const EchoRequest req = request(0x1234, 5, 56, rrBlock(16));
    Bytes d = build("unreach/opts", req);
    expectWellFormed(d);
    ByteView icmp = icmpOf(d);
    EXPECT_EQ(icmp[0], kIcmpUnreach);
    EXPECT_EQ(icmp[1], 1);
    Bytes quoted(icmp.begin() + 8, icmp.end());
    Bytes expected = req.header;
    expected.insert(expected.end(), req.icmp.begin(), req.icmp.begin() + 8);
    EXPECT_EQ(quoted, expected);

    d = build("time-exceeded:1/bare", req);
    expectWellFormed(d);
    icmp = icmpOf(d);
    EXPECT_EQ(icmp[0], kIcmpTimeExceeded);
    EXPECT_EQ(icmp[1], 1);
    ASSERT_EQ(icmp.size(), 8u + 28);
    EXPECT_EQ(icmp[8], 0x45);
    EXPECT_EQ(readBe16(icmp, 10), 60 + 64 - 40);
    EXPECT_EQ(inetChecksum(icmp.subspan(8, 20)), 0);

    d = build("redirect:7/trunc", req);
    expectWellFormed(d);
    icmp = icmpOf(d);
    EXPECT_EQ(icmp[0], kIcmpRedirect);
    EXPECT_EQ(icmp[1], 7);
    EXPECT_EQ(Bytes(icmp.begin() + 4, icmp.begin() + 8), (Bytes{198, 18, 1, 254}));
    EXPECT_EQ(icmp.size(), 8u + 12);

    d = build("param-problem/lying", req);
    expectWellFormed(d);
    icmp = icmpOf(d);
    EXPECT_EQ(icmp[0], kIcmpParamProblem);
    EXPECT_EQ(icmp[4], 20);
    EXPECT_EQ(icmp[8], 0x4f);
    EXPECT_EQ(icmp.size(), 8u + 28);  // claims 60 bytes of header, has 28 bytes in all

    d = build("unreach:4/tcp", req);
    expectWellFormed(d);
    icmp = icmpOf(d);
    EXPECT_EQ(readBe16(icmp, 6), 1500);  // next-hop MTU left as the links have it
    EXPECT_EQ(icmp[8 + 9], kProtoTcp);
    EXPECT_EQ(readBe16(icmp, 8 + 20), 4660);
    EXPECT_EQ(readBe16(icmp, 8 + 22), 80);

    d = build("source-quench/udp", req);
    expectWellFormed(d);
    icmp = icmpOf(d);
    EXPECT_EQ(icmp[0], kIcmpSourceQuench);
    EXPECT_EQ(icmp[8 + 9], kProtoUdp);
    EXPECT_EQ(readBe16(icmp, 8 + 20), 4661);
    EXPECT_EQ(readBe16(icmp, 8 + 22), 33434);
}

TEST(Cases, FloodsCarryNoMessageOfOurs) {
    const EchoRequest req = request(0x1234, 0, 56);
    std::uint16_t ipId = 1;
    for (const char* text : {"flood", "flood-mixed:700"}) {
        auto c = parseCase(text, nullptr);
        ASSERT_TRUE(c);
        auto all = buildCase(*c, req, ipId);
        EXPECT_EQ(all.size(), text[5] == '\0' ? 10000u : 700u);
        int types[256] = {};
        for (const Bytes& d : all) {
            ByteView icmp = icmpOf(d);
            ASSERT_EQ(inetChecksum(icmp), 0);
            ++types[icmp[0]];
            if (icmp[0] == kIcmpEchoReply || icmp[0] == kIcmpTimestampReply) {
                ASSERT_NE(readHost16(icmp, 4), 0x1234);
            }
        }
        EXPECT_GT(types[kIcmpEchoReply], 0);
        if (text[5] == '-') {
            EXPECT_GT(types[kIcmpTimestampReply], 0);
            EXPECT_GT(types[kIcmpUnreach], 0);
            EXPECT_GT(types[6], 0);
        }
    }
}

TEST(Cases, ParseRejectsMalformedCases) {
    std::string why;
    auto c = parseCase("unreach:13/udp", &why);
    ASSERT_TRUE(c) << why;
    EXPECT_EQ(*c, (Case{CaseKind::Unreach, 13, Quote::Udp}));
    EXPECT_EQ(*parseCase("time-exceeded", nullptr), (Case{CaseKind::TimeExceeded, 0, Quote::Options}));
    for (const char* bad : {"", "nonsense", "foreign-id:3", "seq:65536", "seq:-1", "seq:", "seq:1x",
                            "unreach/", "unreach/ipx", "seq/opts", "flood:1000001"}) {
        why.clear();
        EXPECT_FALSE(parseCase(bad, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

}  // namespace
}  // namespace tsllab
