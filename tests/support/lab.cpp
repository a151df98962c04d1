// SPDX-License-Identifier: MIT
#include "lab.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tsltest {

namespace {

std::atomic<int> labCounter{0};

double nowSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void sleepMs(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string readFile(const std::string& path) {
    std::string text;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return text;
    char buf[8192];
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0 || (got < 0 && errno == EINTR))
        if (got > 0) text.append(buf, static_cast<size_t>(got));
    close(fd);
    return text;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

// A number of Mbit/s or percent as lab.sh takes it.
std::string number(double value) {
    char text[32];
    snprintf(text, sizeof text, "%g", value);
    return text;
}

// Makes an empty temporary file for a background process's output; returns
// its descriptor and stores its path.
int makeTempFile(std::string* path) {
    char templ[] = "/tmp/tsl-lab-XXXXXX";
    int fd = mkostemp(templ, O_CLOEXEC);
    if (fd >= 0) *path = templ;
    return fd;
}

}  // namespace

struct Lab::Background {
    pid_t pid = -1;
    std::string outPath, errPath;
    bool exited = false;     // reaped; status holds what waitpid gave
    int status = 0;
    bool collected = false;  // output read and files removed; result final
    RunResult result;
};

Lab::Lab(const LabOptions& opts) {
    name_ = "tsl" + std::to_string(getpid()) + "n" + std::to_string(labCounter++);
    if (!isRoot()) {
        reason_ = "the network lab needs root (network namespaces)";
        return;
    }
    if (access(TSL_LAB_SH, R_OK) != 0) {
        reason_ = std::string("cannot read ") + TSL_LAB_SH;
        return;
    }
    std::vector<std::string> argv = {"bash", TSL_LAB_SH, "up", name_};
    if (opts.rateMbit > 0) argv.insert(argv.end(), {"--rate", number(opts.rateMbit)});
    if (opts.burstBytes > 0) argv.insert(argv.end(), {"--burst", std::to_string(opts.burstBytes)});
    if (opts.shapeRequests) argv.insert(argv.end(), {"--shape", "requests"});
    if (opts.police) argv.push_back("--police");
    if (opts.narrowMbit > 0) argv.insert(argv.end(), {"--narrow", number(opts.narrowMbit)});
    if (opts.steerCpu >= 0) argv.insert(argv.end(), {"--steer", std::to_string(opts.steerCpu)});
    if (opts.crossMbit > 0)
        argv.insert(argv.end(), {"--cross", number(opts.crossMbit), "--cross-burst", std::to_string(opts.crossBurstMs)});
    if (opts.crossKind != nullptr) {
        argv.insert(argv.end(), {"--cross-kind", opts.crossKind});
#ifdef TSL_CROSSGEN_BIN
        argv.insert(argv.end(), {"--crossgen", TSL_CROSSGEN_BIN});
#endif
    }
    if (opts.tcpFlows > 0) argv.insert(argv.end(), {"--tcp", std::to_string(opts.tcpFlows)});
    if (opts.lossPct > 0)
        argv.insert(argv.end(), {"--loss", number(opts.lossPct), "--loss-on", opts.lossOn ? opts.lossOn : "both"});
    if (opts.echoLimitPps > 0) argv.insert(argv.end(), {"--echo-limit", std::to_string(opts.echoLimitPps)});
    if (opts.pingUsers) argv.push_back("--ping-users");
    if (opts.ttlExpire) argv.push_back("--ttl-expire");
    if (opts.noEcho) argv.push_back("--no-echo");
    up_ = true;  // from here on the destructor runs down, whatever up did
    // The name holds this process's pid and a counter it has not used yet, so
    // a lab of that name was left by a killed process that had the same pid.
    for (char role : {'c', 'r', 't'}) {
        if (access(("/run/netns/" + nsName(role)).c_str(), F_OK) == 0) {
            runProgram({"bash", TSL_LAB_SH, "down", name_}, 60);
            break;
        }
    }
    RunResult r = runProgram(argv, 60);
    if (r.status != 0) {
        reason_ = "lab.sh up " + name_ + " failed: " +
                  trimmed(r.timedOut ? "timed out" : r.err.empty() ? r.out : r.err);
        return;
    }
    available_ = true;
}

std::string Lab::address(const char* role, int family) {
    RunResult r = runProgram({"bash", TSL_LAB_SH, "addr", family == AF_INET6 ? "-6" : "-4", role}, 10);
    return r.status == 0 ? trimmed(r.out) : std::string();
}

Lab::~Lab() {
    for (size_t i = 0; i < background_.size(); ++i) {
        Background& b = *background_[i];
        if (!b.exited) kill(-b.pid, SIGKILL);
        collect(static_cast<int>(i), false);
    }
    leave();
    if (up_) runProgram({"bash", TSL_LAB_SH, "down", name_}, 60);
}

RunResult Lab::runIn(const char* role, const std::vector<std::string>& argv, int timeoutSec) {
    if (!available_) {
        RunResult r;
        r.err = "lab not available: " + reason_;
        return r;
    }
    std::vector<std::string> full = {"ip", "netns", "exec", name_ + "-" + role};
    full.insert(full.end(), argv.begin(), argv.end());
    return runProgram(full, timeoutSec);
}

RunResult Lab::runInClient(const std::vector<std::string>& argv, int timeoutSec) {
    return runIn("c", argv, timeoutSec);
}

RunResult Lab::runInTarget(const std::vector<std::string>& argv, int timeoutSec) {
    return runIn("t", argv, timeoutSec);
}

RunResult Lab::runInRouter(const std::vector<std::string>& argv, int timeoutSec) {
    return runIn("r", argv, timeoutSec);
}

bool Lab::startInTarget(const std::vector<std::string>& argv, int waitSec, int* handle) {
    return startIn('t', argv, waitSec, handle);
}

bool Lab::startInClient(const std::vector<std::string>& argv, int waitSec, int* handle) {
    return startIn('c', argv, waitSec, handle);
}

bool Lab::startInRouter(const std::vector<std::string>& argv, int waitSec, int* handle) {
    return startIn('r', argv, waitSec, handle);
}

bool Lab::startIn(char role, const std::vector<std::string>& argv, int waitSec, int* handle) {
    if (handle) *handle = -1;
    if (!available_ || argv.empty()) return false;
    const std::string nsPath = "/run/netns/" + nsName(role);
    int nsFd = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0) return false;
    auto b = std::make_unique<Background>();
    int outFd = makeTempFile(&b->outPath);
    int errFd = outFd >= 0 ? makeTempFile(&b->errPath) : -1;
    int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = (outFd >= 0 && errFd >= 0 && nullFd >= 0) ? fork() : -1;
    if (pid == 0) {
        // Child: only async-signal-safe calls until exec.
        setpgid(0, 0);
        if (setns(nsFd, CLONE_NEWNET) != 0) _exit(126);
        dup2(nullFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(nsFd);
    for (int fd : {outFd, errFd, nullFd})
        if (fd >= 0) close(fd);
    if (pid < 0) {
        if (!b->outPath.empty()) unlink(b->outPath.c_str());
        if (!b->errPath.empty()) unlink(b->errPath.c_str());
        return false;
    }
    setpgid(pid, pid);  // also here, so a signal sent right away reaches the group
    b->pid = pid;
    background_.push_back(std::move(b));
    const int id = static_cast<int>(background_.size()) - 1;
    if (handle) *handle = id;

    Background& bg = *background_[id];
    const double deadline = nowSeconds() + waitSec;
    for (;;) {
        if (readFile(bg.outPath).find('\n') != std::string::npos ||
            readFile(bg.errPath).find('\n') != std::string::npos)
            return true;
        if (!bg.exited && waitpid(bg.pid, &bg.status, WNOHANG) == bg.pid) bg.exited = true;
        if (bg.exited) {
            // It may have printed its line just before it ended.
            std::string out = readFile(bg.outPath), err = readFile(bg.errPath);
            return out.find('\n') != std::string::npos || err.find('\n') != std::string::npos;
        }
        if (nowSeconds() >= deadline) break;
        sleepMs(5);
    }
    kill(-bg.pid, SIGKILL);
    collect(id, true);
    return false;
}

RunResult Lab::collect(int handle, bool timedOut) {
    Background& b = *background_[handle];
    if (b.collected) return b.result;
    if (!b.exited) {
        while (waitpid(b.pid, &b.status, 0) < 0 && errno == EINTR) {
        }
        b.exited = true;
    }
    b.result.timedOut = timedOut;
    if (WIFEXITED(b.status)) b.result.status = WEXITSTATUS(b.status);
    if (WIFSIGNALED(b.status)) b.result.signal = WTERMSIG(b.status);
    b.result.out = readFile(b.outPath);
    b.result.err = readFile(b.errPath);
    unlink(b.outPath.c_str());
    unlink(b.errPath.c_str());
    b.collected = true;
    return b.result;
}

// Polls until the process has ended (true) or the deadline has passed.
static bool awaitExit(pid_t pid, bool& exited, int& status, double deadline) {
    while (!exited) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        if (nowSeconds() >= deadline) return false;
        sleepMs(5);
    }
    return true;
}

RunResult Lab::stop(int handle, int sig, int waitSec) {
    if (handle < 0 || handle >= static_cast<int>(background_.size())) return {};
    Background& b = *background_[handle];
    if (!b.exited) {
        kill(-b.pid, sig);
        if (!awaitExit(b.pid, b.exited, b.status, nowSeconds() + waitSec)) kill(-b.pid, SIGKILL);
    }
    return collect(handle, false);
}

RunResult Lab::wait(int handle, int timeoutSec) {
    if (handle < 0 || handle >= static_cast<int>(background_.size())) return {};
    Background& b = *background_[handle];
    const bool ended = awaitExit(b.pid, b.exited, b.status, nowSeconds() + timeoutSec);
    if (!ended) kill(-b.pid, SIGKILL);
    return collect(handle, !ended);
}

std::string Lab::output(int handle) const {
    if (handle < 0 || handle >= static_cast<int>(background_.size())) return {};
    const Background& b = *background_[handle];
    return b.collected ? b.result.out : readFile(b.outPath);
}

bool Lab::enter(char role) {
    if (!available_) return false;
    int target = open(("/run/netns/" + nsName(role)).c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0) return false;
    if (savedNs_ < 0) {
        savedNs_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (savedNs_ < 0) {
            close(target);
            return false;
        }
    }
    bool ok = setns(target, CLONE_NEWNET) == 0;
    close(target);
    return ok;
}

bool Lab::enterClient() { return enter('c'); }
bool Lab::enterTarget() { return enter('t'); }
bool Lab::enterRouter() { return enter('r'); }

bool Lab::leave() {
    if (savedNs_ < 0) return true;
    bool ok = setns(savedNs_, CLONE_NEWNET) == 0;
    close(savedNs_);
    savedNs_ = -1;
    return ok;
}

}  // namespace tsltest
