// SPDX-License-Identifier: MIT
// fuzz_receive - one input is one datagram as the raw socket hands it over.  It
// goes the way a received datagram goes: classification (with the description
// of other ICMP types and the route recording), then, when accepted, the
// booking of the reply.  The train restarts once every reply is in; every 1024
// inputs the report lists the routes and the route list is emptied, so it
// stays small while still spanning many inputs as it spans trains.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"

namespace {

uint32_t inputs;
uint32_t clock_us;

// What one datagram may change: at most one new route, counted once; nothing
// at all when it is rejected; an accepted one names a packet of the train.
void check(int result, size_t size, int pathsBefore, int routesBefore) {
    int added = tslfuzz::routeCount() - routesBefore;
    if (added != tsl::numPaths - pathsBefore) tslfuzz::fail("path count differs from the routes added");
    if (added < 0 || added > 1) tslfuzz::fail("more than one route from one datagram");
    if (result == -1) {
        if (added != 0) tslfuzz::fail("a rejected datagram recorded a route");
        if (tsl::packet_id != -1) tslfuzz::fail("a rejected datagram set the sequence");
        return;
    }
    if (result < 0 || static_cast<size_t>(result) != size) tslfuzz::fail("result neither -1 nor the length");
    if (tsl::packet_id < 0 || tsl::packet_id >= tsl::npackets) tslfuzz::fail("accepted a sequence outside the train");
    if (added == 1 && tsl::routeData != 1) tslfuzz::fail("new route without route data");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tslfuzz::quietStdout();
    tslfuzz::startTrain(tsl::MAXPACKETS);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > static_cast<size_t>(tsl::BUFSIZE)) return -1;  // no datagram is longer than the buffer
    clock_us = (clock_us + 997) & 0x3fffffff;
    tsl::recv_time = static_cast<int32_t>(clock_us);
    int pathsBefore = tsl::numPaths, routesBefore = tslfuzz::routeCount();
    tsl::packet_id = -1;
    int result = tsl::classify_datagram(data, static_cast<int>(size));
    check(result, size, pathsBefore, routesBefore);
    if (result >= 0) tsl::take_reply(tsl::packet_id);
    tslfuzz::checkTrain();
    if (tsl::n_outstanding == 0) tslfuzz::startTrain(tsl::MAXPACKETS);
    if (++inputs % 1024 == 0) {
        tsl::OldReportResults();
        tslfuzz::freeRoutes();
        tslfuzz::startTrain(tsl::MAXPACKETS);
    }
    return 0;
}
