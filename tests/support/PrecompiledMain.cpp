// Carries the suites' precompiled header; links like a suite, runs no test.
#include <gtest/gtest.h>
