// SPDX-License-Identifier: MIT
// fuzz_icmph - one input is one ICMP message of any length, described as the
// receive step would describe it (types 0 and 14 included, which the receive
// step takes as replies instead); its first 40 bytes also serve as a stored
// route option for the route listing.  The same bytes are read as an error
// that quotes an echo request, of either family, and as the request itself.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tslfuzz::quietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(tsl::BUFSIZE)) return -1;
    tsl::pr_icmph(data, static_cast<int>(size));
    unsigned char opt[tsl::OPTLEN] = {};
    std::memcpy(opt, data, size < sizeof opt ? size : sizeof opt);
    tsl::pr_rroption(opt);
    // An exact copy, so a read past the message shows.
    const std::vector<unsigned char> exact(data, data + size);
    tsl::QuotedEcho q;
    for (bool v6 : {false, true}) {
        if (tsl::parse_quoted_echo(exact.data(), static_cast<int>(size), v6, &q) && q.token != nullptr) {
            volatile unsigned char last = q.token[7];  // the token's last byte must be within the message
            (void)last;
        }
        tsl::parse_own_echo(exact.data(), static_cast<int>(size), v6, &q);
    }
    return 0;
}
