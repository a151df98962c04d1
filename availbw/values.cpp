// SPDX-License-Identifier: MIT
// values.cpp - option values of availbw's command line.
#include "values.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace availbw {

size_t readDecimal(const char* text, double* value) {
    size_t n = 0, digits = 0;
    bool point = false;
    for (; text[n] != '\0'; ++n) {
        if (text[n] >= '0' && text[n] <= '9') ++digits;
        else if (text[n] == '.' && !point) point = true;
        else break;
    }
    if (digits == 0) return 0;
    *value = std::strtod(std::string(text, n).c_str(), nullptr);
    return n;
}

bool decimalIn(const char* text, double low, double high, bool open, double* value) {
    const size_t n = readDecimal(text, value);
    return n > 0 && text[n] == '\0' && (open ? *value > low : *value >= low) && *value <= high;
}

bool byteCount(const char* text, double most, int64_t* bytes) {
    double value = 0;
    const size_t n = readDecimal(text, &value);
    if (n == 0) return false;
    const char* suffix = text + n;
    double scale = 1;
    switch (*suffix) {
        case 'k': case 'K': scale = 1e3, ++suffix; break;
        case 'm': case 'M': scale = 1e6, ++suffix; break;
        case 'g': case 'G': scale = 1e9, ++suffix; break;
        default: break;
    }
    if (*suffix == 'B' || *suffix == 'b') ++suffix;
    if (*suffix != '\0') return false;
    const double total = std::round(value * scale);
    if (total < 1 || total > most) return false;
    *bytes = static_cast<int64_t>(total);
    return true;
}

}  // namespace availbw
