// Blocks handed to callers for SCARD_AUTOALLOCATE. The heap cannot tell here whether a pointer
// starts a live block, so the interface keeps the record itself: SCardFreeMemory frees only
// what is in it, once.
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_set>

#include "Smartcard/winscard/ReaderRecord.h"

namespace hv::pcsc {

namespace {

struct Blocks {
    std::mutex mutex;
    std::unordered_set<const void *> live;
};

Blocks &blocks() {
    // Never destroyed: callers may free blocks while the process exits.
    static Blocks *b = new Blocks;
    return *b;
}

}  // namespace

void *allocateOutputBlock(size_t size) {
    void *block = std::malloc(size ? size : 1);
    if (!block) return nullptr;
    Blocks &b = blocks();
    try {
        std::lock_guard lock(b.mutex);
        b.live.insert(block);
    } catch (const std::bad_alloc &) {
        std::free(block);
        return nullptr;
    }
    return block;
}

bool freeOutputBlock(const void *block) {
    if (!block) return false;
    Blocks &b = blocks();
    {
        std::lock_guard lock(b.mutex);
        if (b.live.erase(block) == 0) return false;
    }
    std::free(const_cast<void *>(block));
    return true;
}

}  // namespace hv::pcsc
