/* SPDX-License-Identifier: MIT */
// A stand-in for the engine entry tamsel: hands out prepared train results,
// one per call, so that the pass loop runs every path without a network.
#pragma once
#include <vector>

#include "tamsel.h"

namespace scripted {

struct Train {
    int ret = 0;                                    // what tamsel returns
    int flags = TSL_FLAG_ROUTE | TSL_FLAG_INORDER;  // train flags word
    int paths = 1;                                  // path count
    std::vector<int> arrives;                       // entries beyond: no reply (-1)
};

// Departure time that the double reports for packet i.
inline int departure(int i) { return 10 + 20 * i; }

// Replaces the script and resets the call count.  Calls past the end of the
// script get a train without replies.  When no script was set, the first call
// reads one from the environment variable SCRIPTED_TAMSEL: trains separated by
// ';', each "ret flags paths arrival0 arrival1 ...".
void setScript(const std::vector<Train>& trains);

// Arrival times of a train that starts at first and has the given gaps.
std::vector<int> arrivalsFromGaps(int first, const std::vector<int>& gaps);

}  // namespace scripted
