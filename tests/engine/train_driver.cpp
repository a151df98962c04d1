// Runs one train through the engine and prints the train result after the
// engine's own report, so tests can check both from a real process:
//   train_driver HOST COUNT SIZE TIMEOUT [TRAINS [PAUSE_MS]]
// With PAUSE_MS it installs a SIGALRM handler of its own before the trains,
// waits that long after them, and reports whether the handler is still its
// own and whether any alarm reached it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "tamsel.h"

static volatile sig_atomic_t alarmsSeen = 0;
static void onAlarm(int) { alarmsSeen = alarmsSeen + 1; }

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: train_driver HOST COUNT SIZE TIMEOUT [TRAINS]\n");
        return 2;
    }
    int count = std::atoi(argv[2]);
    int size = std::atoi(argv[3]);
    int timeout = std::atoi(argv[4]);
    int trains = argc > 5 ? std::atoi(argv[5]) : 1;
    int pauseMs = argc > 6 ? std::atoi(argv[6]) : -1;
    if (pauseMs >= 0) std::signal(SIGALRM, onAlarm);
    int sizes[TSL_MAX_PACKETS], depart[TSL_MAX_PACKETS], arrive[TSL_MAX_PACKETS];
    int bytes[TSL_MAX_PACKETS], order[TSL_MAX_PACKETS];
    for (int t = 0; t < trains; ++t) {
        for (int i = 0; i < count && i < TSL_MAX_PACKETS; ++i) {
            sizes[i] = size;
            arrive[i] = TSL_NO_REPLY;
        }
        int flags = 0, paths = 0;
        int rc = tamsel(argv[1], count, sizes, depart, arrive, bytes, order, &flags, &paths, timeout);
        std::printf("RESULT rc=%d flags=%d paths=%d\n", rc, flags, paths);
        for (int i = 0; i < count && i < TSL_MAX_PACKETS; ++i)
            std::printf("PKT %d bytes=%d depart=%d arrive=%d order=%d\n", i, bytes[i], depart[i], arrive[i],
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
