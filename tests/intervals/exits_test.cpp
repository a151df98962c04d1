// SPDX-License-Identifier: MIT
// Every path that ends the process: its exact message and exit status 0.
// The package prints to standard output, while a death test reads the
// child's standard error, so the child sends one to the other first.
#include <gtest/gtest.h>

#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define OVINTRA_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OVINTRA_TEST_ASAN 1
#endif
#endif
#ifdef OVINTRA_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

#include "helpers.h"

namespace {
// A regex matching text exactly, '#' standing for any decimal number.
std::string exactly(const std::string& text) {
    std::string re = "^";
    for (char ch : text) {
        if (ch == '#')
            re += "[0-9]+";
        else if (std::strchr("\\^$.|?*+()[]{}", ch))
            re += std::string("\\") + ch;
        else
            re += ch;
    }
    return re + "$";
}

void stdoutToStderr() {
    exitExpected = true;
#ifdef OVINTRA_TEST_ASAN
    // The process ends in the middle of an operation on purpose; what it
    // still holds then is not a leak.
    __lsan_disable();
#endif
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
}

const std::string kNewElementLine =
    "(         0,         0 [0 <0>]) setID: 0  0 sets :SetIDList: [{#}0 : UNK]  0 base, 0 derived\n";
}  // namespace

TEST(OvintraDeathTest, UnsortedValuesEndCreateSet) {
    const float values[] = {1, 3, 2};
    EXPECT_EXIT({ stdoutToStderr(); createSet(values, 3, 0.1f); }, testing::ExitedWithCode(0),
                exactly("SORTED LIST ASSUMPTION VIOLATION2.000000 is less that 3.000000\n"));
}

TEST(OvintraDeathTest, UnionMeetingAnIntersectionResultEnds) {
    auto scenario = [] {
        stdoutToStderr();
        SetPtr a = makeFrom({1, 2, 3, 4, 5}, 0.1f), b = makeFrom({0.5f, 2.5f, 3.0f, 4.1f}, 0.5f);
        SetPtr both(intersectSets(a.get(), b.get()));
        SetPtr u(unionSets(a.get(), both.get()));
    };
    EXPECT_EXIT(scenario(), testing::ExitedWithCode(0),
                exactly("saveElementCount: restoring 0?\n(       1.8,       2.2 [0 <0>]) setID: #"
                        "  0 sets :SetIDList: [{#}0 : UNK]  0 base, 0 derived\n"));
}

TEST(OvintraDeathTest, FailedCheckEndsAfterTheElementLine) {
    auto check = [](int count, int bases) {
        stdoutToStderr();
        Element* e = makeElement();
        for (int i = 1; i <= bases; i++) addSetIDToList(e, static_cast<uintptr_t>(i), BASE);
        e->count = count;
        dumpElement(e, 1);
    };
    EXPECT_EXIT(check(2, 3), testing::ExitedWithCode(0),
                exactly("(         0,         0 [2 <0>]) setID: 0  3 sets :SetIDList: [{#}3 : BASE] "
                        "[{#}2 : BASE] [{#}1 : BASE] [{#}0 : UNK]  3 base, 0 derived\n"));
    EXPECT_EXIT(check(0, 0), testing::ExitedWithCode(0), exactly(kNewElementLine));
}

TEST(OvintraDeathTest, RestoringANewElementEnds) {
    EXPECT_EXIT({ stdoutToStderr(); restoreElementCount(makeElement()); }, testing::ExitedWithCode(0),
                exactly("saveElementCount: restoring 0?\n" + kNewElementLine));

    // With nothing parked but a consistent element, the report is all.
    Element* e = makeElement();
    e->count = 3;
    std::string out = captureStdout([&] { restoreElementCount(e); });
    EXPECT_EQ(out.rfind("saveElementCount: restoring 0?\n(         0,         0 [3 <0>]) setID: 0 ", 0), 0u)
        << out;
    EXPECT_EQ(e->count, 3);
    destroyElement(e);
}
