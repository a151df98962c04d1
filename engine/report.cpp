// SPDX-License-Identifier: MIT
// report.cpp - the engine's train report and the descriptions of ICMP messages
// that are not replies to our requests.  Every read of a received message is
// bounded by the number of bytes that really arrived.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstring>

#include "tsl_engine.h"

namespace tsl {

static char quad_text[TEXTLEN];
static char addr_text[TEXTLEN];

static unsigned get16(const unsigned char* p) { return (static_cast<unsigned>(p[0]) << 8) | p[1]; }

static uint32_t get32(const unsigned char* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

const char* pr_quad_addr(const unsigned char* addr) {
    std::snprintf(quad_text, sizeof quad_text, "%u.%u.%u.%u", addr[0], addr[1], addr[2], addr[3]);
    return quad_text;
}

const char* pr_addr(const unsigned char* addr) {
    hostent* hp = gethostbyaddr(addr, 4, AF_INET);
    const char* dotted = pr_quad_addr(addr);
    if (hp != nullptr && hp->h_name != nullptr)
        std::snprintf(addr_text, sizeof addr_text, "%s (%s)", hp->h_name, dotted);
    else
        std::snprintf(addr_text, sizeof addr_text, "%s", dotted);
    return addr_text;
}

// Lists the addresses a stored route option recorded, never past its 40 bytes.
void pr_rroption(const unsigned char* opt) {
    int remaining = opt[2];
    for (int slot = 3; remaining > 4 && slot + 4 <= OPTLEN; slot += 4, remaining -= 4)
        std::printf("\t%s\n", pr_quad_addr(opt + slot));
}

void OldReportResults() {
    std::printf("\n");
    for (int i = 0; i < npackets; ++i) {
        std::printf("pkt %d: %d bytes %d us", i, bytes[i], rtts[i]);
        std::printf(returned[i] != 0 ? "\n" : " ++ lost ++\n");
    }
    std::printf("* ");
    for (int i = 0; i < npackets; ++i) std::printf("%d %d %d ", bytes[i], depart[i], arrive[i]);
    tsl_print_status_suffix(train_flags(), numPaths);
    std::printf("\n");
    std::printf("Routes: %d\n", numPaths);
    if (sumopt == nullptr) {
        std::printf("No packets with routing info received\n");
        return;
    }
    for (curopt = sumopt; curopt != nullptr; curopt = curopt->link) {
        std::printf("via:\n");
        pr_rroption(curopt->opt);
    }
}

// Dumps an IP header, field group by field group, as far as len bytes reach.
void pr_iph(const unsigned char* ip, int len) {
    std::printf("Vr HL TOS  Len   ID Flg  off TTL Pro  cks      Src              Dst Data\n");
    if (len >= 6)
        std::printf(" %1d %2d  %02x %04d %04x", ip[0] >> 4, ip[0] & 0x0f, ip[1], static_cast<int>(get16(ip + 2)), get16(ip + 4));
    if (len >= 8) std::printf("   %1x %04x", (get16(ip + 6) >> 13) & 7, get16(ip + 6) & 0x1fff);
    if (len >= 12) std::printf(" %3d %3d %04x", ip[8], ip[9], get16(ip + 10));
    if (len >= 20) {
        std::printf(" %-15s ", pr_quad_addr(ip + 12));
        std::printf("%-15s ", pr_quad_addr(ip + 16));
        int hlen = (ip[0] & 0x0f) * 4;
        for (int j = 20; j < hlen && j < len; ++j) std::printf("%02x", ip[j]);
    }
    std::printf("\n");
}

void pr_retip(const unsigned char* ip, int len) {
    if (len <= 0) {
        pr_iph(ip, 0);
        return;
    }
    pr_iph(ip, len);
    int hlen = (ip[0] & 0x0f) * 4;
    if (len < 10 || len < hlen + 4) return;
    const unsigned char* ports = ip + hlen;
    if (ip[9] == 6)
        std::printf("TCP: from port %u, to port %u (decimal)\n", get16(ports), get16(ports + 2));
    else if (ip[9] == 17)
        std::printf("UDP: from port %u, to port %u (decimal)\n", get16(ports), get16(ports + 2));
}

static const char* const unreach_text[] = {
    "Destination Net Unreachable\n",      "Destination Host Unreachable\n",
    "Destination Protocol Unreachable\n", "Destination Port Unreachable\n",
    "frag needed and DF set\n",           "Source Route Failed\n",
};
static const char* const redirect_text[] = {
    "Redirect Network",
    "Redirect Host",
    "Redirect Type of Service and Network",
    "Redirect Type of Service and Host",
};
// Types whose description is one fixed line with no quoted datagram.
static const char* plain_text(int type) {
    switch (type) {
        case 0: return "Echo Reply\n";
        case 8: return "Echo Request\n";
        case 13: return "Timestamp\n";
        case 14: return "Timestamp Reply\n";
        case 15: return "Information Request\n";
        case 16: return "Information Reply\n";
        case 17: return "Address Mask Request\n";
        case 18: return "Address Mask Reply\n";
        default: return nullptr;
    }
}

// Describes an ICMP message of len bytes; error messages go on with the
// datagram they quote (from offset 8), read only as far as it arrived.
void pr_icmph(const unsigned char* icp, int len) {
    unsigned char hdr[8] = {};
    std::memcpy(hdr, icp, static_cast<size_t>(len < 8 ? (len > 0 ? len : 0) : 8));
    int type = hdr[0], code = hdr[1];
    if (const char* text = plain_text(type)) {
        std::fputs(text, stdout);
        return;
    }
    switch (type) {
        case 3:
            if (code <= 5) std::fputs(unreach_text[code], stdout);
            else std::printf("Dest Unreachable, Bad Code: %d\n", code);
            break;
        case 4: std::printf("Source Quench\n"); break;
        case 5:
            if (code <= 3) std::fputs(redirect_text[code], stdout);
            else std::printf("Redirect, Bad Code: %d", code);
            std::printf(" (New addr: 0x%08x)\n", get32(hdr + 4));
            break;
        case 11:
            if (code == 0) std::printf("Time to live exceeded\n");
            else if (code == 1) std::printf("Frag reassembly time exceeded\n");
            else std::printf("Time exceeded, Bad Code: %d\n", code);
            break;
        case 12: std::printf("Parameter problem: pointer = 0x%02x\n", hdr[4]); break;
        default: std::printf("Bad ICMP type: %d\n", type); return;
    }
    pr_retip(icp + 8, len - 8);
}

void print_icmp_msg(const unsigned char*) {}

void print_ip_msg() {}

}  // namespace tsl
