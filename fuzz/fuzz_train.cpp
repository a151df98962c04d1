// SPDX-License-Identifier: MIT
// fuzz_train - one input is one whole train: a byte whose value modulo 11 is
// the packet count, then the datagrams received while waiting, each as a
// 2-byte big-endian length and its bytes (the last one takes whatever is left).
// Each input starts from an empty route list and a train with every packet
// out, receives until every reply is in (as the wait loop does), prints the
// report and checks the bookkeeping after every datagram.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tslfuzz::quietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    tslfuzz::freeRoutes();
    tslfuzz::startTrain(data[0] % (tsl::MAXPACKETS + 1));
    size_t at = 1;
    int32_t clock = 1000;
    while (at < size && tsl::n_outstanding > 0) {
        size_t len = at + 2 <= size ? (static_cast<size_t>(data[at]) << 8 | data[at + 1]) : 0;
        at += 2;
        if (at > size) at = size;
        if (len > size - at) len = size - at;
        // A buffer of exactly the received length, so any read past it is caught.
        std::vector<unsigned char> datagram(data + at, data + at + len);
        at += len;
        clock += 250;
        tsl::recv_time = clock;
        tsl::packet_id = -1;
        int paths = tsl::numPaths;
        int result = tsl::classify_datagram(datagram.data(), static_cast<int>(datagram.size()));
        if (result != -1 && static_cast<size_t>(result) != len) tslfuzz::fail("result neither -1 nor the length");
        if (result == -1 && (tsl::numPaths != paths || tsl::packet_id != -1))
            tslfuzz::fail("a rejected datagram changed the train");
        if (result >= 0) tsl::take_reply(tsl::packet_id);
        tslfuzz::checkTrain();
    }
    if (tsl::numPaths != tslfuzz::routeCount()) tslfuzz::fail("path count differs from the routes of the train");
    tsl::OldReportResults();
    tslfuzz::freeRoutes();
    return 0;
}
