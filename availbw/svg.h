// SPDX-License-Identifier: MIT
// svg.h - what the program's pictures share: text appended printf-style,
// text made safe for XML, and steps that read well on an axis.
#pragma once

#include <string>

namespace availbw {

// Appends printf-style text of any length.
__attribute__((format(printf, 2, 3))) void svgAdd(std::string& out, const char* format, ...);
// Text for an XML text node or attribute: markup characters escaped, and
// anything outside printable ASCII replaced, so the document always parses.
std::string svgEscaped(const std::string& text);
// A step of 1, 2 or 5 times a power of ten that cuts span into at most about
// parts pieces.
double niceStep(double span, int parts);

}  // namespace availbw
