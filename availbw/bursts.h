// SPDX-License-Identifier: MIT
// bursts.h - others' traffic that arrives in bursts further apart than a
// stream can average over.  Such a burst shows in a stream as a jump of its
// delays: several full-sized packets' worth within a fraction of a
// millisecond.  A stream shorter than a few of the gaps between bursts sees
// one or none, and its trend says little about the mean: between bursts it
// finds the whole capacity free, and the step a burst adds is one step, not
// a climb (in the simulator and in the lab, bursts 5 ms apart made streams
// of 8 ms read the free rate a third too high).  Pure computation.
#pragma once

#include "availest.h"

namespace availbw {

// What the streams saw of bursts.
struct Bursts {
    int streams = 0;       // streams looked at
    int withBursts = 0;    // ... that saw a burst
    int events = 0;        // bursts seen
    double bytes = 0;      // their bytes, from the delay each added
    double seconds = 0;    // the streams' time, from the first packet after the lead to the last

    Bursts& operator+=(const Bursts& o) {
        streams += o.streams;
        withBursts += o.withBursts;
        events += o.events;
        bytes += o.bytes;
        seconds += o.seconds;
        return *this;
    }
};

// Adds what one stream (its packets after the lead) saw of bursts on a path
// of this capacity (bits per second).
void addBursts(const avl_stream& s, double capacity, Bursts* b);

// The length streams need to span several bursts (seconds), or 0 when the
// bursts are too few (under leastEvents, or in one stream) or too small to
// matter, or the streams span enough of them already.  others: what the
// search so far puts others' traffic at (the capacity less its middle).
// Bursts that carry as much as that say the search is wrong: it finds the
// whole capacity free between them.
double burstTimescale(const Bursts& b, double capacity, double others, int leastEvents);

// The record's sends fell behind: one gap between them kLateSend longer
// than twice the usual one.  It ran while this host stalled (a busy
// machine), and what its replies show is the host's as much as the path's:
// the packets sent late in a rush arrive faster than the rest, its delays
// climb while the host holds its replies.
bool sendsFellBehind(const avl_stream& s);

// Others' bits the link served within the measurement, at least, from
// the queues the streams met.  Each stream's first packet waits behind what
// is queued when it arrives; a queue is served in order, so of that, what
// came before the stream before started is at most what that one's first
// packet met, less what was served since, and what came after it, besides
// its own packets, is others' traffic come since (and at most what was
// queued when its last answered packet left, less what was served since).
// So each stream's count is different bits: a floor on what others sent
// over the measurement.  Between two streams' starts, what the delays of
// the first climbed from one answered packet to a later one, less its own
// packets sent between them, is a floor too (a queue grows only by what
// arrives), and the higher of the two counts: a search that fell wholly in
// a gap of others' traffic met no queue at its streams' starts, but the
// small packets that checked the path first may have seen the queue rise
// and drain.  Each count waited ahead of one of the streams' answered
// packets, so the link served it within the measurement; so did what the
// first record's first packet met queued, which came before the
// measurement and counts too (the free rate over a measurement is what
// others' traffic left of the link meanwhile).  Queues of fewer than
// kBurstPackets full-sized packets are the stamps' and the path's jitter
// and not counted, nor climbs under kLeastClimb or within a record whose
// sends fell behind (tuning.h).  least: the least round trip, seconds.
double queuedAtStarts(const avl_stream* s, size_t n, double capacity, double least);

}  // namespace availbw
