// SPDX-License-Identifier: MIT
// avl_measure on the real path when the kernel gives no random bytes: this
// test program provides getrandom itself, failing on demand, in place of the
// C library's.
#include <gtest/gtest.h>
#include <sys/types.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "availest.h"
#include "run.h"

namespace {
bool randomFails = false;
}  // namespace

extern "C" ssize_t getrandom(void* buf, size_t n, unsigned) {
    if (randomFails) {
        errno = ENOSYS;
        return -1;
    }
    auto* p = static_cast<unsigned char*>(buf);
    for (size_t i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(rand());
    return static_cast<ssize_t>(n);
}

namespace {

TEST(RealPath, NoRandomBytesIsSaidAsSuchNotAsMemory) {
    TSL_REQUIRE_ROOT("for the raw socket, whose identifier is drawn at random");
    randomFails = true;
    avl_result r{};
    const int status = avl_measure("127.0.0.1", nullptr, &r, nullptr, nullptr);
    randomFails = false;
    EXPECT_EQ(status, AVL_NO_ESTIMATE);
    EXPECT_EQ(r.failure, AVL_FAIL_SEND);
    EXPECT_EQ(std::string(r.reason), std::string("no random bytes for the echo identifier: ") + std::strerror(ENOSYS));
    avl_free_result(&r);
}

}  // namespace
