#include "Plugin/PluginBlocks.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <unordered_map>

// What the host holds: a block with a serial number, for people reading a core dump. The
// library never reads it; the table says what a handle is.
struct PluginHandle {
    uint64_t serial;
};

namespace hv::plugin {
namespace {

struct Entry {
    std::shared_ptr<HVSmartcard> card;  // null for a data block
    uint64_t connection = 0;
};

struct Table {
    std::mutex mutex;
    std::unordered_map<uintptr_t, Entry> live;
    std::deque<void *> quarantine;
    uint64_t serial = 0;
};

Table &table() {
    // Never destroyed: a host may release blocks while the process exits.
    static auto *t = new Table;
    return *t;
}

uintptr_t key(const void *block) {
    return reinterpret_cast<uintptr_t>(block);
}

}  // namespace

void *issueData(size_t size) {
    void *block = std::calloc(1, size ? size : 1);
    if (!block) return nullptr;
    Table &t = table();
    std::lock_guard lock(t.mutex);
    t.live.emplace(key(block), Entry{});
    return block;
}

PluginHandle *issueHandle(std::shared_ptr<HVSmartcard> card, uint64_t connection) {
    auto *handle = static_cast<PluginHandle *>(std::calloc(1, sizeof(PluginHandle)));
    if (!handle) return nullptr;
    Table &t = table();
    std::lock_guard lock(t.mutex);
    handle->serial = ++t.serial;
    t.live.emplace(key(handle), Entry{std::move(card), connection});
    return handle;
}

std::shared_ptr<HVSmartcard> lookupHandle(const PluginHandle *handle, uint64_t *connection) {
    Table &t = table();
    std::lock_guard lock(t.mutex);
    auto it = t.live.find(key(handle));
    if (it == t.live.end()) return nullptr;
    if (connection) *connection = it->second.connection;
    return it->second.card;
}

bool release(void *block, std::shared_ptr<HVSmartcard> *cardOut, uint64_t *connection) {
    std::shared_ptr<HVSmartcard> card;  // dropped (or handed out) after the table lock
    void *freed = nullptr;
    {
        Table &t = table();
        std::lock_guard lock(t.mutex);
        auto it = t.live.find(key(block));
        if (it == t.live.end()) return false;
        card = std::move(it->second.card);
        if (connection) *connection = it->second.connection;
        t.live.erase(it);
        t.quarantine.push_back(block);
        if (t.quarantine.size() > kQuarantine) {
            freed = t.quarantine.front();
            t.quarantine.pop_front();
        }
    }
    std::free(freed);
    if (cardOut) *cardOut = std::move(card);
    return true;
}

}  // namespace hv::plugin
