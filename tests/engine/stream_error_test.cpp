// SPDX-License-Identifier: MIT
// The ICMP errors that answer a stream: the quoted request read from crafted
// bytes, and the router's word on an unreachable network in the lab, on raw
// and datagram sockets over IPv4 and IPv6.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <string>
#include <vector>

#include "lab.h"
#include "tamsel_stream.h"
#include "tsl_engine.h"

namespace {

// An IPv4 error of type and code from the router, quoting our request to
// 198.18.7.7 with identifier 0x1234 and sequence 7, cut to keep bytes after
// the error's ICMP header.
std::vector<unsigned char> errorV4(int type, int code, int quotedProtocol = 1, int quotedType = 8, int keep = 28) {
    std::vector<unsigned char> m = {static_cast<unsigned char>(type), static_cast<unsigned char>(code), 0, 0, 0, 0, 0, 0};
    unsigned char ip[20] = {0x45, 0, 0, 84, 0, 0, 0x40, 0, 1, static_cast<unsigned char>(quotedProtocol), 0, 0,
                            198,  18, 0, 1, 198, 18, 7, 7};
    unsigned char icmp[8] = {static_cast<unsigned char>(quotedType), 0, 0, 0, 0x12, 0x34, 0, 7};
    m.insert(m.end(), ip, ip + 20);
    m.insert(m.end(), icmp, icmp + 8);
    m.resize(8 + static_cast<size_t>(keep));
    return m;
}

}  // namespace

TEST(StreamErrors, TheQuotedRequestIsReadWithinItsBytes) {
    tsl::QuotedRequest q;
    std::vector<unsigned char> m = errorV4(3, 0);
    ASSERT_TRUE(tsl::read_quoted_request(m.data(), static_cast<int>(m.size()), false, &q));
    EXPECT_EQ(q.type, 3);
    EXPECT_EQ(q.code, 0);
    const unsigned char to[4] = {198, 18, 7, 7};
    EXPECT_EQ(std::memcmp(q.destination, to, 4), 0);
    const unsigned char id[2] = {0x12, 0x34}, seq[2] = {0, 7};
    EXPECT_EQ(std::memcmp(&q.id, id, 2), 0);
    EXPECT_EQ(std::memcmp(&q.seq, seq, 2), 0);
    // Not an error, not ICMP quoted, not an echo request, or cut before the sequence number.
    for (const auto& bad : {errorV4(0, 0), errorV4(5, 1), errorV4(3, 0, 17), errorV4(3, 0, 1, 0), errorV4(11, 0, 1, 8, 27),
                            errorV4(3, 0, 1, 8, 19)})
        EXPECT_FALSE(tsl::read_quoted_request(bad.data(), static_cast<int>(bad.size()), false, &q)) << bad[0];
    m = errorV4(11, 0);
    EXPECT_TRUE(tsl::read_quoted_request(m.data(), static_cast<int>(m.size()), false, &q));
    EXPECT_FALSE(tsl::read_quoted_request(m.data(), static_cast<int>(m.size()), true, &q)) << "no IPv6 header quoted";

    EXPECT_EQ(tsl::icmp_error_text(false, 3, 0), "destination network unreachable");
    EXPECT_EQ(tsl::icmp_error_text(false, 3, 1), "destination host unreachable");
    EXPECT_EQ(tsl::icmp_error_text(false, 11, 0), "time to live exceeded");
    EXPECT_EQ(tsl::icmp_error_text(true, 1, 0), "no route to destination");
    EXPECT_EQ(tsl::icmp_error_text(true, 3, 0), "hop limit exceeded");
    EXPECT_EQ(tsl::icmp_error_text(false, 3, 99), "ICMP error type 3 code 99");
}

TEST(StreamErrors, AnUnreachableNetworkIsNamedWithTheRouterThatSaidSo) {
    tsltest::Lab lab({.pingUsers = true});
    TSL_REQUIRE_LAB(lab);
    const std::string router6 = tsltest::Lab::address("router", AF_INET6);
    struct Case {
        const char* host;
        int kind;
        std::string says;
    } cases[] = {
        {"198.18.7.7", TSL_STREAM_RAW, "198.18.0.254 says: destination network unreachable"},
        {"198.18.7.7", TSL_STREAM_DATAGRAM, "198.18.0.254 says: destination network unreachable"},
        {"2001:2:7::7", TSL_STREAM_RAW, router6 + " says: no route to destination"},
        {"2001:2:7::7", TSL_STREAM_DATAGRAM, router6 + " says: no route to destination"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(lab.enterClient());
        tsl_stream_session* s = nullptr;
        const int opened = tsl_stream_open_with(&s, c.host, TSL_STREAM_ANY, c.kind);
        ASSERT_TRUE(lab.leave());
        ASSERT_EQ(opened, 0) << c.host << " kind " << c.kind;
        std::vector<int64_t> at = {0, 1000000, 2000000}, depart(3), arrive(3);
        char says[128] = "untouched";
        EXPECT_EQ(tsl_stream_last_error(s, says, sizeof says), 0);
        EXPECT_STREQ(says, "") << "nothing before a stream";
        const int got = tsl_stream_run(s, 3, 64, at.data(), depart.data(), arrive.data(), 300000000, nullptr);
        EXPECT_EQ(got, 0);
        EXPECT_EQ(tsl_stream_last_error(s, says, sizeof says), 1) << c.host << " kind " << c.kind;
        EXPECT_EQ(says, c.says) << c.host << " kind " << c.kind;
        char cut[8];
        tsl_stream_last_error(s, cut, sizeof cut);
        EXPECT_EQ(std::string(cut), c.says.substr(0, 7));
        tsl_stream_close(s);
    }
}
