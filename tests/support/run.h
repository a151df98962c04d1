/* SPDX-License-Identifier: MIT */
// Runs a program as a child process and captures what it prints.
#pragma once
#include <string>
#include <vector>

namespace tsltest {

struct RunResult {
    int status = -1;        // exit status as the shell sees it (0..255), or -1
    int signal = 0;         // terminating signal, 0 when the program exited
    bool timedOut = false;  // killed after the time limit
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error
};

// Runs argv[0] (looked up on PATH when it has no slash) with the arguments that
// follow, no standard input, and kills it after timeoutSec seconds.
RunResult runProgram(const std::vector<std::string>& argv, int timeoutSec = 120);

// Runs a shell command line through /bin/sh -c.
RunResult runShell(const std::string& command, int timeoutSec = 120);

// True when the process has the privileges the network tests need.
bool isRoot();

// True when the run is the unprivileged subset (TSL_UNPRIVILEGED=1 in the
// environment): a test that cannot run here is then left out as skipped.
// Otherwise every run is meant to be complete, and such a test fails.
bool skipsAllowed();

// How many times what occurs in text (non-overlapping).
int countOf(const std::string& text, const std::string& what);

// Splits text into lines (without their line ends).
std::vector<std::string> splitLines(const std::string& text);

// The number that each line matching the sscanf format (one %d conversion,
// the rest skipped with %*) holds, in the order of the lines.
std::vector<int> numbersOf(const std::string& text, const char* format);

}  // namespace tsltest

// Ends the current test that cannot run here, saying why: skipped in the
// unprivileged subset, failed otherwise.
#define TSL_CANNOT_RUN(why)                                                             \
    do {                                                                                \
        if (tsltest::skipsAllowed()) GTEST_SKIP() << why;                               \
        GTEST_FAIL() << "cannot run: " << why << " (TSL_UNPRIVILEGED=1 leaves it out)"; \
    } while (0)

#define TSL_REQUIRE_ROOT(why)                                        \
    do {                                                             \
        if (!tsltest::isRoot()) TSL_CANNOT_RUN("needs root " << why); \
    } while (0)
