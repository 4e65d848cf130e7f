// The blocks the plug-in interface hands to its host (reader lists, ATRs, handles), kept in a
// table so that whatever address the host passes back is looked up, never trusted.
//
// A released block is not returned to the heap at once: the last kQuarantine released blocks
// are held back, so their addresses cannot come back as new blocks and a late second release,
// or a released handle used again, is recognised and refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "vorasel/HVSmartcard.h"
#include "vorasel/plugin.h"

namespace hv::plugin {

inline constexpr size_t kQuarantine = 64;

// A zeroed block of `size` bytes from the C heap, registered; null when out of memory.
void *issueData(size_t size);
// A handle holding `card`, issued for card connection number `connection`, registered; null
// when out of memory.
PluginHandle *issueHandle(std::shared_ptr<HVSmartcard> card, uint64_t connection = 0);
// The connection object of a live handle, or null for any other address; `connection` (if
// given) receives the connection number it was issued for. Reads nothing through `handle`.
std::shared_ptr<HVSmartcard> lookupHandle(const PluginHandle *handle,
                                          uint64_t *connection = nullptr);
// Unregisters and releases a block; false, with nothing done, for an address that is not a
// live block. For a handle, `card` and `connection` (if given) receive what it held: the
// table's reference to the connection object goes to the caller.
bool release(void *block, std::shared_ptr<HVSmartcard> *card = nullptr,
             uint64_t *connection = nullptr);

}  // namespace hv::plugin
