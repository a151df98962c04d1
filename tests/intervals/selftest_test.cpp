// SPDX-License-Identifier: MIT
// The real self-test program: its whole report, and a clean run under valgrind.
#include <gtest/gtest.h>

#include <cctype>
#include <iterator>
#include <map>

#include "helpers.h"
#include "run.h"

namespace {
// "$NAME" stands for a decimal identifier; a name met again must stand for the
// same number, "$*" for any number.
const char* const kReport[] = {
    "setA has 5 element.",
    "set [$A] has 5 elements",
    "logme\t(       0.9,       1.1 [1 <0>]) setID: $A  1 sets :SetIDList: [{$*}$A : BASE]  1 base, 0 derived",
    "(       1.8,       2.2 [1 <0>]) setID: $A  1 sets :SetIDList: [{$*}$A : BASE]  1 base, 0 derived",
    "(       2.7,       3.3 [1 <0>]) setID: $A  1 sets :SetIDList: [{$*}$A : BASE]  1 base, 0 derived",
    "(       3.6,       4.4 [1 <0>]) setID: $A  1 sets :SetIDList: [{$*}$A : BASE]  1 base, 0 derived",
    "(       4.5,       5.5 [1 <0>]) setID: $A  1 sets :SetIDList: [{$*}$A : BASE]  1 base, 0 derived",
    "",
    "tester: peak is 10 found in 3 sets",
    "set [$P] has 1 elements",
    ("logme\t(      1.17,      7.37 [10 <10>]) setID: $U  3 sets :SetIDList: [{$*}$X : BASE] "
     "[{$*}$Y : BASE] [{$*}$Z : BASE] [{$*}0 : UNK]  3 base, 0 derived"),
    "",
};

bool matchLine(const std::string& tpl, const std::string& line, std::map<std::string, uint64_t>& ids) {
    size_t t = 0, l = 0;
    while (t < tpl.size()) {
        if (tpl[t] != '$') {
            if (l >= line.size() || line[l] != tpl[t]) return false;
            ++t, ++l;
            continue;
        }
        size_t end = t + 1, digits = l;
        while (end < tpl.size() && (std::isalpha(static_cast<unsigned char>(tpl[end])) || tpl[end] == '*')) ++end;
        while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits]))) ++digits;
        if (digits == l || digits - l > 20) return false;
        const std::string name = tpl.substr(t + 1, end - t - 1);
        const uint64_t value = std::stoull(line.substr(l, digits - l));
        auto [it, fresh] = ids.emplace(name, value);
        if (name != "*" && !fresh && it->second != value) return false;
        t = end, l = digits;
    }
    return l == line.size();
}

void checkReport(const std::string& out) {
    std::vector<std::string> lines = tsltest::splitLines(out);
    ASSERT_EQ(lines.size(), std::size(kReport)) << out;
    EXPECT_EQ(out.back(), '\n');
    std::map<std::string, uint64_t> ids;
    for (size_t i = 0; i < lines.size(); i++)
        EXPECT_TRUE(matchLine(kReport[i], lines[i], ids)) << "line " << i + 1 << ": " << lines[i];
    // The peak holds the three base sets in descending order, setA among them.
    EXPECT_GT(ids["X"], ids["Y"]);
    EXPECT_GT(ids["Y"], ids["Z"]);
    EXPECT_GT(ids["Z"], 0u);
    EXPECT_TRUE(ids["A"] == ids["X"] || ids["A"] == ids["Y"] || ids["A"] == ids["Z"]);
    EXPECT_NE(ids["P"], ids["U"]);
    EXPECT_NE(ids["P"], ids["A"]);
}
}  // namespace

TEST(OvintraSelfTest, PrintsTheWholeReport) {
    tsltest::RunResult r = tsltest::runProgram({OVINTRA_SELFTEST}, 30);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    checkReport(r.out);
}

TEST(OvintraSelfTest, CleanUnderValgrind) {
    if (tsltest::runProgram({"valgrind", "--version"}, 30).status != 0)
        TSL_CANNOT_RUN("valgrind is not installed");
    tsltest::RunResult r = tsltest::runProgram(
        {"valgrind", "-q", "--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=all",
         "--errors-for-leak-kinds=all", OVINTRA_SELFTEST_PLAIN},
        120);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");  // quiet mode: valgrind prints only what it finds
    checkReport(r.out);
}
