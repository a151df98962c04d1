// SPDX-License-Identifier: MIT
// plot.h - a picture of a measurement as an SVG document.
#pragma once

#include <string>

#include "availest.h"

namespace availbw {

// The measurement as one self-contained SVG document (no scripts, no external
// references, generic fonts).  Time since the start runs to the right; each
// stream is drawn at the height of its sending rate, as the curve of its
// delays above its own smallest one, coloured by its verdict; lost packets
// are crosses on that line.  A band marks the reported range, a line the
// estimate, a dashed line the capacity; a strip beside the panel shows the
// range each round ended with.  host is the name as given.
std::string plotSvg(const avl_result& r, const std::string& host);

}  // namespace availbw
