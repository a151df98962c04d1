// SPDX-License-Identifier: MIT
#include "packets.h"

#include <algorithm>
#include <cstring>

namespace tsllab {

std::uint16_t inetChecksum(ByteView data) {
    std::uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < data.size(); i += 2) sum += (std::uint32_t{data[i]} << 8) | data[i + 1];
    if (i < data.size()) sum += std::uint32_t{data[i]} << 8;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

std::uint16_t readBe16(ByteView data, std::size_t at) {
    return static_cast<std::uint16_t>((data[at] << 8) | data[at + 1]);
}

void writeBe16(Bytes& data, std::size_t at, std::uint16_t value) {
    data[at] = static_cast<std::uint8_t>(value >> 8);
    data[at + 1] = static_cast<std::uint8_t>(value);
}

std::uint16_t readHost16(ByteView data, std::size_t at) {
    std::uint16_t value;
    std::memcpy(&value, data.data() + at, sizeof value);
    return value;
}

void writeHost16(Bytes& data, std::size_t at, std::uint16_t value) {
    std::memcpy(data.data() + at, &value, sizeof value);
}

Bytes buildDatagram(const IpFields& ip, ByteView options, ByteView payload) {
    const std::size_t optLen = std::min(options.size(), kMaxOptionLen);
    const std::size_t headerLen = kIpHeaderLen + (optLen + 3) / 4 * 4;
    Bytes d(headerLen + payload.size(), 0);
    d[0] = static_cast<std::uint8_t>(0x40 | headerLen / 4);
    d[1] = ip.tos;
    writeBe16(d, 2, static_cast<std::uint16_t>(d.size()));
    writeBe16(d, 4, ip.id);
    d[8] = ip.ttl;
    d[9] = ip.protocol;
    std::memcpy(&d[12], &ip.src, 4);
    std::memcpy(&d[16], &ip.dst, 4);
    std::copy_n(options.begin(), optLen, d.begin() + kIpHeaderLen);
    writeBe16(d, 10, inetChecksum(ByteView(d).first(headerLen)));
    std::copy(payload.begin(), payload.end(), d.begin() + static_cast<std::ptrdiff_t>(headerLen));
    return d;
}

void fixIcmpChecksum(Bytes& icmp) {
    if (icmp.size() < 4) return;
    icmp[2] = icmp[3] = 0;
    writeBe16(icmp, 2, inetChecksum(icmp));
}

Bytes buildIcmp(std::uint8_t type, std::uint8_t code, const std::array<std::uint8_t, 4>& rest,
                ByteView body) {
    Bytes m(kIcmpHeaderLen + body.size(), 0);
    m[0] = type;
    m[1] = code;
    std::copy(rest.begin(), rest.end(), m.begin() + 4);
    std::copy(body.begin(), body.end(), m.begin() + kIcmpHeaderLen);
    fixIcmpChecksum(m);
    return m;
}

std::optional<EchoRequest> parseEchoRequest(ByteView datagram) {
    if (datagram.size() < kIpHeaderLen) return std::nullopt;
    const std::size_t headerLen = (datagram[0] & 0x0f) * 4u;
    if ((datagram[0] >> 4) != 4 || headerLen < kIpHeaderLen || datagram[9] != kProtoIcmp)
        return std::nullopt;
    // The raw socket hands over the datagram; trust its total length only
    // when it is within what arrived.
    std::size_t total = readBe16(datagram, 2);
    if (total > datagram.size() || total < headerLen) total = datagram.size();
    if (total < headerLen + kIcmpHeaderLen || datagram[headerLen] != kIcmpEchoRequest)
        return std::nullopt;
    EchoRequest req;
    req.ip.tos = datagram[1];
    req.ip.id = readBe16(datagram, 4);
    req.ip.ttl = datagram[8];
    std::memcpy(&req.ip.src, &datagram[12], 4);
    std::memcpy(&req.ip.dst, &datagram[16], 4);
    req.header.assign(datagram.begin(), datagram.begin() + static_cast<std::ptrdiff_t>(headerLen));
    req.options.assign(req.header.begin() + kIpHeaderLen, req.header.end());
    req.icmp.assign(datagram.begin() + static_cast<std::ptrdiff_t>(headerLen),
                    datagram.begin() + static_cast<std::ptrdiff_t>(total));
    return req;
}

std::optional<OptionSpan> findRecordRoute(ByteView options) {
    std::size_t i = 0;
    while (i < options.size()) {
        const std::uint8_t type = options[i];
        if (type == kOptEnd) break;
        if (type == kOptNop) {
            ++i;
            continue;
        }
        if (i + 1 >= options.size()) break;
        const std::size_t len = options[i + 1];
        if (len < 2 || len > options.size() - i) break;
        if (type == kOptRecordRoute) return OptionSpan{i, len};
        i += len;
    }
    return std::nullopt;
}

Bytes echoOptions(ByteView requestOptions, std::uint32_t ownAddr) {
    auto rr = findRecordRoute(requestOptions);
    if (!rr || rr->len < 3) return {};
    Bytes opt(requestOptions.begin() + static_cast<std::ptrdiff_t>(rr->at),
              requestOptions.begin() + static_cast<std::ptrdiff_t>(rr->at + rr->len));
    // The pointer names the next free slot, counted from 1 at the type byte.
    const std::size_t ptr = opt[2];
    if (ptr >= 4 && ptr + 3 <= opt.size()) {
        std::memcpy(&opt[ptr - 1], &ownAddr, 4);
        opt[2] = static_cast<std::uint8_t>(ptr + 4);
    }
    return opt;
}

Bytes buildEchoReply(const EchoRequest& req, std::uint16_t ipId) {
    Bytes icmp = req.icmp;
    icmp[0] = kIcmpEchoReply;
    icmp[1] = 0;
    fixIcmpChecksum(icmp);
    IpFields ip;
    ip.src = req.ip.dst;
    ip.dst = req.ip.src;
    ip.tos = req.ip.tos;
    ip.id = ipId;
    return buildDatagram(ip, echoOptions(req.options, req.ip.dst), icmp);
}

}  // namespace tsllab
