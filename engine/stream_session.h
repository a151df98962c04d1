// SPDX-License-Identifier: MIT
// stream_session.h - what the stream runner's parts share (not installed):
// the session behind tsl_stream_session, and where each request carries its
// stream's token.  stream_open.cpp opens and closes sessions; stream.cpp
// sends streams on them, and stream_receive.cpp takes their replies.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "tamsel_stream.h"
#include "tsl_engine.h"

namespace tsl::stream {

constexpr int kTokenBytes = 8;
constexpr int kTokenAt = 12;  // in the ICMP message: right after the 4-byte send stamp

// Fills buf with n random bytes; false with errno set when the kernel has none.
bool random_bytes(void* buf, size_t n);

// A request the runner does not take: EINVAL, and the error for it.
inline int refused() {
    errno = EINVAL;
    return TSL_STREAM_ERR_ARGUMENT;
}

}  // namespace tsl::stream

struct tsl_stream_session {
    int socket = -1;
    int family = 4;                // 4 or 6
    int kind = TSL_STREAM_RAW;
    sockaddr_storage to{};
    socklen_t toLen = 0;
    uint16_t ident = 0;            // identifier as it is on the wire
    uint16_t nextSeq = 0;          // first sequence number of the next stream
    int echoReply = tsl::ECHO_REPLY;
    bool kernelChecksum = false;   // the kernel writes the ICMP checksum of what we send
    int askedBuffer = 0;           // receive buffer last asked for, in bytes
    int64_t readCostNs = 2000;     // how long reading one reply takes, smoothed
    uint32_t lastDrops = 0;        // the socket's drop counter as last seen on a datagram
    char address[INET6_ADDRSTRLEN] = {};
    char lastError[128] = {};      // the last ICMP error quoting a request of the last stream
    unsigned char out[tsl::BUFSIZE];
    unsigned char in[tsl::BUFSIZE];
};
