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

// How many times what occurs in text (non-overlapping).
int countOf(const std::string& text, const std::string& what);

// Splits text into lines (without their line ends).
std::vector<std::string> splitLines(const std::string& text);

}  // namespace tsltest
