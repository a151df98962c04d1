// SPDX-License-Identifier: MIT
// make_corpus - writes the fuzzers' seed corpus from the datagram table:
//   make_corpus DIR
// makes DIR/fuzz_receive/NAME (one received datagram each), DIR/fuzz_icmph/NAME
// (the ICMP message of each datagram that has a whole IP header) and
// DIR/fuzz_train/NAME (a train of datagrams), after removing what those three
// folders held.  The committed corpus is fuzz/corpus, made with
//   build-fuzz/fuzz/make_corpus fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "datagrams.h"

namespace fs = std::filesystem;

static bool writeFile(const fs::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

static fs::path freshDir(const fs::path& dir) {
    fs::create_directories(dir);
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.is_regular_file()) fs::remove(entry.path());
    return dir;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    fs::path root = argv[1];
    fs::path receive = freshDir(root / "fuzz_receive");
    fs::path icmph = freshDir(root / "fuzz_icmph");
    fs::path train = freshDir(root / "fuzz_train");
    int written = 0;
    bool ok = true;
    for (const auto& d : tslfuzz::kDatagrams) {
        std::vector<unsigned char> bytes = tslfuzz::datagramBytes(d.hex);
        ok &= writeFile(receive / d.name, bytes);
        ++written;
        size_t hlen = bytes.empty() ? 0 : static_cast<size_t>(bytes[0] & 0x0f) * 4;
        if (hlen >= 20 && bytes.size() > hlen) {
            ok &= writeFile(icmph / d.name, std::vector<unsigned char>(bytes.begin() + static_cast<long>(hlen), bytes.end()));
            ++written;
        }
    }
    for (const auto& t : tslfuzz::kTrains) {
        ok &= writeFile(train / t.name, tslfuzz::trainBytes(t));
        ++written;
    }
    if (!ok) {
        std::fprintf(stderr, "make_corpus: cannot write under %s\n", root.c_str());
        return 1;
    }
    std::printf("%d seed files under %s\n", written, root.c_str());
    return 0;
}
