// SPDX-License-Identifier: MIT
// result_size.h - a caller's avl_result may be shorter than this library's
// (built against an older header): what is written into it never passes the
// size it gives.
#pragma once

#include <algorithm>
#include <cstring>

#include "availest.h"

namespace availbw {

// Copies from into the caller's result of size bytes, as far as it reaches.
inline void fillResult(avl_result* r, size_t size, const avl_result& from) {
    std::memcpy(static_cast<void*>(r), &from, std::min(size, sizeof(avl_result)));
}

}  // namespace availbw
