// SPDX-License-Identifier: MIT
// svg.cpp - see svg.h.
#include "svg.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace availbw {

void svgAdd(std::string& out, const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (n > 0) {
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(n) + 1);
        std::vsnprintf(out.data() + at, static_cast<size_t>(n) + 1, format, again);
        out.resize(at + static_cast<size_t>(n));
    }
    va_end(again);
}

std::string svgEscaped(const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
        }
    }
    return out;
}

double niceStep(double span, int parts) {
    const double raw = span / parts;
    const double power = std::pow(10, std::floor(std::log10(raw)));
    for (const double m : {1.0, 2.0, 5.0})
        if (m * power >= raw) return m * power;
    return 10 * power;
}

}  // namespace availbw
