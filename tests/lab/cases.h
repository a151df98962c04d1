/* SPDX-License-Identifier: MIT */
// cases.h - the hostile and unusual messages the scripted responder can send
// around or instead of a genuine echo reply.  One table row and one builder
// per kind; every message goes from the address the request was sent to back
// to the request's source.
//
// A case is written NAME[:PARAM][/QUOTE]:
//
//   foreign-id            echo reply with another identifier (ours + 1)
//   seq[:N]               echo reply with sequence number N (default 10)
//   short[:N]             echo reply with only N data bytes (default 0)
//   rr-len[:N]            genuine reply whose record-route length byte is N (default 0)
//   rr-ptr[:N]            genuine reply whose record-route pointer is N (default 255)
//   ts-reply              timestamp reply (type 14) with our identifier and sequence
//   type[:T]              message of type T (default 6) carrying our identifier,
//                         sequence and data
//   unreach[:CODE]/Q      destination unreachable, code default 1
//   source-quench/Q       source quench
//   redirect[:CODE]/Q     redirect to 198.18.1.254, code default 1
//   time-exceeded[:CODE]/Q  time exceeded, code default 0
//   param-problem[:PTR]/Q parameter problem pointing at byte PTR (default 20)
//   flood[:N]             N echo replies with foreign identifiers (default 10000)
//   flood-mixed[:N]       N foreign messages of mixed types (default 10000)
//
// Error messages quote a datagram Q (default opts):
//   opts    the request's IP header with its options, and 8 bytes of its ICMP
//   bare    the request's header without options, and 8 bytes of its ICMP
//   trunc   only the first 12 bytes of the request's IP header
//   lying   a 20-byte header that claims 60 bytes, and 8 bytes after it
//   tcp     a TCP datagram from the client, ports 4660 -> 80
//   udp     a UDP datagram from the client, ports 4661 -> 33434
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "packets.h"

namespace tsllab {

enum class CaseKind {
    ForeignId,
    Seq,
    Short,
    RrLength,
    RrPointer,
    TimestampReply,
    Type,
    Unreach,
    SourceQuench,
    Redirect,
    TimeExceeded,
    ParamProblem,
    Flood,
    FloodMixed,
};

enum class Quote { Options, Bare, Truncated, Lying, Tcp, Udp };

struct Case {
    CaseKind kind = CaseKind::ForeignId;
    int param = 0;
    Quote quote = Quote::Options;
    bool operator==(const Case&) const = default;
};

// Reads one case; on failure says why in *error.
std::optional<Case> parseCase(std::string_view text, std::string* error);

// The datagrams of case c for request req; ipId numbers their IP
// identification fields and is advanced.
std::vector<Bytes> buildCase(const Case& c, const EchoRequest& req, std::uint16_t& ipId);

// The datagram quoted by an error message of kind q about req.
Bytes quotedDatagram(Quote q, const EchoRequest& req);

}  // namespace tsllab
