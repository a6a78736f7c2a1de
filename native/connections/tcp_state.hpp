// What a connection's packets say about it: each TCP endpoint's state, the
// history letters, and the outcome (conn_state) named from the two states at
// the end, in one ordered function that reads like the table in
// CONNECTIONS.md.
#pragma once

#include "decode/ip.hpp"

#include <cstdint>

namespace kavrel::connections {

namespace tcp_flag {
inline constexpr uint8_t kFin = 0x01;
inline constexpr uint8_t kSyn = 0x02;
inline constexpr uint8_t kRst = 0x04;
inline constexpr uint8_t kAck = 0x10;
inline constexpr uint8_t kUrg = 0x20;
}  // namespace tcp_flag

// One side of a TCP connection, changed only by the segments that side sends.
enum class Endpoint : uint8_t {
    inactive,     // has sent nothing
    syn_sent,     // first sent a SYN without ACK
    synack_sent,  // first sent a SYN+ACK
    partial,      // first sent anything else: picked up mid-stream
    established,  // its SYN or SYN+ACK was answered
    closed,       // sent a FIN
    reset,        // sent a RST
};
inline constexpr uint8_t kEndpointCount = 7;

// Counts as inactive in every rule that names inactive: it never handshook.
inline bool inactive(Endpoint e) noexcept { return e == Endpoint::inactive || e == Endpoint::partial; }

// A segment with `flags` from the side in state `self` to the side in `peer`:
// the first-segment rule, then the ACK rule, then FIN, then RST.
inline void on_segment(Endpoint& self, Endpoint& peer, uint8_t flags) noexcept {
    using namespace tcp_flag;
    const bool syn = flags & kSyn, ack = flags & kAck;
    if (self == Endpoint::inactive) {
        self = syn && !ack ? Endpoint::syn_sent : syn ? Endpoint::synack_sent : Endpoint::partial;
    }
    if (ack && !syn && self == Endpoint::syn_sent &&
        (peer == Endpoint::synack_sent || peer == Endpoint::established)) {
        self = Endpoint::established;
        if (peer == Endpoint::synack_sent) peer = Endpoint::established;  // its SYN+ACK was answered
    }
    if ((flags & kFin) && self != Endpoint::reset) self = Endpoint::closed;
    if (flags & kRst) self = Endpoint::reset;
}

enum class ConnState : uint8_t { S0, S1, SF, REJ, S2, S3, RSTO, RSTR, RSTOS0, RSTRH, SH, SHR, OTH };
inline constexpr const char* kConnStateNames[] = {"S0",   "S1",     "SF",    "REJ", "S2",  "S3", "RSTO",
                                                  "RSTR", "RSTOS0", "RSTRH", "SH",  "SHR", "OTH"};

// Rule 4's test: after an optional leading '^', the history starts with the
// originator's SYN and reaches its RST with no SYN+ACK, ACK or FIN of its own between.
inline bool syn_then_reset(const char* history) noexcept {
    const char* p = history[0] == '^' ? history + 1 : history;
    if (*p != 'S') return false;
    for (++p; *p; ++p) {
        if (*p == 'R') return true;
        if (*p == 'H' || *p == 'A' || *p == 'F') return false;
    }
    return false;
}

// conn_state of a TCP connection: O and R the originator's and responder's
// last states, `payload` whether either side sent any, `history` its letters.
// First match wins.
inline ConnState tcp_conn_state(Endpoint o, Endpoint r, bool payload, const char* history) noexcept {
    using E = Endpoint;
    using S = ConnState;
    if (r == E::reset && (o == E::syn_sent || o == E::synack_sent || (o == E::reset && !payload))) return S::REJ;  // 1
    if (r == E::reset && inactive(o)) return S::RSTRH;                                     // 2
    if (r == E::reset) return S::RSTR;                                                     // 3
    if (o == E::reset && inactive(r) && syn_then_reset(history)) return S::RSTOS0;        // 4
    if (o == E::reset && inactive(r)) return S::OTH;                                       // 5: a lone RST
    if (o == E::reset) return S::RSTO;                                                     // 6
    if (o == E::closed && r == E::closed) return S::SF;                                    // 7
    if (o == E::closed && inactive(r)) return S::SH;                                       // 8
    if (o == E::closed) return S::S2;                                                      // 9
    if (r == E::closed && inactive(o)) return S::SHR;                                      // 10
    if (r == E::closed) return S::S3;                                                      // 11
    if (o == E::syn_sent && inactive(r)) return S::S0;                                     // 12
    if (o == E::established && r == E::established) return S::S1;                          // 13
    return S::OTH;                                                                         // 14
}

inline ConnState udp_conn_state(bool orig_sent, bool resp_sent) noexcept {
    return orig_sent && resp_sent ? ConnState::SF : orig_sent ? ConnState::S0 : ConnState::SHR;
}

// The history: each letter at most once per direction, in order of first
// occurrence, upper case for the originator; '^' first when turned round.
namespace letter {
inline constexpr uint8_t kSyn = 1 << 0;     // S: SYN without ACK
inline constexpr uint8_t kSynAck = 1 << 1;  // H: SYN+ACK
inline constexpr uint8_t kAck = 1 << 2;     // A: a pure ACK (no SYN, FIN or RST, no payload)
inline constexpr uint8_t kData = 1 << 3;    // D: payload
inline constexpr uint8_t kFin = 1 << 4;     // F
inline constexpr uint8_t kRst = 1 << 5;     // R
inline constexpr char kChars[] = "SHADFR";  // by bit, in the order they are written within one packet
inline constexpr int kCount = 6;
}  // namespace letter

// The letters of one TCP segment.
inline uint8_t tcp_letters(uint8_t flags, uint32_t payload) noexcept {
    using namespace tcp_flag;
    uint8_t out = 0;
    if (flags & kSyn) out |= flags & kAck ? letter::kSynAck : letter::kSyn;
    if ((flags & (kAck | kSyn | kFin | kRst)) == kAck && payload == 0) out |= letter::kAck;
    if (payload > 0) out |= letter::kData;
    if (flags & kFin) out |= letter::kFin;
    if (flags & kRst) out |= letter::kRst;
    return out;
}

// Room for '^', six letters each way and the terminating NUL.
inline constexpr int kHistoryLen = 16;

struct History {
    char text[kHistoryLen];
    uint8_t length;
    uint8_t seen[2];  // letters already written, by direction (0: originator)

    void start(bool turned_round) noexcept {
        for (char& c : text) c = 0;
        length = 0;
        seen[0] = seen[1] = 0;
        if (turned_round) text[length++] = '^';
    }
    void add(int direction, uint8_t letters) noexcept {
        unsigned fresh = letters & ~seen[direction] & ((1u << letter::kCount) - 1);
        if (!fresh) return;
        seen[direction] |= static_cast<uint8_t>(fresh);
        const char lower = direction == 0 ? 0 : 'a' - 'A';
        for (; fresh; fresh &= fresh - 1) {  // the letters' bits, lowest (first written) first
            text[length++] = static_cast<char>(letter::kChars[__builtin_ctz(fresh)] + lower);
        }
    }
};

}  // namespace kavrel::connections
