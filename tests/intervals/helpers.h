/* SPDX-License-Identifier: MIT */
// Helpers shared by the interval-set tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "ovintra.h"

// The package ends the process with status 0 on its fatal paths, so a fault
// that reaches one inside a test would look like a clean run.  An exit while a
// test is running fails the run instead, except in death-test children that
// expect it.
inline bool exitExpected = false;
inline void failOnSurpriseExit() {
    if (!exitExpected && testing::UnitTest::GetInstance()->current_test_info() != nullptr) {
        std::fprintf(stderr, "the process ended inside a test\n");
        _exit(1);
    }
}
// Made before the handler is registered, the test registry outlives it.
inline const bool exitGuard = (testing::UnitTest::GetInstance(), std::atexit(failOnSurpriseExit), true);

struct SetDeleter {
    void operator()(Set* s) const { destroySet(s); }
};
using SetPtr = std::unique_ptr<Set, SetDeleter>;

inline SetPtr makeFrom(std::vector<float> values, float fuzz, bool coalesce = true) {
    SetPtr s(createSet(values.data(), static_cast<int>(values.size()), fuzz));
    if (coalesce) coalesceSet(s.get());
    return s;
}

inline std::vector<Element*> elementsOf(const Set* s) {
    std::vector<Element*> v;
    for (Element* e = s ? s->head : nullptr; e; e = e->next) v.push_back(e);
    return v;
}

// "low-high/count" for every element, bounds to 4 significant digits.
inline std::string bounds(const Set* s) {
    std::string text;
    for (const Element* e : elementsOf(s)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%s%.4g-%.4g/%d", text.empty() ? "" : " ", e->low, e->high,
                      e->count);
        text += buf;
    }
    return text;
}

inline std::vector<uintptr_t> idsOf(const Element* e) {
    std::vector<uintptr_t> v;
    for (const SetIDList* n = e->setIDs; n; n = n->next) v.push_back(n->set);
    return v;
}

inline uintptr_t idOf(const void* p) { return reinterpret_cast<uintptr_t>(p); }

// Runs fn with standard output sent to a temporary file; returns what it printed.
template <class F>
std::string captureStdout(F fn) {
    std::fflush(stdout);
    FILE* tmp = std::tmpfile();
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string text;
    std::rewind(tmp);
    for (int c; (c = std::fgetc(tmp)) != EOF;) text += static_cast<char>(c);
    std::fclose(tmp);
    return text;
}
