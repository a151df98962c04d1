// SPDX-License-Identifier: MIT
// values.h - the option values availbw reads from its command line: plain
// decimal numbers and byte counts with a unit.  Pure functions, tested
// without running the program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace availbw {

// A plain decimal number: digits with at most one point, at least one digit,
// no sign, exponent, blank or anything after it.  Returns the characters read
// (0: none), so a caller can take a suffix after them.
size_t readDecimal(const char* text, double* value);

// A decimal number within [low, high] (low itself excluded when open) and
// nothing after it.
bool decimalIn(const char* text, double low, double high, bool open, double* value);

// A byte count from 1 to most: a decimal number, an optional k, M or G in
// either case (powers of 1000) and an optional B or b after it ("2m", "2MB",
// "1.5G", "500").
bool byteCount(const char* text, double most, int64_t* bytes);

}  // namespace availbw
