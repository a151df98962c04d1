// Runs one train through the engine and prints the train result after the
// engine's own report, so tests can check both from a real process:
//   train_driver HOST COUNT SIZE TIMEOUT [TRAINS]
#include <cstdio>
#include <cstdlib>

#include "tamsel.h"

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: train_driver HOST COUNT SIZE TIMEOUT [TRAINS]\n");
        return 2;
    }
    int count = std::atoi(argv[2]);
    int size = std::atoi(argv[3]);
    int timeout = std::atoi(argv[4]);
    int trains = argc > 5 ? std::atoi(argv[5]) : 1;
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
    return 0;
}
