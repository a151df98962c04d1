// SPDX-License-Identifier: MIT
// Runs one train through the engine and prints the train result after the
// engine's own report, so tests can check both from a real process:
//   train_driver HOST COUNT SIZES TIMEOUT [TRAINS [PAUSE_MS]]
// SIZES is one size or a comma list (packet i takes the i-th, the last one
// repeats).  The result arrays hold exactly COUNT entries, preset to -7 (the
// arrivals to TSL_NO_REPLY), so the sanitizers see any write past them and the
// PKT lines show the entries the engine left alone.
// With PAUSE_MS it installs a SIGALRM handler of its own before the trains,
// waits that long after them, and reports whether the handler is still its
// own and whether any alarm reached it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "tamsel.h"

static volatile sig_atomic_t alarmsSeen = 0;
static void onAlarm(int) { alarmsSeen = alarmsSeen + 1; }

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: train_driver HOST COUNT SIZES TIMEOUT [TRAINS [PAUSE_MS]]\n");
        return 2;
    }
    const int count = std::atoi(argv[2]);
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    int timeout = std::atoi(argv[4]);
    int trains = argc > 5 ? std::atoi(argv[5]) : 1;
    int pauseMs = argc > 6 ? std::atoi(argv[6]) : -1;
    if (pauseMs >= 0) std::signal(SIGALRM, onAlarm);
    std::vector<int> sizes(n);
    const char* next = argv[3];
    for (size_t i = 0; i < n; ++i) {
        char* end = nullptr;
        sizes[i] = static_cast<int>(std::strtol(next, &end, 10));
        if (*end == ',') next = end + 1;
    }
    for (int t = 0; t < trains; ++t) {
        std::vector<int> depart(n, -7), arrive(n, TSL_NO_REPLY), bytes(n, -7), order(n, -7);
        int flags = 0, paths = 0;
        int rc = tamsel(argv[1], count, sizes.data(), depart.data(), arrive.data(), bytes.data(), order.data(),
                        &flags, &paths, timeout);
        std::printf("RESULT rc=%d flags=%d paths=%d\n", rc, flags, paths);
        for (size_t i = 0; i < n; ++i)
            std::printf("PKT %zu bytes=%d depart=%d arrive=%d order=%d\n", i, bytes[i], depart[i], arrive[i],
                        order[i]);
    }
    if (pauseMs >= 0) {
        timespec pause = {pauseMs / 1000, (pauseMs % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0) {
        }
        struct sigaction now {};
        sigaction(SIGALRM, nullptr, &now);
        std::printf("HANDLER %s ALARMS %d\n", now.sa_handler == onAlarm ? "kept" : "lost", (int)alarmsSeen);
    }
    return 0;
}
