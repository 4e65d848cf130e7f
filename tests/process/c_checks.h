/* The checks of the C test programs: a failed check prints where it failed and is counted, and
 * the program ends non-zero when any did. Include once, in the program's only source file. */
#ifndef VORASEL_TEST_C_CHECKS_H
#define VORASEL_TEST_C_CHECKS_H

#include <stdio.h>

static int failures;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

/* A call whose result code must be `want`; codes are printed in hex (PC/SC codes read best
 * that way, the small plug-in codes as well). */
#define CHECK_CODE(call, want)                                                                 \
    do {                                                                                       \
        const long long code_ = (long long)(call);                                             \
        if (code_ != (long long)(want)) {                                                      \
            fprintf(stderr, "%s:%d: %s gave 0x%08X, want 0x%08X\n", __FILE__, __LINE__, #call, \
                    (unsigned)code_, (unsigned)(want));                                        \
            ++failures;                                                                        \
        }                                                                                      \
    } while (0)

#endif
