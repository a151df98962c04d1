// SPDX-License-Identifier: MIT
#include "cases.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace tsllab {

namespace {

// The gateway that redirects name.
constexpr std::array<std::uint8_t, 4> kRedirectGateway = {198, 18, 1, 254};
// Next-hop MTU in a "fragmentation needed" message: the links' own MTU, so
// the client's path MTU does not change.
constexpr std::uint16_t kNextHopMtu = 1500;
// Ports of the TCP and UDP datagrams that errors may quote.
constexpr std::uint16_t kTcpSrcPort = 4660, kTcpDstPort = 80;
constexpr std::uint16_t kUdpSrcPort = 4661, kUdpDstPort = 33434;

IpFields replyIp(const EchoRequest& req, std::uint16_t& ipId) {
    IpFields ip;
    ip.src = req.ip.dst;
    ip.dst = req.ip.src;
    ip.id = ipId++;
    return ip;
}

// An echo reply to req with the given identifier and sequence number, its
// data cut to dataLen bytes, on a datagram with the given options.
Bytes echoReplyWith(const EchoRequest& req, std::uint16_t ident, std::uint16_t seq, std::size_t dataLen,
                    ByteView options, std::uint16_t& ipId) {
    Bytes icmp(req.icmp.begin(),
               req.icmp.begin() + static_cast<std::ptrdiff_t>(
                                      kIcmpHeaderLen + std::min(dataLen, req.icmp.size() - kIcmpHeaderLen)));
    icmp[0] = kIcmpEchoReply;
    icmp[1] = 0;
    writeHost16(icmp, 4, ident);
    writeHost16(icmp, 6, seq);
    fixIcmpChecksum(icmp);
    return buildDatagram(replyIp(req, ipId), options, icmp);
}

std::size_t dataLen(const EchoRequest& req) { return req.icmp.size() - kIcmpHeaderLen; }

// The record-route option a reply to req carries; a fresh one when the
// request had none, so the option cases always have one to spoil.
Bytes replyRecordRoute(const EchoRequest& req) {
    Bytes opt = echoOptions(req.options, req.ip.dst);
    if (opt.empty()) {
        opt.assign(39, 0);
        opt[0] = kOptRecordRoute;
        opt[1] = 39;
        opt[2] = 4;
    }
    return opt;
}

std::vector<Bytes> buildForeignId(const Case&, const EchoRequest& req, std::uint16_t& ipId) {
    return {echoReplyWith(req, static_cast<std::uint16_t>(req.ident() + 1), req.seq(), dataLen(req),
                          echoOptions(req.options, req.ip.dst), ipId)};
}

std::vector<Bytes> buildSeq(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    return {echoReplyWith(req, req.ident(), static_cast<std::uint16_t>(c.param), dataLen(req),
                          echoOptions(req.options, req.ip.dst), ipId)};
}

std::vector<Bytes> buildShort(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    return {echoReplyWith(req, req.ident(), req.seq(), static_cast<std::size_t>(c.param),
                          echoOptions(req.options, req.ip.dst), ipId)};
}

std::vector<Bytes> buildRrLength(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    Bytes opt = replyRecordRoute(req);
    const std::size_t len = static_cast<std::size_t>(c.param);
    // A length shorter than the option leaves end-of-list bytes behind it,
    // so only the length byte is wrong, not what follows.
    if (len >= 2 && len < opt.size()) std::fill(opt.begin() + static_cast<std::ptrdiff_t>(len), opt.end(), 0);
    opt[1] = static_cast<std::uint8_t>(len);
    return {echoReplyWith(req, req.ident(), req.seq(), dataLen(req), opt, ipId)};
}

std::vector<Bytes> buildRrPointer(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    Bytes opt = replyRecordRoute(req);
    opt[2] = static_cast<std::uint8_t>(c.param);
    return {echoReplyWith(req, req.ident(), req.seq(), dataLen(req), opt, ipId)};
}

std::vector<Bytes> buildTimestampReply(const Case&, const EchoRequest& req, std::uint16_t& ipId) {
    // Originate stamp: the first 4 data bytes of the request (our send
    // stamp); receive and transmit stamps 0.
    Bytes body(12, 0);
    std::copy_n(req.icmp.begin() + kIcmpHeaderLen, std::min<std::size_t>(4, dataLen(req)), body.begin());
    const std::array<std::uint8_t, 4> rest = {req.icmp[4], req.icmp[5], req.icmp[6], req.icmp[7]};
    return {buildDatagram(replyIp(req, ipId), echoOptions(req.options, req.ip.dst),
                          buildIcmp(kIcmpTimestampReply, 0, rest, body))};
}

std::vector<Bytes> buildType(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    const std::array<std::uint8_t, 4> rest = {req.icmp[4], req.icmp[5], req.icmp[6], req.icmp[7]};
    return {buildDatagram(replyIp(req, ipId), {},
                          buildIcmp(static_cast<std::uint8_t>(c.param), 0, rest,
                                    ByteView(req.icmp).subspan(kIcmpHeaderLen)))};
}

Bytes errorDatagram(std::uint8_t type, const Case& c, const std::array<std::uint8_t, 4>& rest,
                    const EchoRequest& req, std::uint16_t& ipId) {
    return buildDatagram(replyIp(req, ipId), {},
                         buildIcmp(type, static_cast<std::uint8_t>(c.param), rest, quotedDatagram(c.quote, req)));
}

std::vector<Bytes> buildUnreach(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    std::array<std::uint8_t, 4> rest = {0, 0, 0, 0};
    if (c.param == 4) {
        rest[2] = kNextHopMtu >> 8;
        rest[3] = kNextHopMtu & 0xff;
    }
    return {errorDatagram(kIcmpUnreach, c, rest, req, ipId)};
}

std::vector<Bytes> buildSourceQuench(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    Case zero = c;
    zero.param = 0;
    return {errorDatagram(kIcmpSourceQuench, zero, {0, 0, 0, 0}, req, ipId)};
}

std::vector<Bytes> buildRedirect(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    return {errorDatagram(kIcmpRedirect, c, kRedirectGateway, req, ipId)};
}

std::vector<Bytes> buildTimeExceeded(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    return {errorDatagram(kIcmpTimeExceeded, c, {0, 0, 0, 0}, req, ipId)};
}

std::vector<Bytes> buildParamProblem(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    Case zero = c;
    zero.param = 0;
    return {errorDatagram(kIcmpParamProblem, zero, {static_cast<std::uint8_t>(c.param), 0, 0, 0}, req, ipId)};
}

// Foreign traffic is small (8 data bytes) so a flood passes a slow
// bottleneck quickly.
Bytes foreignEcho(const EchoRequest& req, int i, std::uint16_t& ipId) {
    // Offsets 1..65535 from our identifier: never ours.
    const auto ident = static_cast<std::uint16_t>(req.ident() + 1 + i % 65535);
    return echoReplyWith(req, ident, static_cast<std::uint16_t>(i), 8, {}, ipId);
}

std::vector<Bytes> buildFlood(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    std::vector<Bytes> out;
    out.reserve(static_cast<std::size_t>(c.param));
    for (int i = 0; i < c.param; ++i) out.push_back(foreignEcho(req, i, ipId));
    return out;
}

std::vector<Bytes> buildFloodMixed(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    // A foreign echo reply, foreign timestamp reply, information and address
    // mask replies, an unassigned type, and errors about other traffic.
    static const Case kErrors[] = {
        {CaseKind::Unreach, 3, Quote::Udp},
        {CaseKind::TimeExceeded, 0, Quote::Tcp},
    };
    std::vector<Bytes> out;
    out.reserve(static_cast<std::size_t>(c.param));
    for (int i = 0; i < c.param; ++i) {
        const auto ident = static_cast<std::uint16_t>(req.ident() + 1 + i % 65535);
        const std::array<std::uint8_t, 4> rest = {static_cast<std::uint8_t>(ident), static_cast<std::uint8_t>(ident >> 8),
                                                  static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
        switch (i % 7) {
        case 0: out.push_back(foreignEcho(req, i, ipId)); break;
        case 1: out.push_back(buildDatagram(replyIp(req, ipId), {}, buildIcmp(kIcmpTimestampReply, 0, rest, Bytes(12, 0)))); break;
        case 2: out.push_back(buildDatagram(replyIp(req, ipId), {}, buildIcmp(16, 0, rest, {}))); break;
        case 3: out.push_back(buildDatagram(replyIp(req, ipId), {}, buildIcmp(18, 0, rest, Bytes(4, 0xff)))); break;
        case 4: out.push_back(buildDatagram(replyIp(req, ipId), {}, buildIcmp(6, 0, rest, {}))); break;
        case 5: out.push_back(buildUnreach(kErrors[0], req, ipId)[0]); break;
        default: out.push_back(buildTimeExceeded(kErrors[1], req, ipId)[0]); break;
        }
    }
    return out;
}

using Builder = std::vector<Bytes> (*)(const Case&, const EchoRequest&, std::uint16_t&);

struct CaseInfo {
    std::string_view name;
    CaseKind kind;
    bool hasParam;
    int defaultParam;
    int maxParam;
    bool quotes;  // an error message that quotes a datagram
    Builder build;
};

constexpr CaseInfo kCases[] = {
    {"foreign-id", CaseKind::ForeignId, false, 0, 0, false, buildForeignId},
    {"seq", CaseKind::Seq, true, 10, 65535, false, buildSeq},
    {"short", CaseKind::Short, true, 0, 65535, false, buildShort},
    {"rr-len", CaseKind::RrLength, true, 0, 255, false, buildRrLength},
    {"rr-ptr", CaseKind::RrPointer, true, 255, 255, false, buildRrPointer},
    {"ts-reply", CaseKind::TimestampReply, false, 0, 0, false, buildTimestampReply},
    {"type", CaseKind::Type, true, 6, 255, false, buildType},
    {"unreach", CaseKind::Unreach, true, 1, 255, true, buildUnreach},
    {"source-quench", CaseKind::SourceQuench, false, 0, 0, true, buildSourceQuench},
    {"redirect", CaseKind::Redirect, true, 1, 255, true, buildRedirect},
    {"time-exceeded", CaseKind::TimeExceeded, true, 0, 255, true, buildTimeExceeded},
    {"param-problem", CaseKind::ParamProblem, true, 20, 255, true, buildParamProblem},
    {"flood", CaseKind::Flood, true, 10000, 1000000, false, buildFlood},
    {"flood-mixed", CaseKind::FloodMixed, true, 10000, 1000000, false, buildFloodMixed},
};

constexpr struct {
    std::string_view name;
    Quote quote;
} kQuotes[] = {
    {"opts", Quote::Options}, {"bare", Quote::Bare}, {"trunc", Quote::Truncated},
    {"lying", Quote::Lying},  {"tcp", Quote::Tcp},   {"udp", Quote::Udp},
};

const CaseInfo* findCase(CaseKind kind) {
    for (const auto& info : kCases)
        if (info.kind == kind) return &info;
    return nullptr;
}

// The request's header without its options (total length reduced by them).
Bytes bareHeader(const EchoRequest& req) {
    Bytes h(req.header.begin(), req.header.begin() + kIpHeaderLen);
    h[0] = 0x45;
    writeBe16(h, 2, static_cast<std::uint16_t>(readBe16(h, 2) - req.options.size()));
    writeBe16(h, 10, 0);
    writeBe16(h, 10, inetChecksum(h));
    return h;
}

ByteView firstIcmpBytes(const EchoRequest& req) { return ByteView(req.icmp).first(kIcmpHeaderLen); }

Bytes transportDatagram(const EchoRequest& req, std::uint8_t protocol, std::uint16_t sport, std::uint16_t dport) {
    IpFields ip;
    ip.src = req.ip.src;
    ip.dst = req.ip.dst;
    ip.protocol = protocol;
    Bytes head(8, 0);
    writeBe16(head, 0, sport);
    writeBe16(head, 2, dport);
    if (protocol == kProtoUdp) writeBe16(head, 4, 8);
    return buildDatagram(ip, {}, head);
}

}  // namespace

Bytes quotedDatagram(Quote q, const EchoRequest& req) {
    Bytes out;
    switch (q) {
    case Quote::Options:
        out = req.header;
        out.insert(out.end(), firstIcmpBytes(req).begin(), firstIcmpBytes(req).end());
        break;
    case Quote::Bare:
        out = bareHeader(req);
        out.insert(out.end(), firstIcmpBytes(req).begin(), firstIcmpBytes(req).end());
        break;
    case Quote::Truncated:
        out.assign(req.header.begin(), req.header.begin() + 12);
        break;
    case Quote::Lying:
        out = bareHeader(req);
        out[0] = 0x4f;  // claims 60 bytes of header; 28 bytes follow in all
        out.insert(out.end(), firstIcmpBytes(req).begin(), firstIcmpBytes(req).end());
        break;
    case Quote::Tcp: out = transportDatagram(req, kProtoTcp, kTcpSrcPort, kTcpDstPort); break;
    case Quote::Udp: out = transportDatagram(req, kProtoUdp, kUdpSrcPort, kUdpDstPort); break;
    }
    return out;
}

std::optional<Case> parseCase(std::string_view text, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<Case> {
        if (error) *error = "bad case '" + std::string(text) + "': " + why;
        return std::nullopt;
    };
    std::string_view name = text, param, quote;
    if (auto slash = name.find('/'); slash != std::string_view::npos) {
        quote = name.substr(slash + 1);
        name = name.substr(0, slash);
    }
    const bool hasParam = name.find(':') != std::string_view::npos;
    if (hasParam) {
        param = name.substr(name.find(':') + 1);
        name = name.substr(0, name.find(':'));
    }
    const CaseInfo* info = nullptr;
    for (const auto& row : kCases)
        if (row.name == name) info = &row;
    if (!info) return fail("unknown kind");
    Case c;
    c.kind = info->kind;
    c.param = info->defaultParam;
    if (hasParam) {
        if (!info->hasParam) return fail("takes no number");
        int value = 0;
        auto [end, ec] = std::from_chars(param.data(), param.data() + param.size(), value);
        if (ec != std::errc() || end != param.data() + param.size() || param.empty() || value < 0 ||
            value > info->maxParam)
            return fail("number must be 0.." + std::to_string(info->maxParam));
        c.param = value;
    }
    if (!quote.empty() || text.find('/') != std::string_view::npos) {
        if (!info->quotes) return fail("quotes no datagram");
        bool found = false;
        for (const auto& row : kQuotes)
            if (row.name == quote) {
                c.quote = row.quote;
                found = true;
            }
        if (!found) return fail("quote must be opts, bare, trunc, lying, tcp or udp");
    }
    return c;
}

std::vector<Bytes> buildCase(const Case& c, const EchoRequest& req, std::uint16_t& ipId) {
    const CaseInfo* info = findCase(c.kind);
    return info ? info->build(c, req, ipId) : std::vector<Bytes>{};
}

}  // namespace tsllab
