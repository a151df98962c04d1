// SPDX-License-Identifier: MIT
// fuzz_icmph - one input is one ICMP message of any length, described as the
// receive step would describe it (types 0 and 14 included, which the receive
// step takes as replies instead); its first 40 bytes also serve as a stored
// route option for the route listing.
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
    return 0;
}
