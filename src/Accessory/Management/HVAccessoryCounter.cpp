#include "vorasel/HVManager.h"

HVAccessoryCounter::HVAccessoryCounter(const char *name, uint32_t value)
    : name_(name ? name : ""), value_(value) {}
