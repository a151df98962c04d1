// SPDX-License-Identifier: MIT
// wire.cpp - the engine's tables and its pure logic: checksum, time base, host
// translation, the outgoing message, and the classification of a received
// datagram.  Nothing here touches a socket.
#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <unistd.h>

#include "tsl_engine.h"

namespace tsl {

int32_t depart[MAXPACKETS];
int32_t arrive[MAXPACKETS];
int32_t bytes[MAXPACKETS];
int32_t rtts[MAXPACKETS];
int32_t orderOK[MAXPACKETS];
int32_t returned[MAXPACKETS];
int32_t npackets;
int32_t n_outstanding;
volatile sig_atomic_t TimeOutFlag;
int32_t routeData;
int32_t inOrder = 1;
int32_t duplicatePkts;
int32_t numPaths;
int32_t lastSeq = -1;
int32_t highestFirstSeq = -1;
sockaddr_in whereto;
int icmp_socket = -1;

int32_t datalen;
int32_t this_time;
int32_t recv_time;
int32_t rtt;
int32_t packet_id;
unsigned char outpack[BUFSIZE];
unsigned char packet[BUFSIZE];
timeval starttv;
uint16_t ident;

RouteNode* sumopt;
RouteNode* curopt;

const char* my_name = program_invocation_short_name;

static char errortext[TEXTLEN];

// Ones'-complement sum of 16-bit words in host order; an odd last byte is
// added as a plain byte value.
uint16_t in_cksum(const void* data, int len) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t sum = 0;
    int left = len;
    while (left > 1) {
        uint16_t word;
        std::memcpy(&word, p, 2);
        sum += word;
        p += 2;
        left -= 2;
    }
    if (left == 1) sum += *p;
    sum = (sum >> 16) + (sum & 0xffff);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum & 0xffff);
}

void tvsub(timeval* out, const timeval* in) {
    out->tv_usec -= in->tv_usec;
    if (out->tv_usec < 0) {
        out->tv_sec--;
        out->tv_usec += 1000000;
    }
    out->tv_sec -= in->tv_sec;
}

int32_t timesub(const int32_t* a, const int32_t* b) {
    return static_cast<int32_t>(static_cast<uint32_t>(*a) - static_cast<uint32_t>(*b));
}

// Microseconds of a time of day since the start instant, wrapping like int32.
static int32_t since_start(timeval tv) {
    tvsub(&tv, &starttv);
    return static_cast<int32_t>(static_cast<int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec);
}

int32_t now_us() {
    timeval tv;
    gettimeofday(&tv, nullptr);
    return since_start(tv);
}

int32_t stamp_us(const timeval* tv) { return since_start(*tv); }

int64_t clock_ns(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return timespec_ns(ts);
}

// The real-time clock less the monotonic one, from the tightest of three
// readings between two monotonic ones: a reading the process lost the
// processor in the middle of would be off by as long as it waited.
int64_t realtime_offset_ns() {
    int64_t best = 0, window = INT64_MAX;
    for (int i = 0; i < 3; ++i) {
        const int64_t before = monotonic_ns();
        const int64_t real = clock_ns(CLOCK_REALTIME);
        const int64_t after = monotonic_ns();
        if (after - before < window) window = after - before, best = real - (before + (after - before) / 2);
    }
    return best;
}

int64_t stamp_on_monotonic(int64_t stampNs, int64_t realMinusMonoNs, int64_t earliestNs, int64_t readNs) {
    const int64_t at = stampNs - realMinusMonoNs;
    return at < earliestNs || at > readNs ? readNs : at;
}

const char* a2sockaddr(sockaddr_in* addr, const char* host, char* name) {
    std::memset(addr, 0, sizeof *addr);
    addr->sin_family = AF_INET;
    const char* official = host;
    in_addr_t dotted = inet_addr(host);
    if (dotted != INADDR_NONE) {
        addr->sin_addr.s_addr = dotted;
    } else {
        hostent* hp = gethostbyname(host);
        if (hp == nullptr) {
            std::snprintf(errortext, sizeof errortext, "%s: %s", "unknown host", host);
            return errortext;
        }
        addr->sin_family = static_cast<sa_family_t>(hp->h_addrtype);
        size_t n = hp->h_length > 0 ? static_cast<size_t>(hp->h_length) : 0;
        if (n > sizeof addr->sin_addr) n = sizeof addr->sin_addr;
        std::memcpy(&addr->sin_addr, hp->h_addr_list[0], n);
        official = hp->h_name;
    }
    if (name != nullptr) {
        std::strncpy(name, official, 63);
        name[63] = '\0';
    }
    return nullptr;
}

void write_echo_header(unsigned char* msg, uint16_t id, int type) {
    msg[0] = static_cast<unsigned char>(type);
    msg[1] = 0;
    std::memcpy(msg + 4, &id, 2);
}

void write_pattern(unsigned char* msg, int size) {
    for (int k = 12; k < size; ++k) msg[k] = static_cast<unsigned char>((k - 4) & 0xff);
}

void set_echo_sequence(unsigned char* msg, uint16_t seq) {
    msg[2] = msg[3] = 0;
    std::memcpy(msg + 6, &seq, 2);
}

void seal_echo(unsigned char* msg, int cc, int32_t stamp) {
    std::memcpy(msg + 8, &stamp, 4);
    uint16_t sum = in_cksum(msg, cc);
    std::memcpy(msg + 2, &sum, 2);
}

void stamp_echo(unsigned char* msg, int32_t stamp) { std::memcpy(msg + 8, &stamp, 4); }

void prepare_header() {
    ident = static_cast<uint16_t>(getpid() & 0xffff);
    write_echo_header(outpack, ident);
}

void fill_pattern() { write_pattern(outpack, BUFSIZE - 4); }

void record_route(const unsigned char* opt, int areaLen) {
    routeData = 1;
    int len = areaLen >= 2 ? opt[1] : 0;
    // Copy and compare only what the header really holds, never past 40 bytes.
    int n = len;
    if (n > areaLen) n = areaLen;
    if (n > OPTLEN) n = OPTLEN;
    // A known route: the same length byte and the same bytes over the same
    // stored length, so a cut-short option never matches a whole one.
    for (RouteNode* node = sumopt; node != nullptr; node = node->link) {
        if (node->opt[1] == len && node->stored == n && std::memcmp(node->opt, opt, static_cast<size_t>(n)) == 0)
            return;
    }
    RouteNode* node = new (std::nothrow) RouteNode{};
    if (node == nullptr) return;
    std::memcpy(node->opt, opt, static_cast<size_t>(n));
    node->opt[1] = static_cast<unsigned char>(len);
    node->stored = n;
    node->link = sumopt;
    sumopt = node;
    numPaths++;
}

// The ICMP header fields of a message of len bytes (at least 8) at icmp.
static void read_icmp(const unsigned char* icmp, int len, Datagram* d) {
    d->icmp = icmp;
    d->icmpLen = len;
    d->type = icmp[0];
    std::memcpy(&d->id, icmp + 4, 2);
    std::memcpy(&d->seq, icmp + 6, 2);
    d->hasStamp = len >= 12;
    d->stamp = 0;
    if (d->hasStamp) std::memcpy(&d->stamp, icmp + 8, 4);
}

bool parse_datagram(const unsigned char* buf, int len, Datagram* d) {
    if (len < 1) return false;
    int hlen = (buf[0] & 0x0f) * 4;
    if (hlen < 20 || len < hlen + 8) return false;
    d->v6 = false;
    d->hlen = hlen;
    read_icmp(buf + hlen, len - hlen, d);
    std::memcpy(&d->source, buf + 12, 4);
    return true;
}

bool parse_icmp_message(const unsigned char* buf, int len, bool v6, Datagram* d) {
    if (len < 8) return false;
    d->v6 = v6;
    d->hlen = 0;
    read_icmp(buf, len, d);
    d->source = 0;
    return true;
}

bool is_our_reply(const Datagram& d, uint16_t id) {
    const bool reply = d.v6 ? d.type == ECHO6_REPLY : (d.type == ECHO_REPLY || d.type == 14);
    return reply && d.id == id && d.hasStamp;
}


std::string icmp_error_text(bool v6, int type, int code) {
    static const char* const unreach4[] = {
        "destination network unreachable", "destination host unreachable", "destination protocol unreachable",
        "destination port unreachable", "fragmentation needed", "source route failed",
        "destination network unknown", "destination host unknown", "source host isolated",
        "destination network prohibited", "destination host prohibited",
        "destination network unreachable for the type of service",
        "destination host unreachable for the type of service", "communication administratively prohibited",
        "host precedence violation", "precedence cutoff in effect"};
    static const char* const unreach6[] = {
        "no route to destination", "communication administratively prohibited", "beyond the scope of the source",
        "destination address unreachable", "destination port unreachable", "source address failed policy",
        "route rejected"};
    if (!v6 && type == 3 && code >= 0 && code < 16) return unreach4[code];
    if (!v6 && type == 11) return code == 1 ? "fragment reassembly time exceeded" : "time to live exceeded";
    if (!v6 && type == 12) return "parameter problem";
    if (v6 && type == 1 && code >= 0 && code < 7) return unreach6[code];
    if (v6 && type == 2) return "packet too big";
    if (v6 && type == 3) return code == 1 ? "fragment reassembly time exceeded" : "hop limit exceeded";
    if (v6 && type == 4) return "parameter problem";
    return std::string(v6 ? "ICMPv6" : "ICMP") + " error type " + std::to_string(type) + " code " +
           std::to_string(code);
}

// The echo header (and the token, when there) of a quoted ICMP message.
static bool read_quoted_icmp(const unsigned char* icmp, int len, bool v6, QuotedEcho* q) {
    Datagram d;
    if (!parse_icmp_message(icmp, len, v6, &d) || d.type != (v6 ? ECHO6_REQUEST : ECHO_REQUEST)) return false;
    q->id = d.id;
    q->seq = d.seq;
    q->token = d.icmpLen >= 20 ? d.icmp + 12 : nullptr;
    return true;
}

bool parse_own_echo(const unsigned char* icmp, int len, bool v6, QuotedEcho* q) {
    *q = QuotedEcho{};
    return icmp != nullptr && read_quoted_icmp(icmp, len, v6, q);
}

// The request an error message quotes, whatever the error's type: its IP
// header's destination and its echo header, each read within the quote.
static bool read_quote(const unsigned char* icmp, int len, bool v6, QuotedEcho* q) {
    *q = QuotedEcho{};
    if (icmp == nullptr || len < 8) return false;
    q->type = icmp[0];
    q->code = icmp[1];
    const unsigned char* ip = icmp + 8;
    const int quoted = len - 8;
    if (v6) {
        // A fixed 40-byte header; our requests carry no extension headers.
        constexpr int kV6Header = 40;
        if (quoted < kV6Header + 8 || (ip[0] >> 4) != 6 || ip[6] != IPPROTO_ICMPV6) return false;
        std::memcpy(q->destination, ip + 24, 16);
        q->hasDestination = true;
        return read_quoted_icmp(ip + kV6Header, quoted - kV6Header, true, q);
    }
    Datagram inner;
    if (!parse_datagram(ip, quoted, &inner) || (ip[0] >> 4) != 4 || ip[9] != IPPROTO_ICMP) return false;
    std::memcpy(q->destination, ip + 16, 4);
    q->hasDestination = true;
    return read_quoted_icmp(inner.icmp, inner.icmpLen, false, q);
}

bool parse_quoted_echo(const unsigned char* icmp, int len, bool v6, QuotedEcho* q) {
    const int type = icmp != nullptr && len >= 1 ? icmp[0] : -1;
    if (v6 ? (type != TIME6_EXCEEDED && type != UNREACHABLE6) : (type != TIME_EXCEEDED && type != UNREACHABLE)) {
        *q = QuotedEcho{};
        return false;
    }
    return read_quote(icmp, len, v6, q);
}

bool read_quoted_request(const unsigned char* icmp, int len, bool v6, QuotedRequest* q) {
    if (icmp == nullptr || len < 8) return false;
    const int type = icmp[0];
    // Destination unreachable, time exceeded, parameter problem (ICMPv6:
    // and packet too big).
    const bool error = v6 ? type >= 1 && type <= 4 : type == 3 || type == 11 || type == 12;
    QuotedEcho e;
    if (!error || !read_quote(icmp, len, v6, &e)) return false;
    q->type = e.type;
    q->code = e.code;
    std::memcpy(q->destination, e.destination, sizeof q->destination);
    q->id = e.id;
    q->seq = e.seq;
    return true;
}

int classify_datagram(const unsigned char* buf, int len) {
    Datagram d;
    if (!parse_datagram(buf, len, &d)) return -1;
    if (d.type != 0 && d.type != 14) {
        pr_icmph(d.icmp, d.icmpLen);
        return -1;
    }
    if (!is_our_reply(d, ident)) return -1;  // another process's, or no room for our send stamp
    // An echo comes from the host it was sent to: any other host can be made
    // to echo requests that carry our identifier.
    if (d.source != whereto.sin_addr.s_addr) return -1;
    if (d.seq >= npackets) return -1;        // not one of this train's packets
    rtt = timesub(&recv_time, &d.stamp);
    packet_id = d.seq;
    if (d.hlen > 20 && buf[20] == 7) record_route(buf + 20, d.hlen - 20);
    return len;
}

void take_reply(int seq) {
    if (seq < 0 || seq >= npackets || seq >= MAXPACKETS) return;
    bool outOfOrder = seq != lastSeq + 1;
    lastSeq = seq;
    returned[seq]++;
    if (returned[seq] != 1) {
        duplicatePkts = 1;
        return;
    }
    rtts[seq] = rtt;
    arrive[seq] = recv_time;
    n_outstanding--;
    orderOK[seq] = outOfOrder ? 0 : 1;
    // A first reply below one already in was overtaken: the train is out of order.
    if (seq < highestFirstSeq) inOrder = 0;
    else highestFirstSeq = seq;
}

void reset_train_state() {
    TimeOutFlag = 0;
    numPaths = 0;
    routeData = 0;
    duplicatePkts = 0;
    n_outstanding = 0;
    inOrder = 1;
}

int train_flags() {
    return (routeData ? TSL_FLAG_ROUTE : 0) | (inOrder ? TSL_FLAG_INORDER : 0) |
           (duplicatePkts ? TSL_FLAG_DUP : 0);
}

void collect_results(int count, int* departs, int* arrives, int* bytesOut, int* order, int* flags,
                     int* paths) {
    if (count > MAXPACKETS) count = MAXPACKETS;
    for (int i = 0; i < count; ++i) {
        bytesOut[i] = bytes[i];
        departs[i] = depart[i];
        arrives[i] = arrive[i];
        order[i] = orderOK[i];
    }
    *flags = train_flags();
    *paths = numPaths;
}

}  // namespace tsl

extern "C" int tsl_format_status_suffix(char* buf, int size, int flags, int paths) {
    char text[64];
    int n = std::snprintf(text, sizeof text, "%s%s%s", (flags & TSL_FLAG_INORDER) ? " SEQOK " : " NOTSEQOK ",
                          (flags & TSL_FLAG_ROUTE) ? " RR" : " NORR", (flags & TSL_FLAG_DUP) ? "_DUP " : " ");
    if (paths > 1) n += std::snprintf(text + n, sizeof text - static_cast<size_t>(n), "multipath: %d", paths);
    if (buf != nullptr && size > 0) std::snprintf(buf, static_cast<size_t>(size), "%s", text);
    return n;
}

extern "C" void tsl_print_status_suffix(int flags, int paths) {
    char text[64];
    tsl_format_status_suffix(text, sizeof text, flags, paths);
    std::fputs(text, stdout);
}

extern "C" int tsl_time_diff(int later, int earlier) {
    const int32_t a = later, b = earlier;
    return tsl::timesub(&a, &b);
}

extern "C" void tsl_set_program_name(const char* name) {
    // A copy: the caller's string may be a temporary.
    static char copy[256];
    std::snprintf(copy, sizeof copy, "%s", name != nullptr ? name : "");
    tsl::my_name = copy;
}
