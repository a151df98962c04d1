// SPDX-License-Identifier: MIT
// The engine as a library sees it, called in this process: a pending alarm
// of the caller survives a train and a loop of trains and comes once the
// results are out, the train arms its own alarm only with its handler in
// place and SIGALRM blocked, echo replies count only from the train's target,
// arrivals carry the kernel's stamp, the program name is the engine's own
// copy, and scheduled sends keep to the time base.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csetjmp>
#include <csignal>
#include <string>

#include "lab.h"
#include "run.h"
#include "tsl_engine.h"

namespace {

volatile sig_atomic_t callerAlarms = 0;
int64_t firstAlarmNs = 0;  // monotonic clock
void onCallerAlarm(int) {
    if (callerAlarms == 0) firstAlarmNs = tsl::monotonic_ns();
    callerAlarms = callerAlarms + 1;
}

struct Train {
    int sizes[10], departs[10], arrives[10], bytes[10], order[10], flags = 0, paths = 0;
    explicit Train(const char* host, int count = 10, int timeout = 5) {
        for (int& s : sizes) s = 600;
        testing::internal::CaptureStdout();  // the engine's report
        tamsel(host, count, sizes, departs, arrives, bytes, order, &flags, &paths, timeout);
        testing::internal::GetCapturedStdout();
    }
};

TEST(EngineInProcess, RepliesCarryTheKernelStamp) {
    TSL_REQUIRE_ROOT("for the raw socket");
    Train t("127.0.0.1");
    const tsl::ArrivalSources src = tsl::last_arrival_sources();
    EXPECT_EQ(src.kernel, 10);
    EXPECT_EQ(src.afterReceive, 0) << "arrival times fell back to the clock after the receive";
}

TEST(EngineInProcess, APendingAlarmOfTheCallerIsDelayedNotLost) {
    tsltest::Lab lab({.noEcho = true});  // a silent target
    TSL_REQUIRE_LAB(lab);
    struct sigaction mine{}, old{};
    mine.sa_handler = onCallerAlarm;
    sigaction(SIGALRM, &mine, &old);
    callerAlarms = 0;

    // Pending for 30 s; a quick train takes almost nothing of it.
    alarm(30);
    Train quick("127.0.0.1");
    const unsigned left = alarm(0);
    EXPECT_GE(left, 29u);
    EXPECT_LE(left, 30u);

    // Due after 1 s, during a train that waits 2 s for a silent host: it
    // comes as the train ends, to our handler, and is not armed again.
    ASSERT_TRUE(lab.enterClient());
    alarm(1);
    Train silent(tsltest::Lab::kTarget, 2, 2);
    ASSERT_TRUE(lab.leave());
    EXPECT_EQ(silent.arrives[0], TSL_NO_REPLY);
    EXPECT_EQ(callerAlarms, 1);
    EXPECT_EQ(alarm(0), 0u);
    sigaction(SIGALRM, &old, nullptr);
}

sigjmp_buf jumpOut;
void jumpOutOfTheTrain(int) { siglongjmp(jumpOut, 1); }

TEST(EngineInProcess, AHandlerThatJumpsOutOfTheTrainFindsItsResults) {
    // The caller's alarm falls due during the wait; its handler leaves the
    // train with a jump, which must come after the results are copied out.
    tsltest::Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    struct sigaction mine{}, old{};
    mine.sa_handler = jumpOutOfTheTrain;
    sigaction(SIGALRM, &mine, &old);
    int sizes[2] = {600, 600}, departs[2] = {-7, -7}, arrives[2] = {-7, -7}, bytes[2] = {-7, -7},
        order[2] = {-7, -7}, flags = -7, paths = -7;
    ASSERT_TRUE(lab.enterClient());
    testing::internal::CaptureStdout();
    if (sigsetjmp(jumpOut, 1) == 0) {
        alarm(1);
        tamsel(tsltest::Lab::kTarget, 2, sizes, departs, arrives, bytes, order, &flags, &paths, 2);
    }
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(lab.leave());
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(bytes[0], 600) << "the alarm came before the results";
    EXPECT_EQ(bytes[1], 600);
    EXPECT_EQ(arrives[0], TSL_NO_REPLY);
    EXPECT_EQ(flags, TSL_FLAG_INORDER);
}

TEST(EngineInProcess, EchoRepliesFromAnotherHostAreNotTaken) {
    // The router echoes what carries this process's identifier and the
    // train's sequence numbers to the client while the train waits for a
    // target that never answers.
    tsltest::Lab lab({.noEcho = true});
    TSL_REQUIRE_LAB(lab);
    const uint16_t ident = static_cast<uint16_t>(getpid() & 0xffff);
    const pid_t forger = fork();
    if (forger == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!lab.enterRouter()) _exit(1);
        const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        inet_pton(AF_INET, tsltest::Lab::kClient, &to.sin_addr);
        unsigned char reply[608] = {};
        for (int round = 0; fd >= 0 && round < 150; ++round) {  // 3 s at most
            for (uint16_t seq = 0; seq < 2; ++seq) {
                tsl::write_echo_header(reply, ident, tsl::ECHO_REPLY);
                tsl::set_echo_sequence(reply, seq);
                tsl::seal_echo(reply, sizeof reply, 1000);
                sendto(fd, reply, sizeof reply, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            }
            usleep(20000);
        }
        _exit(0);
    }
    ASSERT_GT(forger, 0);
    ASSERT_TRUE(lab.enterClient());
    Train t(tsltest::Lab::kTarget, 2, 2);
    ASSERT_TRUE(lab.leave());
    kill(forger, SIGKILL);
    waitpid(forger, nullptr, 0);
    EXPECT_EQ(t.arrives[0], TSL_NO_REPLY) << "a forged reply was taken";
    EXPECT_EQ(t.arrives[1], TSL_NO_REPLY) << "a forged reply was taken";
}

TEST(EngineInProcess, ACallersAlarmComesOnTimeThroughALoopOfTrains) {
    TSL_REQUIRE_ROOT("for the raw socket");
    struct sigaction mine{}, old{};
    mine.sa_handler = onCallerAlarm;
    sigaction(SIGALRM, &mine, &old);
    callerAlarms = 0;
    // Trains a few milliseconds apart for 5 s must neither push the alarm back
    // nor lose it.
    const int64_t start = tsl::monotonic_ns();
    alarm(2);
    int trains = 0;
    while (tsl::monotonic_ns() - start < 5000000000 && trains < 5000) {
        Train t("127.0.0.1");
        ++trains;
        usleep(3000);
    }
    alarm(0);
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_GE(trains, 100);
    ASSERT_EQ(callerAlarms, 1);
    EXPECT_GE(firstAlarmNs - start, 2000000000);
    EXPECT_LE(firstAlarmNs - start, 3500000000);
}

// The engine's calls to setitimer come here (the test is linked with
// --wrap=setitimer).  While watched, every arming records whether SIGALRM
// then had a handler and was blocked: armed first, a process stopped before
// the handler went in would be ended by the alarm.
bool watchArming = false;
int armings = 0, armedUnguarded = 0;

}  // namespace

extern "C" int __real_setitimer(int which, const itimerval* value, itimerval* old);
extern "C" int __wrap_setitimer(int which, const itimerval* value, itimerval* old) {
    if (watchArming && value != nullptr && (value->it_value.tv_sec != 0 || value->it_value.tv_usec != 0)) {
        struct sigaction now {};
        sigaction(SIGALRM, nullptr, &now);
        sigset_t mask;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        ++armings;
        if (now.sa_handler == SIG_DFL || sigismember(&mask, SIGALRM) != 1) ++armedUnguarded;
    }
    return __real_setitimer(which, value, old);
}

namespace {

TEST(EngineInProcess, TheTrainsAlarmIsArmedOnlyWithItsHandlerInPlace) {
    struct sigaction byDefault {}, old {};
    byDefault.sa_handler = SIG_DFL;
    sigaction(SIGALRM, &byDefault, &old);
    watchArming = true;
    Train t("127.0.0.1", 2, 2);
    watchArming = false;
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(armings, 1);
    EXPECT_EQ(armedUnguarded, 0);
}

TEST(EngineInProcess, TheProgramNameIsCopied) {
    // A name that no longer exists when the error is printed.
    TSL_REQUIRE_ROOT("for a private network namespace");
    EXPECT_EXIT(
        {
            std::string name(40, 'p');
            tsl_set_program_name(name.c_str());
            name.assign(40, 'x');
            name.clear();
            name.shrink_to_fit();
            if (unshare(CLONE_NEWNET) != 0) std::exit(3);  // no name service: the host cannot resolve
            Train t("no-such-host.invalid");
        },
        testing::ExitedWithCode(1), "^" + std::string(40, 'p') + ": unknown host: no-such-host.invalid\n");
}

TEST(EngineSchedule, SendTimesUseTheWholeTimeBase) {
    EXPECT_EQ(tsl::send_target_us(0), 0);
    EXPECT_EQ(tsl::send_target_us(0.0000015), 2);
    EXPECT_EQ(tsl::send_target_us(2100.0), 2100000000);
    EXPECT_EQ(tsl::send_target_us(2146.999999), 2146999999);
    for (double refused : {2147.0, 1e9, -0.5, double(NAN), double(INFINITY)}) EXPECT_EQ(tsl::send_target_us(refused), -1) << refused;
}

}  // namespace
