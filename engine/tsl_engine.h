/* SPDX-License-Identifier: MIT */
// tsl_engine.h - the engine's inner interface: its process-wide tables, the
// wire functions and the pure datagram logic.  For the programs and tests of
// this suite that build on the engine (the scheduled-send probe, the fuzzers);
// not part of the public C interface.
#pragma once

#include <csignal>
#include <cstdint>
#include <ctime>
#include <string>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "tamsel.h"

namespace tsl {

constexpr int MAXPACKETS = TSL_MAX_PACKETS;
constexpr int BUFSIZE = 65536;     // outgoing and incoming buffers
constexpr int OPTLEN = 40;         // IP options block and stored route option
constexpr int TEXTLEN = 80;        // error and address texts

// ---- Train state (one train at a time) -------------------------------------
extern int32_t depart[MAXPACKETS];   // departure time of packet i
extern int32_t arrive[MAXPACKETS];   // arrival of its first reply, -1 while none
extern int32_t bytes[MAXPACKETS];    // ICMP data length packet i was sent with
extern int32_t rtts[MAXPACKETS];     // round-trip time from the reply's send stamp
extern int32_t orderOK[MAXPACKETS];  // 1 when its first reply followed packet i-1's
extern int32_t returned[MAXPACKETS]; // replies received for packet i, duplicates too
extern int32_t npackets;             // packet count of the current train
extern int32_t n_outstanding;        // next sequence while sending; missing replies while waiting
extern volatile sig_atomic_t TimeOutFlag;
extern int32_t routeData;            // an accepted reply carried a record-route option
extern int32_t inOrder;              // the train still counts as in order
extern int32_t duplicatePkts;        // a second reply to some packet arrived
extern int32_t numPaths;             // routes first seen in this train
extern int32_t lastSeq;              // sequence number of the last accepted reply
extern int32_t highestFirstSeq;      // highest sequence number with a first reply so far
extern sockaddr_in whereto;
extern int icmp_socket;

// ---- Wire state ------------------------------------------------------------
extern int32_t datalen;              // ICMP data length of the packet being sent
extern int32_t this_time;            // departure time of the last packet sent
extern int32_t recv_time;            // arrival time of the last datagram received
extern int32_t rtt;                  // round-trip time of the last accepted reply
extern int32_t packet_id;            // sequence number of the last accepted reply
extern unsigned char outpack[BUFSIZE];
extern unsigned char packet[BUFSIZE];
extern timeval starttv;              // start instant of the time base
extern uint16_t ident;               // identifier of our requests (low 16 bits of the pid)

struct RouteNode {
    RouteNode* link;                 // next, older route
    unsigned char opt[OPTLEN];       // record-route option as received, zero-filled
    int stored;                      // option bytes really copied (the datagram may have held fewer than its length byte)
};
extern RouteNode* sumopt;            // route list, newest first; spans the process
extern RouteNode* curopt;            // cursor for walking it

extern const char* my_name;          // program name in the host error

// ---- Pure wire logic -------------------------------------------------------
uint16_t in_cksum(const void* data, int len);
void tvsub(timeval* out, const timeval* in);
int32_t timesub(const int32_t* a, const int32_t* b);
int32_t now_us();                    // time of day minus the start instant, in µs
int32_t stamp_us(const timeval* tv); // a time of day taken elsewhere, in the same time base

// Fills the destination from a dotted address or a host name; returns nullptr
// on success, else the error text "unknown host: HOST" (cut to 80 characters).
const char* a2sockaddr(sockaddr_in* addr, const char* host, char* name);

// Writes type 8, code 0 and the identifier into the outgoing header.
void prepare_header();
// Writes the payload pattern over offsets 12..65531 of the outgoing buffer.
void fill_pattern();

// ---- Clocks (shared by the train and the stream) ---------------------------
// A clock's reading in nanoseconds.
int64_t clock_ns(clockid_t clock);
inline int64_t monotonic_ns() { return clock_ns(CLOCK_MONOTONIC); }
inline int64_t timespec_ns(const timespec& ts) { return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec; }
// The real-time clock minus the monotonic clock, sampled now (the real-time
// reading between two monotonic ones): a kernel receive stamp, which is on
// the real-time clock, less this is the same instant on the monotonic clock,
// whatever steps the real-time clock took before.
int64_t realtime_offset_ns();
// A kernel receive stamp (real-time clock, ns) on the monotonic clock, given
// the real-time clock less the monotonic one sampled at the read: stamp less
// that offset.  A step of the real-time clock between the stamp and the
// sample moves the result by the step; a result outside the window the
// datagram must have arrived in, from earliestNs (when what it answers left;
// INT64_MIN when not known) to readNs (when the read had returned), can only
// come from such a step, and the read's time is taken instead.
int64_t stamp_on_monotonic(int64_t stampNs, int64_t realMinusMonoNs, int64_t earliestNs, int64_t readNs);

// ---- The busy-wait send loop (shared by the train and the stream) ---------
// How far a paced send loop moved its schedule.
struct ScheduleShift {
    int shifts = 0;     // times it moved
    int64_t total = 0;  // how far in all, in the clock's unit
};

// Sends count packets on a schedule by spinning on a clock.  Packet i leaves
// once now() reaches at(i) (plus the schedule's shift); a target of INT64_MIN
// does not wait, and the clock is then not read at all.  While waiting, idle(left) is called with the time left
// before the target, for work that must never delay a send (it decides
// itself whether left is enough).  With shift given, a packet that leaves
// later than its target by more than a quarter of its gap to the previous
// packet (at least minSlack) moves the rest of the schedule by as much, so a
// stall is never made up with packets back to back; without it the schedule
// stays as given.  send(i) sends packet i and returns false to stop.  Returns
// false when a send stopped the loop.
template <class Now, class At, class Idle, class Send>
bool pace_sends(int count, Now now, At at, Idle idle, Send send, int64_t minSlack, ScheduleShift* shift) {
    int64_t moved = 0;
    for (int i = 0; i < count; ++i) {
        const int64_t planned = at(i);
        if (planned == INT64_MIN) {
            // Nothing to wait for: the clock is not read, so a packet sent
            // back to back costs only its own header work and stamps.
            if (!send(i)) return false;
            continue;
        }
        const int64_t target = planned + moved;
        int64_t t = now();
        while (t < target) {
            idle(target - t);
            t = now();
        }
        if (shift != nullptr) {
            const int64_t gap = i > 0 ? planned - at(i - 1) : 0;
            const int64_t slack = gap / 4 > minSlack ? gap / 4 : minSlack;
            if (t - target > slack) {
                moved += t - target;
                shift->shifts++;
            }
        }
        if (!send(i)) return false;
    }
    if (shift != nullptr) shift->total = moved;
    return true;
}

// ---- Echo requests in any buffer (shared by the train and the stream) ------
// ICMP echo request and reply types.
constexpr int ECHO_REQUEST = 8, ECHO_REPLY = 0;
constexpr int ECHO6_REQUEST = 128, ECHO6_REPLY = 129;
// The type (8 unless given), code 0 and the identifier at the head of an echo request.
void write_echo_header(unsigned char* msg, uint16_t id, int type = ECHO_REQUEST);
// The payload pattern: byte k holds (k - 4) mod 256, for offsets 12..size-1.
void write_pattern(unsigned char* msg, int size);
// Clears the checksum and writes the sequence number (before the first time sample).
void set_echo_sequence(unsigned char* msg, uint16_t seq);
// Writes the send stamp and the checksum over cc bytes (between the two samples).
void seal_echo(unsigned char* msg, int cc, int32_t stamp);
// Writes the send stamp only, for sockets whose kernel writes the checksum.
void stamp_echo(unsigned char* msg, int32_t stamp);

// ---- Received datagrams ----------------------------------------------------
// What a received datagram holds, every field read within its length.
struct Datagram {
    bool v6 = false;                 // an ICMPv6 message
    int hlen = 0;                    // IP header length, options included; 0 when none came
    const unsigned char* icmp = nullptr;
    int icmpLen = 0;                 // bytes of the ICMP message that arrived
    int type = -1;                   // ICMP type
    uint16_t id = 0, seq = 0;        // identifier and sequence number, host order as sent
    bool hasStamp = false;           // at least the 4 bytes of the send stamp arrived
    int32_t stamp = 0;
    uint32_t source = 0;             // IP source address, network order (0 when no IP header came)
};
// Reads the IP header and ICMP header of buf; false when the datagram is
// shorter than its IP header (at least 20 bytes) and 8 bytes of ICMP.
bool parse_datagram(const unsigned char* buf, int len, Datagram* d);
// Reads an ICMP message that came without its IP header (from an ICMP
// datagram socket, or any ICMPv6 socket; its source is the receive's
// address); false when it is shorter than the 8 bytes of ICMP header.
bool parse_icmp_message(const unsigned char* buf, int len, bool v6, Datagram* d);
// Echo or timestamp reply (ICMPv6: echo reply) with our identifier and its
// send stamp: a reply of this process.  Anything else is foreign.
bool is_our_reply(const Datagram& d, uint16_t id);

// An ICMP error message that quotes an echo request: the error's type and
// code, and the quoted request's destination, identifier and sequence number
// (as they were sent).
struct QuotedRequest {
    int type = -1, code = -1;
    unsigned char destination[16] = {};  // 4 bytes for IPv4, 16 for IPv6
    uint16_t id = 0, seq = 0;
};
// Reads an ICMP (v6: ICMPv6) error message of len bytes, from its ICMP
// header on, that quotes one of our echo requests: destination unreachable,
// time exceeded, parameter problem (and ICMPv6's packet too big).  False for
// any other message, a quoted datagram that is no echo request, or one cut
// short before the request's sequence number.
bool read_quoted_request(const unsigned char* icmp, int len, bool v6, QuotedRequest* q);
// What an ICMP error says, in lower case: "destination network unreachable",
// "time to live exceeded", ...; "ICMP error type T code C" for others.
std::string icmp_error_text(bool v6, int type, int code);
// ---- Errors about our echo requests ------------------------------------------
// ICMP and ICMPv6 error types that quote the request they answer.
constexpr int TIME_EXCEEDED = 11, UNREACHABLE = 3;
constexpr int TIME6_EXCEEDED = 3, UNREACHABLE6 = 1;
// The echo request an error message quotes, every field read within the quote.
struct QuotedEcho {
    int type = -1, code = -1;        // of the error message
    uint16_t id = 0, seq = 0;        // the quoted request's, host order as sent
    const unsigned char* token = nullptr; // its 8 bytes at offset 12 of the quoted
                                     // ICMP message, when the quote reaches that far
    bool hasDestination = false;     // the quoted IP header's destination came
    unsigned char destination[16] = {}; // 4 (IPv4) or 16 (IPv6) bytes, network order
};
// Reads an ICMP (v6: ICMPv6) "time exceeded" or "destination unreachable"
// message of len bytes, starting at its ICMP header, that quotes an echo
// request (the IP header, IPv6 without extension headers, and at least the
// 8 bytes of the echo header).  False for any other message, or a quote cut
// short before the echo header.
bool parse_quoted_echo(const unsigned char* icmp, int len, bool v6, QuotedEcho* q);
// Reads an echo request of len bytes, from its ICMP header: what an ICMP
// datagram socket's error queue holds of the request an error answered.
// False when shorter than the echo header or not an echo request.
bool parse_own_echo(const unsigned char* icmp, int len, bool v6, QuotedEcho* q);

// Classifies one received datagram of len bytes (recv_time already taken):
// returns len for an accepted echo or timestamp reply of this process (rtt,
// packet_id set, route recorded), -1 otherwise (an ICMP message of another
// type is described on standard output first).
int classify_datagram(const unsigned char* buf, int len);
// Records a record-route option given with the bytes of the IP option area
// that the datagram really holds; sets routeData, counts and lists a new route.
void record_route(const unsigned char* opt, int areaLen);
// Books an accepted reply with sequence seq into the train tables (the wait
// loop's step for each reply); replies with seq >= npackets touch nothing.
void take_reply(int seq);
// Resets the per-call flags and counters before a train.
void reset_train_state();
// The train flags word of the current train (route data, in order, duplicates).
int train_flags();
// Copies the results of the last train into caller arrays and builds the flags.
void collect_results(int count, int* departs, int* arrives, int* bytesOut, int* order,
                     int* flags, int* paths);

// ---- Socket I/O ------------------------------------------------------------
// Why a raw socket could not be had (open_raw_socket's negative results).
enum SocketError { SOCK_NO_ICMP = -10, SOCK_DENIED = -5, SOCK_NO_IP = -8, SOCK_OPTIONS = -42 };
// Opens a raw ICMP socket with kernel receive stamps, a large receive buffer
// and a receive time-out of 100 ms, with the record-route option when asked.
// Returns the descriptor, or a SocketError with errno kept.  Options the
// kernel refuses beyond those are reported on standard error.
int open_raw_socket(bool recordRoute);
// The train's socket: open_raw_socket(true), ending the process with the
// engine's statuses (10, 5, 8, 42) on failure.
int open_socket();
int send_icmp(int s, int seq, const sockaddr_in* to);
// What came with a received datagram besides its bytes.
struct Arrival {
    bool stamped = false;     // the kernel's receive stamp came (SO_TIMESTAMP or SO_TIMESTAMPNS)
    timespec stamp{};         // that stamp, on the real-time clock
    bool counted = false;     // the socket's drop counter came (SO_RXQ_OVFL)
    uint32_t drops = 0;       // that counter: datagrams dropped before this one was queued
};
// Receives one datagram into buf (flags as for recvmsg) with what came with
// it; from, when given, gets the source address.  Returns the length, or -1
// with errno set.
int receive_message(int s, unsigned char* buf, int size, int flags, Arrival* arrival, sockaddr_storage* from);
// Receives one datagram into buf (flags as for recvmsg).  *kernelStamp gets
// the kernel's receive stamp and *stamped tells whether one came.  Returns
// the length, or -1 with errno set.
int receive_datagram(int s, unsigned char* buf, int size, int flags, timeval* kernelStamp, bool* stamped);
// Receives one datagram, takes its arrival time (kernel stamp when present)
// and classifies it; negative when not an accepted reply.
int recv_icmp(int s, unsigned char* buf, int size);

// Where the arrival times of the last train came from: accepted replies that
// carried the kernel's receive stamp and those timed after the receive.
struct ArrivalSources {
    int kernel = 0;
    int afterReceive = 0;
};
ArrivalSources last_arrival_sources();

// The longest span of a train's time base that sends are scheduled in, in
// seconds: send times at or beyond it are refused (the int32 microsecond time
// base wraps at about 2147.48 s).
constexpr double MAX_SEND_SPAN = 2147.0;
// The time base value at which a send scheduled at the given second leaves;
// -1 for a time that is not finite, negative or at or beyond MAX_SEND_SPAN.
int32_t send_target_us(double seconds);

// ---- Report and diagnostics ------------------------------------------------
void OldReportResults();
void pr_rroption(const unsigned char* opt);          // a stored 40-byte option
const char* pr_quad_addr(const unsigned char* addr); // 4 bytes, network order
const char* pr_addr(const unsigned char* addr);
void pr_icmph(const unsigned char* icp, int len);    // len: bytes of the message received
void pr_retip(const unsigned char* ip, int len);     // len: bytes of the quoted datagram received
void pr_iph(const unsigned char* ip, int len);
void print_icmp_msg(const unsigned char* msg);
void print_ip_msg();

// ---- Train runner ----------------------------------------------------------
void finish(int sig);
int OldMain(const char* host, int count, const int* sizes, int timeout);
// Runs one train.  With sendAt, packet i leaves sendAt[i] seconds after the
// start instant (busy-waiting on the monotonic clock); without, back to back.
// Prints the engine's report when report is true.  Returns 1 when the
// caller's real-time timer fell due during the train: the entry point raises
// SIGALRM once it has copied the results out; else 0.  OldMain likewise.
int run_train(const char* host, int count, const int* sizes, int timeout,
              const double* sendAt, bool report);

}  // namespace tsl
