// SPDX-License-Identifier: MIT
// result_size.h - a caller's avl_result may be shorter than this library's
// (built against an older header): what is written into it never passes the
// size it gives.
#pragma once

#include <algorithm>
#include <cstring>

#include "availest.h"

namespace availbw {

// The bytes of a result the caller's struct has room for: its size, or this
// header's when it gave none.
inline size_t resultRoom(const avl_result* r) {
    return r->size == 0 ? sizeof(avl_result) : std::min(r->size, sizeof(avl_result));
}

// Copies from into the caller's result as far as its struct reaches, keeping its size.
inline void fillResult(avl_result* r, const avl_result& from) {
    const size_t size = r->size;
    std::memcpy(static_cast<void*>(r), &from, resultRoom(r));
    r->size = size;
}

}  // namespace availbw
