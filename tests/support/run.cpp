// SPDX-License-Identifier: MIT
#include "run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tsltest {

static double nowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

RunResult runProgram(const std::vector<std::string>& argv, int timeoutSec) {
    RunResult r;
    int outPipe[2], errPipe[2];
    if (argv.empty() || pipe2(outPipe, O_CLOEXEC) != 0) return r;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return r;
    }
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    const double deadline = nowSeconds() + timeoutSec;
    while (open_fds > 0) {
        int left_ms = static_cast<int>((deadline - nowSeconds()) * 1000);
        if (left_ms <= 0) {
            r.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        int n = poll(fds, 2, left_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[8192];
            ssize_t got = read(fds[i].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[i]->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    if (WIFSIGNALED(st)) r.signal = WTERMSIG(st);
    return r;
}

RunResult runShell(const std::string& command, int timeoutSec) {
    return runProgram({"/bin/sh", "-c", command}, timeoutSec);
}

bool isRoot() { return geteuid() == 0; }

bool skipsAllowed() {
    const char* subset = std::getenv("TSL_UNPRIVILEGED");
    return subset != nullptr && std::strcmp(subset, "1") == 0;
}

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    if (what.empty()) return 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

std::vector<int> numbersOf(const std::string& text, const char* format) {
    std::vector<int> values;
    for (const auto& line : splitLines(text)) {
        int v = 0;
        if (std::sscanf(line.c_str(), format, &v) == 1) values.push_back(v);
    }
    return values;
}

}  // namespace tsltest
