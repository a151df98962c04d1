/* SPDX-License-Identifier: MIT */
// The network lab for tests: three network namespaces (client, router,
// target) joined by veth pairs, made by scripts/lab.sh and removed again when
// the Lab object goes out of scope, also when the test fails or throws.
//
//   client 198.18.0.1 --- 198.18.0.254 router 198.18.1.254 --- 198.18.1.2 target
//
// 198.18.1.99 is held by no host: the router answers echo requests to it with
// "Destination Host Unreachable" after about 3 s.  Every link carries IPv6 as
// well, from 2001:2::/48: address(role, AF_INET6) asks lab.sh for a role's.
//
// Typical use:
//
//   tsltest::Lab lab({.noEcho = true});
//   TSL_REQUIRE_LAB(lab);   // fails (or skips, see TSL_CANNOT_RUN) without the lab
//   int responder = -1;
//   ASSERT_TRUE(lab.startInTarget({TSL_RESPONDER_BIN, "--order", "0,2,1"}, 5, &responder));
//   auto r = lab.runInClient({"/path/to/tool", tsltest::Lab::kTarget}, 60);
//   auto seen = lab.wait(responder, 10);   // the responder's own report
#pragma once

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "run.h"

namespace tsltest {

// Each option is passed to lab.sh up, which checks it; see lab.sh for the details.
struct LabOptions {
    double rateMbit = 0;    // > 0: token-bucket bottleneck on the replies (target -> client)
    int burstBytes = 0;     // bucket size of that bottleneck; 0: lab.sh's (one frame, three policing)
    bool shapeRequests = false; // the bottleneck on the requests (client -> target) instead
    bool police = false;    // the bottleneck drops above its rate (a one-frame queue) instead of queueing
    double narrowMbit = 0;  // > 0: an idle hop this narrow (below rateMbit) before the bottleneck
    double crossMbit = 0;   // > 0: steady UDP cross traffic through the bottleneck, in its direction
    int crossBurstMs = 1;   // the cross traffic leaves in bursts this many ms apart
    int steerCpu = -1;      // >= 0: the router's, target's and cross traffic's work on this processor
    double lossPct = 0;     // the router drops this share of forwarded packets at random (steps of 0.1)
    const char* lossOn = "both"; // ... of those toward the client ("replies"), the target ("requests") or both
    int echoLimitPps = 0;   // > 0: the target drops echo requests above this many a second
    bool pingUsers = false; // ordinary users in the client may open ICMP datagram sockets
    bool ttlExpire = false; // the router answers "Time to live exceeded" to everything from the client
    bool noEcho = false;    // the target's kernel ignores echo requests (for the scripted responder)
    // With crossMbit: the suite's own sender (tsl_crossgen) instead of iperf3,
    // crossMbit then in IP bits: "steady", "poisson", "mix" or "onoff".
    const char* crossKind = nullptr;
    int tcpFlows = 0;       // > 0: this many TCP bulk flows through the bottleneck, in its direction
};

class Lab {
public:
    // Runs lab.sh up with a name unique to this process (tsl<pid>n<counter>).
    // A lab of that name left by a killed process that had the same pid is
    // removed first.
    explicit Lab(const LabOptions& opts = {});
    // Kills the processes it started, leaves a namespace the thread entered and
    // runs lab.sh down.
    ~Lab();
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    // False when not root, namespaces are unavailable or up failed.
    bool available() const { return available_; }
    // Why the lab is not available, for TSL_REQUIRE_LAB.
    const std::string& reason() const { return reason_; }
    const std::string& name() const { return name_; }

    static constexpr const char* kClient = "198.18.0.1";
    static constexpr const char* kRouter = "198.18.0.254";        // the router, client side
    static constexpr const char* kRouterTarget = "198.18.1.254";  // the router, target side
    static constexpr const char* kTarget = "198.18.1.2";
    static constexpr const char* kUnheld = "198.18.1.99";
    // The address of a role (client, router, router-target, target, unheld)
    // in family AF_INET or AF_INET6, as lab.sh addr prints it; empty if it
    // has none.
    static std::string address(const char* role, int family);

    // Runs argv in a namespace and waits for it (killed after timeoutSec).
    RunResult runInClient(const std::vector<std::string>& argv, int timeoutSec = 120);
    RunResult runInTarget(const std::vector<std::string>& argv, int timeoutSec = 120);
    RunResult runInRouter(const std::vector<std::string>& argv, int timeoutSec = 120);

    // Starts argv in the background in a namespace, in a process group of its
    // own, and waits until it has printed its first whole line (on standard
    // output or standard error: the responder's "ready", tcpdump's "listening
    // on ...") or waitSec seconds have passed.  Returns false if no line came
    // (the process is then killed; its output can still be had with stop()).
    // *handle, when given, identifies the process for stop(), wait() and
    // output().  Processes still running are killed by the destructor.
    bool startInTarget(const std::vector<std::string>& argv, int waitSec = 5, int* handle = nullptr);
    bool startInClient(const std::vector<std::string>& argv, int waitSec = 5, int* handle = nullptr);
    bool startInRouter(const std::vector<std::string>& argv, int waitSec = 5, int* handle = nullptr);

    // Sends sig to the process group, waits up to waitSec for the process to
    // end (then SIGKILL) and returns its exit status and everything it printed.
    // For a process that has already been collected, returns the same result.
    RunResult stop(int handle, int sig = SIGTERM, int waitSec = 5);
    // Waits up to timeoutSec for the process to end by itself (then kills it
    // and sets timedOut) and returns its exit status and output.
    RunResult wait(int handle, int timeoutSec = 30);
    // What the process has written to standard output so far.
    std::string output(int handle) const;

    // Moves the calling thread into a namespace of the lab, so code called
    // directly in the test process (sockets it opens, packets it sends) runs
    // there.  leave() returns the thread to the namespace it came from; the
    // destructor does so too.  Sockets keep the namespace they were opened in.
    bool enterClient();
    bool enterTarget();
    bool enterRouter();
    bool leave();

private:
    struct Background;
    bool startIn(char role, const std::vector<std::string>& argv, int waitSec, int* handle);
    RunResult runIn(const char* role, const std::vector<std::string>& argv, int timeoutSec);
    bool enter(char role);
    RunResult collect(int handle, bool timedOut);
    std::string nsName(char role) const { return name_ + "-" + role; }

    std::string name_;
    std::string reason_;
    bool available_ = false;
    bool up_ = false;
    int savedNs_ = -1;  // the thread's own namespace while it is in one of the lab's
    std::vector<std::unique_ptr<Background>> background_;
};

}  // namespace tsltest

// Ends the current test when the lab could not be made, with the reason:
// a failure, or a skip in the unprivileged subset (see TSL_CANNOT_RUN).
#define TSL_REQUIRE_LAB(lab)                                        \
    do {                                                            \
        if (!(lab).available()) TSL_CANNOT_RUN((lab).reason());     \
    } while (0)
