// SPDX-License-Identifier: MIT
// Cost of the engine's send loop against a bare loop of sendto calls.
//
// Each round runs one 10-packet train of 600-byte requests through the engine
// (departure of the last packet minus the first, over 9 gaps) and then sends
// the same 10 messages with plain sendto calls on a socket set up the same
// way, stamping the time of day before each call.  Prints the medians of the
// per-packet costs and their ratio.
//   bench_sendloop [HOST] [ROUNDS]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tsl_engine.h"

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The same ten messages, checksummed in advance, sent by plain sendto calls.
static double bare_loop(const sockaddr_in& to) {
    static unsigned char msgs[10][608];
    for (int i = 0; i < 10; ++i) {
        std::memcpy(msgs[i], tsl::outpack, 608);
        uint16_t seq = static_cast<uint16_t>(i), zero = 0;
        int32_t stamp = tsl::now_us();
        std::memcpy(msgs[i] + 2, &zero, 2);
        std::memcpy(msgs[i] + 6, &seq, 2);
        std::memcpy(msgs[i] + 8, &stamp, 4);
        uint16_t sum = tsl::in_cksum(msgs[i], 608);
        std::memcpy(msgs[i] + 2, &sum, 2);
    }
    int s = tsl::open_socket();
    int32_t stamps[10];
    for (int i = 0; i < 10; ++i) {
        stamps[i] = tsl::now_us();
        sendto(s, msgs[i], 608, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    close(s);
    return (stamps[9] - stamps[0]) / 9.0;
}

int main(int argc, char** argv) {
    const char* host = argc > 1 ? argv[1] : "127.0.0.1";
    int rounds = argc > 2 ? std::atoi(argv[2]) : 300;
    int sizes[10];
    std::fill(sizes, sizes + 10, 600);
    std::vector<double> engine, bare;
    for (int r = 0; r < rounds; ++r) {
        tsl::reset_train_state();
        tsl::run_train(host, 10, sizes, 1, nullptr, false);
        engine.push_back((tsl::depart[9] - tsl::depart[0]) / 9.0);
        bare.push_back(bare_loop(tsl::whereto));
    }
    double e = median(engine), b = median(bare);
    std::printf("%-28s %10s\n", "send loop (600-byte requests)", "us/packet");
    std::printf("%-28s %10.2f\n", "engine train, median", e);
    std::printf("%-28s %10.2f\n", "bare sendto loop, median", b);
    std::printf("%-28s %10.2f   (target <= 1.30)\n", "ratio engine/bare", b > 0 ? e / b : 0.0);
    std::printf("host %s, %d rounds of 10 packets\n", host, rounds);
    return 0;
}
