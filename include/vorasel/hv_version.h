/* The library's version, as plain exported data that tools can read without running any code.
 * HVLibrary reports the same text as its version. */
#ifndef VORASEL_HV_VERSION_H
#define VORASEL_HV_VERSION_H

#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* "HVVERSION_AD_HOC_XCODE_BUILD". */
HV_EXPORT extern const char *const hv_library_version;
/* "@(#)PROGRAM:libVorasel  PROJECT:libVorasel-1" and a line feed. */
HV_EXPORT extern const char libVoraselVersionString[];
/* 1.0 */
HV_EXPORT extern const double libVoraselVersionNumber;

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_HV_VERSION_H */
