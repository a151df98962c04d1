/* SPDX-License-Identifier: MIT */
// packets.h - reading echo requests and building whole IPv4 datagrams (IP
// header with options, then ICMP) for the lab's scripted responder.  Pure
// functions on byte buffers; no sockets here.
//
// Addresses are kept as the 32-bit values of struct in_addr (network byte
// order in memory).  Multi-byte header fields are written big-endian; the
// identifier and sequence number of our echo messages are read and written
// in the host's byte order, as the probing tools put them on the wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tsllab {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

constexpr std::size_t kIpHeaderLen = 20;   // IP header without options
constexpr std::size_t kMaxOptionLen = 40;  // IP option area
constexpr std::size_t kIcmpHeaderLen = 8;

constexpr std::uint8_t kIcmpEchoReply = 0;
constexpr std::uint8_t kIcmpUnreach = 3;
constexpr std::uint8_t kIcmpSourceQuench = 4;
constexpr std::uint8_t kIcmpRedirect = 5;
constexpr std::uint8_t kIcmpEchoRequest = 8;
constexpr std::uint8_t kIcmpTimeExceeded = 11;
constexpr std::uint8_t kIcmpParamProblem = 12;
constexpr std::uint8_t kIcmpTimestampReply = 14;

constexpr std::uint8_t kOptEnd = 0;
constexpr std::uint8_t kOptNop = 1;
constexpr std::uint8_t kOptRecordRoute = 7;

constexpr std::uint8_t kProtoIcmp = 1;
constexpr std::uint8_t kProtoTcp = 6;
constexpr std::uint8_t kProtoUdp = 17;

// Internet checksum (RFC 1071) of data, as the 16-bit value to store
// big-endian in the checksum field.  Data whose checksum field is right
// sums to 0.
std::uint16_t inetChecksum(ByteView data);

std::uint16_t readBe16(ByteView data, std::size_t at);
void writeBe16(Bytes& data, std::size_t at, std::uint16_t value);
std::uint16_t readHost16(ByteView data, std::size_t at);
void writeHost16(Bytes& data, std::size_t at, std::uint16_t value);

// The IP header fields this lab sets; the rest (version 4, no fragment
// flags) is fixed.
struct IpFields {
    std::uint32_t src = 0;  // in_addr value
    std::uint32_t dst = 0;
    std::uint8_t tos = 0;
    std::uint8_t ttl = 64;
    std::uint8_t protocol = kProtoIcmp;
    std::uint16_t id = 0;
};

// An IP header carrying options (padded with end-of-list bytes to a whole
// number of words; more than 40 bytes are cut), then payload.  Total length
// and header checksum are filled in.
Bytes buildDatagram(const IpFields& ip, ByteView options, ByteView payload);

// An ICMP message of type and code, with bytes 4..7 as given and body after
// them; the checksum is filled in.
Bytes buildIcmp(std::uint8_t type, std::uint8_t code, const std::array<std::uint8_t, 4>& rest,
                ByteView body);
// Recomputes the checksum of an ICMP message in place.
void fixIcmpChecksum(Bytes& icmp);

// An echo request as it arrived.
struct EchoRequest {
    IpFields ip;
    Bytes header;   // its IP header as received, options included
    Bytes options;  // the option bytes of that header
    Bytes icmp;     // the whole ICMP message (within the datagram's total length)
    std::uint16_t ident() const { return readHost16(icmp, 4); }
    std::uint16_t seq() const { return readHost16(icmp, 6); }
};

// Reads an IPv4 datagram of len bytes as an ICMP echo request; nothing when
// it is not one or its lengths do not add up.
std::optional<EchoRequest> parseEchoRequest(ByteView datagram);

// Offset and length of the first record-route option in an option area, if
// it has one whose length fits the area.
struct OptionSpan {
    std::size_t at = 0;
    std::size_t len = 0;
};
std::optional<OptionSpan> findRecordRoute(ByteView options);

// The options a host puts on its reply: the request's record-route option,
// with the host's own address written into the next free slot and the
// pointer advanced when a slot is free.  Other options are not echoed.
Bytes echoOptions(ByteView requestOptions, std::uint32_t ownAddr);

// The echo reply a host sends to req: type 0 with the request's identifier,
// sequence number and data, from the address the request went to back to its
// source, record route continued, TTL 64, IP identification ipId.
Bytes buildEchoReply(const EchoRequest& req, std::uint16_t ipId);

}  // namespace tsllab
