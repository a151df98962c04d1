/* SPDX-License-Identifier: MIT */
// datagrams.h - named datagrams as the engine's raw socket would receive them
// (IP header with its options, then the ICMP message), written in hex.  One
// table serves two uses: make_corpus writes it out as the fuzzers' seed corpus,
// and the hostile tests feed every row through the receive step and check the
// effect listed beside it.
//
// Every reply here carries the identifier kDatagramIdent (bytes 54 4c, stored in
// the host's little-endian order like the engine's own), so a user of the table
// sets tsl::ident to it before classifying.  Checksums are left 0: the engine
// does not check them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tslfuzz {

constexpr uint16_t kDatagramIdent = 0x4c54;

// Effect of one datagram on a train of 10 packets whose replies have not come.
enum class Effect {
    Accepted,   // taken as the reply to the packet named by its sequence number
    Silent,     // dropped without a word
    Described,  // dropped after a description on standard output
};

struct Datagram {
    const char* name;   // file name in the seed corpus
    const char* hex;    // the bytes; blanks are for reading only
    Effect effect;
    const char* first;  // Described: the first line printed, without its line end
};

// clang-format off
// IP headers from the target 198.18.1.2 to the client 198.18.0.1, protocol ICMP:
// without options, and with the full 40-byte option area (header length 15).
#define TSL_IP       "4500 0264 1234 0000 4001 0000 c6120102 c6120001 "
#define TSL_IP_RR    "4f00 0264 1234 0000 4001 0000 c6120102 c6120001 "
#define TSL_EMPTY6   "00000000 00000000 00000000 00000000 00000000 00000000 "
#define TSL_EMPTY8   TSL_EMPTY6 "00000000 00000000 "
// Record-route option as a reply through the lab's router brings it back:
// router (out), target, router (back); pointer 16, six empty slots, end of list.
#define TSL_RR_LAB   "07 27 10 c61201fe c6120102 c61200fe " TSL_EMPTY6 "00 "
#define TSL_RR_LAB2  "07 27 10 c61201fe c6120102 c61200fd " TSL_EMPTY6 "00 "
// Every slot filled: pointer 40 lists nine addresses.
#define TSL_RR_FULL  "07 27 28 01010101 02020202 03030303 04040404 05050505 06060606 07070707 " \
                     "08080808 09090909 00 "
// Options with a hostile length byte (0, 3, 41, 255) and a pointer of 255.
#define TSL_RR_ODD(len) "07 " len " ff c61201fe c6120102 c61200fe " TSL_EMPTY6 "00 "
// Echo reply with our identifier, sequence number seq (host order), send stamp 1000.
#define TSL_ECHO(seq) "00 00 0000 544c " seq " e8030000 08090a0b 0c0d0e0f "
#define TSL_SEQ0 "0000"
#define TSL_SEQ1 "0100"
#define TSL_SEQ2 "0200"
#define TSL_SEQ3 "0300"
// The header of our own echo request as a router quotes it: 60 bytes with the
// record-route option (one address recorded), then 8 bytes of the request.
#define TSL_QUOTE_REQ "4f00 0264 abcd 4000 0101 0000 c6120001 c6120102 " \
                      "07 27 08 c61201fe " TSL_EMPTY8 "00 0800 f7ff 544c 0000 "
#define TSL_QUOTE_UDP "4500 001c 0001 0000 4011 beef c6120001 c6120102 0035 1f90 0008 0000 "
#define TSL_QUOTE_TCP "4500 0028 0002 4000 4006 beef c6120001 c6120102 c350 0050 00000001 "

inline const Datagram kDatagrams[] = {
    // Replies of this process.
    {"echo_plain",          TSL_IP TSL_ECHO(TSL_SEQ0), Effect::Accepted, ""},
    // Right identifier, sequence and stamp, but from the router, not the host the train went to.
    {"echo_other_host",     "4500 0264 1234 0000 4001 0000 c61200fe c6120001 " TSL_ECHO(TSL_SEQ0), Effect::Silent, ""},
    {"echo_rr",             TSL_IP_RR TSL_RR_LAB TSL_ECHO(TSL_SEQ1), Effect::Accepted, ""},
    {"echo_rr_other_route", TSL_IP_RR TSL_RR_LAB2 TSL_ECHO(TSL_SEQ2), Effect::Accepted, ""},
    {"echo_rr_full",        TSL_IP_RR TSL_RR_FULL TSL_ECHO(TSL_SEQ3), Effect::Accepted, ""},
    {"echo_rr_len0",        TSL_IP_RR TSL_RR_ODD("00") TSL_ECHO(TSL_SEQ0), Effect::Accepted, ""},
    {"echo_rr_len3",        TSL_IP_RR TSL_RR_ODD("03") TSL_ECHO(TSL_SEQ0), Effect::Accepted, ""},
    {"echo_rr_len41",       TSL_IP_RR TSL_RR_ODD("29") TSL_ECHO(TSL_SEQ0), Effect::Accepted, ""},
    {"echo_rr_len255",      TSL_IP_RR TSL_RR_ODD("ff") TSL_ECHO(TSL_SEQ0), Effect::Accepted, ""},
    // A 4-byte option area whose option claims 39 bytes.
    {"echo_rr_small_area",  "4600 0264 1234 0000 4001 0000 c6120102 c6120001 07270800 " TSL_ECHO(TSL_SEQ1),
                            Effect::Accepted, ""},
    // Options that are not record-route: no route is recorded.
    {"echo_nop_option",     "4600 0264 1234 0000 4001 0000 c6120102 c6120001 01010100 " TSL_ECHO(TSL_SEQ2),
                            Effect::Accepted, ""},
    {"echo_stamp_only",     TSL_IP "00 00 0000 544c 0100 e8030000", Effect::Accepted, ""},
    {"timestamp_reply",     TSL_IP "0e 00 0000 544c 0200 0000000a 0000000b 0000000c", Effect::Accepted, ""},

    // Replies that are not ours or not of this train.
    {"echo_other_ident",    TSL_IP "00 00 0000 544d 0000 e8030000 08090a0b", Effect::Silent, ""},
    {"timestamp_other_ident", TSL_IP "0e 00 0000 0000 0000 0000000a 0000000b 0000000c", Effect::Silent, ""},
    {"echo_seq10",          TSL_IP_RR TSL_RR_LAB TSL_ECHO("0a00"), Effect::Silent, ""},
    {"echo_seq65535",       TSL_IP_RR TSL_RR_LAB TSL_ECHO("ffff"), Effect::Silent, ""},
    {"echo_3_data_bytes",   TSL_IP "00 00 0000 544c 0000 e80300", Effect::Silent, ""},
    {"echo_no_data",        TSL_IP "00 00 0000 544c 0000", Effect::Silent, ""},

    // Truncated or malformed IP headers.
    {"empty",               "", Effect::Silent, ""},
    {"one_byte",            "45", Effect::Silent, ""},
    {"header_only",         TSL_IP, Effect::Silent, ""},
    {"icmp_7_bytes",        TSL_IP "00 00 0000 544c 00", Effect::Silent, ""},
    {"header_length_16",    "4400 0264 1234 0000 4001 0000 c6120102 c6120001 " TSL_ECHO(TSL_SEQ0), Effect::Silent, ""},
    {"options_cut",         TSL_IP_RR TSL_RR_LAB, Effect::Silent, ""},

    // Errors quoting our request with its record-route option.
    {"unreach_net",         TSL_IP "0300 0000 00000000 " TSL_QUOTE_REQ, Effect::Described, "Destination Net Unreachable"},
    {"unreach_host",        TSL_IP_RR TSL_RR_LAB "0301 0000 00000000 " TSL_QUOTE_REQ, Effect::Described,
                            "Destination Host Unreachable"},
    {"unreach_protocol",    TSL_IP "0302 0000 00000000 " TSL_QUOTE_REQ, Effect::Described,
                            "Destination Protocol Unreachable"},
    {"unreach_frag",        TSL_IP "0304 0000 000005dc " TSL_QUOTE_REQ, Effect::Described, "frag needed and DF set"},
    {"unreach_source_route", TSL_IP "0305 0000 00000000 " TSL_QUOTE_REQ, Effect::Described, "Source Route Failed"},
    {"unreach_bad_code",    TSL_IP "030d 0000 00000000 " TSL_QUOTE_REQ, Effect::Described,
                            "Dest Unreachable, Bad Code: 13"},
    {"source_quench",       TSL_IP "0400 0000 00000000 " TSL_QUOTE_REQ, Effect::Described, "Source Quench"},
    {"redirect_net",        TSL_IP "0500 0000 c61200fe " TSL_QUOTE_REQ, Effect::Described,
                            "Redirect Network (New addr: 0xc61200fe)"},
    {"redirect_host",       TSL_IP "0501 0000 c61200fe " TSL_QUOTE_REQ, Effect::Described,
                            "Redirect Host (New addr: 0xc61200fe)"},
    {"redirect_tos_net",    TSL_IP "0502 0000 c61200fe " TSL_QUOTE_REQ, Effect::Described,
                            "Redirect Type of Service and Network (New addr: 0xc61200fe)"},
    {"redirect_tos_host",   TSL_IP "0503 0000 c61200fe " TSL_QUOTE_REQ, Effect::Described,
                            "Redirect Type of Service and Host (New addr: 0xc61200fe)"},
    {"redirect_bad_code",   TSL_IP "0507 0000 c61200fe " TSL_QUOTE_REQ, Effect::Described,
                            "Redirect, Bad Code: 7 (New addr: 0xc61200fe)"},
    {"time_exceeded",       TSL_IP "0b00 0000 00000000 " TSL_QUOTE_REQ, Effect::Described, "Time to live exceeded"},
    {"reassembly_exceeded", TSL_IP "0b01 0000 00000000 " TSL_QUOTE_REQ, Effect::Described,
                            "Frag reassembly time exceeded"},
    {"time_bad_code",       TSL_IP "0b09 0000 00000000 " TSL_QUOTE_REQ, Effect::Described,
                            "Time exceeded, Bad Code: 9"},
    {"parameter_problem",   TSL_IP "0c00 0000 14000000 " TSL_QUOTE_REQ, Effect::Described,
                            "Parameter problem: pointer = 0x14"},

    // Errors quoting other datagrams, whole or cut short.
    {"unreach_port_udp",    TSL_IP "0303 0000 00000000 " TSL_QUOTE_UDP, Effect::Described,
                            "Destination Port Unreachable"},
    {"unreach_port_tcp",    TSL_IP "0303 0000 00000000 " TSL_QUOTE_TCP, Effect::Described,
                            "Destination Port Unreachable"},
    {"unreach_udp_ports_cut", TSL_IP "0303 0000 00000000 4500 001c 0001 0000 4011 beef c6120001 c6120102 0035",
                            Effect::Described, "Destination Port Unreachable"},
    {"unreach_quote_12",    TSL_IP "0301 0000 00000000 4500 001c 0001 0000 4011 beef", Effect::Described,
                            "Destination Host Unreachable"},
    {"unreach_quote_5",     TSL_IP "0301 0000 00000000 4500 001c 00", Effect::Described,
                            "Destination Host Unreachable"},
    {"unreach_no_quote",    TSL_IP "0301 0000 00000000", Effect::Described, "Destination Host Unreachable"},
    {"time_exceeded_options_cut", TSL_IP "0b00 0000 00000000 4f00 0264 abcd 4000 0101 0000 c6120001 c6120102 "
                            "07 27 08 c6", Effect::Described, "Time to live exceeded"},
    {"parameter_problem_udp_options", TSL_IP "0c00 0000 16000000 4700 0024 0001 0000 4011 beef c6120001 c6120102 "
                            "07 07 04 00000000 00 0035 1f90 0008 0000", Effect::Described,
                            "Parameter problem: pointer = 0x16"},
    {"redirect_quote_header_length_0", TSL_IP "0501 0000 c61200fe 4011 001c 0001 0000 4011 beef",
                            Effect::Described, "Redirect Host (New addr: 0xc61200fe)"},
    {"unreach_quote_header_length_15_cut", TSL_IP "0303 0000 00000000 4f00 0064 0001 0000 4006 beef c6120001 "
                            "c6120102 0102", Effect::Described, "Destination Port Unreachable"},

    // Messages described by one line.
    {"echo_request",        TSL_IP "0800 0000 544c 0000 e8030000", Effect::Described, "Echo Request"},
    {"timestamp_request",   TSL_IP "0d00 0000 544c 0000 00000000 00000000 00000000", Effect::Described, "Timestamp"},
    {"info_request",        TSL_IP "0f00 0000 544c 0000", Effect::Described, "Information Request"},
    {"info_reply",          TSL_IP "1000 0000 544c 0000", Effect::Described, "Information Reply"},
    {"mask_request",        TSL_IP "1100 0000 544c 0000 00000000", Effect::Described, "Address Mask Request"},
    {"mask_reply",          TSL_IP "1200 0000 544c 0000 ffffff00", Effect::Described, "Address Mask Reply"},
    {"bad_type_1",          TSL_IP "0100 0000 00000000", Effect::Described, "Bad ICMP type: 1"},
    {"bad_type_6",          TSL_IP "0600 0000 00000000 " TSL_QUOTE_REQ, Effect::Described, "Bad ICMP type: 6"},
    {"bad_type_19",         TSL_IP "1300 0000 00000000", Effect::Described, "Bad ICMP type: 19"},
    {"bad_type_255",        TSL_IP_RR TSL_RR_LAB "ff03 0000 544c 0000", Effect::Described, "Bad ICMP type: 255"},
};
// clang-format on

// Trains for the train fuzzer: a packet count, then datagrams of the table
// by name, received in this order.
struct Train {
    const char* name;
    int count;
    std::vector<const char*> datagrams;
};

inline const std::vector<Train> kTrains = {
    {"train_in_order", 4, {"echo_plain", "echo_rr", "echo_rr_other_route", "echo_rr_full"}},
    {"train_duplicate", 4, {"echo_plain", "echo_rr", "echo_rr", "echo_rr_other_route", "echo_rr_full"}},
    {"train_out_of_order", 4, {"echo_plain", "echo_rr_other_route", "echo_rr", "echo_rr_full"}},
    {"train_with_foreign", 4, {"echo_plain", "unreach_host", "echo_other_ident", "echo_rr", "echo_seq10",
                               "echo_3_data_bytes", "time_exceeded", "timestamp_reply", "redirect_bad_code",
                               "echo_rr_full"}},
    {"train_odd_routes", 2, {"echo_rr_len0", "echo_rr_len41", "echo_rr_len255", "echo_rr_small_area",
                             "echo_stamp_only"}},
    {"train_one_packet_lost", 3, {"echo_plain", "echo_rr_other_route"}},
    {"train_empty", 0, {"echo_plain", "echo_rr"}},
};

// The bytes of a hex text; characters other than hex digits are skipped.
inline std::vector<unsigned char> datagramBytes(const char* hex) {
    std::vector<unsigned char> out;
    int high = -1;
    for (const char* p = hex; *p != '\0'; ++p) {
        char c = *p;
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<unsigned char>(high << 4 | v));
            high = -1;
        }
    }
    return out;
}

inline const Datagram* findDatagram(const std::string& name) {
    for (const auto& d : kDatagrams)
        if (name == d.name) return &d;
    return nullptr;
}

// A train input of the train fuzzer: one byte of packet count, then each
// datagram as a 2-byte big-endian length and its bytes.
inline std::vector<unsigned char> trainBytes(const Train& t) {
    std::vector<unsigned char> out{static_cast<unsigned char>(t.count)};
    for (const char* name : t.datagrams) {
        const Datagram* d = findDatagram(name);
        if (d == nullptr) continue;
        std::vector<unsigned char> b = datagramBytes(d->hex);
        out.push_back(static_cast<unsigned char>(b.size() >> 8));
        out.push_back(static_cast<unsigned char>(b.size() & 0xff));
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

}  // namespace tslfuzz
