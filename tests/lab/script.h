/* SPDX-License-Identifier: MIT */
// script.h - what the scripted responder does with the echo requests of a
// train, read from its command line, and the state machine that turns each
// arriving request into the datagrams to send and when.
//
// Requests are told apart by their sequence number (host byte order).  SEQS
// is a comma list of sequence numbers; where it says SEQS|all, "all" means
// every request.
//
//   --count N          requests per train (default 10)
//   --trains T         trains to handle before finishing (default 1)
//   --scripted-trains N  the options below apply to the first N trains only;
//                      later trains get plain replies in order (default: all)
//   --order SEQS       hold replies and send them in this order, each once its
//                      request and all before it in the list are in; requests
//                      not listed are answered as they come
//   --dup SEQS|all     send the reply twice
//   --drop SEQS|all    send no reply
//   --delay SEQ:MS[,SEQ:MS...]  send the reply MS milliseconds late
//   --before SEQS|all=CASE[,CASE...]  send these messages just before the
//                      reply (or in its place when it is dropped)
//   --after SEQS|all=CASE[,CASE...]   send them just after the reply
//   --linger MS        stay this long after the last train before finishing;
//                      requests then get no answer (default 200)
//   --timeout S        give up after S seconds in all (default 30)
//
// CASE is described in cases.h.  For each request the responder sends, at
// the moment its reply is due: the --before messages, the reply, its
// duplicate, the --after messages.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "cases.h"
#include "packets.h"

namespace tsllab {

struct Script {
    int count = 10;
    int trains = 1;
    int scriptedTrains = 1000;  // trains the script applies to, from the first on
    std::vector<int> order;
    std::set<int> dup, drop;
    bool dupAll = false, dropAll = false;
    std::map<int, int> delayMs;
    std::map<int, std::vector<Case>> before, after;  // key -1: every request
    int lingerMs = 200;
    int timeoutSec = 30;
};

// Reads the options above (args without the program name); on failure says
// why in *error.
std::optional<Script> parseScript(const std::vector<std::string>& args, std::string* error);

// A datagram to send at dueUs (microseconds on the caller's clock).
struct Outgoing {
    std::int64_t dueUs = 0;
    Bytes datagram;
};

// Plays a script against the requests as they arrive.
class Train {
public:
    explicit Train(const Script& script) : script_(script) {}

    // Takes one echo request that arrived at nowUs and returns what is to be
    // sent because of it, in sending order.
    std::vector<Outgoing> onRequest(const EchoRequest& req, std::int64_t nowUs);

    // True once every train of the script has had all its requests.
    bool finished() const { return trainsDone_ >= script_.trains; }
    int requestsSeen() const { return requestsSeen_; }

private:
    void release(const EchoRequest& req, std::int64_t nowUs, std::vector<Outgoing>& out);
    bool listed(int seq) const;
    bool scripted() const { return trainsDone_ < script_.scriptedTrains; }

    const Script script_;
    std::map<int, EchoRequest> held_;  // requests whose reply waits for its turn
    std::size_t nextInOrder_ = 0;      // position in script_.order
    int inTrain_ = 0;                  // requests of the current train so far
    int trainsDone_ = 0;
    int requestsSeen_ = 0;
    std::uint16_t ipId_ = 1;
};

}  // namespace tsllab
