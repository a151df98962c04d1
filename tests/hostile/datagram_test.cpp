// SPDX-License-Identifier: MIT
// The named datagrams of fuzz/datagrams.h against the receive step: each has
// the effect its row lists, every prefix of each is classified without a read
// past its end (the buffers are exactly as long as what "arrived", so the
// sanitizer build catches any over-read), and the committed seed corpus is
// what the table makes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;
using tslfuzz::Effect;
using Bytes = std::vector<unsigned char>;

// A train of 10 packets all out, the table's identifier, and a route list of
// its own; the nodes a test adds are freed afterwards and the list restored.
class ReceiveStep : public testing::Test {
protected:
    void SetUp() override {
        saved = tsl::sumopt;
        tsl::sumopt = nullptr;
        tslfuzz::startTrain(10);
    }
    void TearDown() override {
        tslfuzz::freeRoutes();
        tsl::sumopt = saved;
    }
    // Classifies a copy of bytes in a buffer of exactly their length.
    int classify(const Bytes& bytes) {
        std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size() + (bytes.empty() ? 1 : 0)]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        testing::internal::CaptureStdout();
        int r = tsl::classify_datagram(exact.get(), static_cast<int>(bytes.size()));
        printed = testing::internal::GetCapturedStdout();
        return r;
    }
    tsl::RouteNode* saved = nullptr;
    std::string printed;
};

TEST_F(ReceiveStep, EachDatagramHasItsListedEffect) {
    for (const auto& d : tslfuzz::kDatagrams) {
        SCOPED_TRACE(d.name);
        tslfuzz::startTrain(10);
        Bytes bytes = tslfuzz::datagramBytes(d.hex);
        tsl::recv_time = 5000;
        tsl::packet_id = -1;
        int paths = tsl::numPaths;
        int r = classify(bytes);
        switch (d.effect) {
        case Effect::Accepted: {
            ASSERT_EQ(r, static_cast<int>(bytes.size()));
            EXPECT_EQ(printed, "");
            int hlen = (bytes[0] & 0x0f) * 4;
            bool recordRoute = hlen > 20 && bytes[20] == 7;
            EXPECT_EQ(tsl::routeData, recordRoute ? 1 : 0);
            ASSERT_GE(tsl::packet_id, 0);
            ASSERT_LT(tsl::packet_id, 10);
            EXPECT_EQ(tsl::packet_id, bytes[hlen + 6] | bytes[hlen + 7] << 8);
            tsl::take_reply(tsl::packet_id);
            EXPECT_EQ(tsl::arrive[tsl::packet_id], 5000);
            EXPECT_EQ(tsl::n_outstanding, 9);
            break;
        }
        case Effect::Silent:
        case Effect::Described:
            EXPECT_EQ(r, -1);
            EXPECT_EQ(tsl::packet_id, -1);
            EXPECT_EQ(tsl::routeData, 0) << "a rejected datagram records no route";
            EXPECT_EQ(tsl::numPaths, paths);
            if (d.effect == Effect::Silent)
                EXPECT_EQ(printed, "");
            else
                EXPECT_EQ(printed.substr(0, printed.find('\n')), d.first);
            break;
        }
    }
}

TEST_F(ReceiveStep, EveryPrefixOfEveryDatagramStaysInsideIt) {
    // What a truncated datagram may still do: be rejected, or, when it still
    // holds a whole reply with its stamp, be accepted at its cut length.
    for (const auto& d : tslfuzz::kDatagrams) {
        Bytes bytes = tslfuzz::datagramBytes(d.hex);
        for (size_t cut = 0; cut <= bytes.size(); ++cut) {
            SCOPED_TRACE(std::string(d.name) + " cut to " + std::to_string(cut));
            tslfuzz::startTrain(10);
            int r = classify(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
            if (r != -1) {
                ASSERT_EQ(r, static_cast<int>(cut));
                ASSERT_EQ(d.effect, Effect::Accepted);
            }
            size_t hlen = bytes.empty() ? 0 : static_cast<size_t>(bytes[0] & 0x0f) * 4;
            if (d.effect == Effect::Described && cut >= hlen + 8) {
                ASSERT_EQ(printed.substr(0, printed.find('\n')), d.first);
            } else if (cut < hlen + 8) {
                ASSERT_EQ(printed, "") << "nothing to describe without a whole ICMP header";
            }
        }
    }
}

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The seed files a corpus folder must hold, by name.
void expectCorpus(const std::string& target, const std::vector<std::pair<std::string, Bytes>>& seeds) {
    fs::path dir = fs::path(TSL_FUZZ_CORPUS) / target;
    std::set<std::string> expected;
    for (const auto& [name, bytes] : seeds) {
        expected.insert(name);
        ASSERT_TRUE(fs::exists(dir / name)) << "missing seed " << target << "/" << name
                                            << "; rebuild the corpus with make_corpus";
        EXPECT_EQ(readFile(dir / name), bytes) << "stale seed " << target << "/" << name;
    }
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_TRUE(expected.count(entry.path().filename().string())) << "seed not in the table: " << entry.path();
}

TEST(SeedCorpus, IsWhatTheTableMakes) {
    std::vector<std::pair<std::string, Bytes>> receive, icmph, train;
    for (const auto& d : tslfuzz::kDatagrams) {
        Bytes bytes = tslfuzz::datagramBytes(d.hex);
        receive.emplace_back(d.name, bytes);
        size_t hlen = bytes.empty() ? 0 : static_cast<size_t>(bytes[0] & 0x0f) * 4;
        if (hlen >= 20 && bytes.size() > hlen) icmph.emplace_back(d.name, Bytes(bytes.begin() + static_cast<long>(hlen), bytes.end()));
    }
    for (const auto& t : tslfuzz::kTrains) {
        for (const char* name : t.datagrams) EXPECT_NE(tslfuzz::findDatagram(name), nullptr) << t.name << ": " << name;
        train.emplace_back(t.name, tslfuzz::trainBytes(t));
    }
    expectCorpus("fuzz_receive", receive);
    expectCorpus("fuzz_icmph", icmph);
    expectCorpus("fuzz_train", train);
}

}  // namespace
