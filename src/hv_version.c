#include "vorasel/hv_version.h"

const char *const hv_library_version = "HVVERSION_AD_HOC_XCODE_BUILD";
const char libVoraselVersionString[] = "@(#)PROGRAM:libVorasel  PROJECT:libVorasel-1\n";
const double libVoraselVersionNumber = 1.0;
