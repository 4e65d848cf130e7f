/* The one mark for what leaves the library. The library builds with hidden visibility, so a
 * declaration without HV_EXPORT stays inside libvorasel.so; everything a program may call or
 * read (the C functions and data and the public classes) carries it. */
#ifndef VORASEL_HV_EXPORT_H
#define VORASEL_HV_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define HV_EXPORT __attribute__((visibility("default")))
#else
#define HV_EXPORT
#endif

#endif /* VORASEL_HV_EXPORT_H */
