/* SPDX-License-Identifier: MIT */
/* ovintra_selftest - runs the interval-set library's self-test. */
#include "ovintra.h"

int main(void)
{
    return testOvintra();
}
