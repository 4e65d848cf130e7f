// The flat plug-in functions over HVSmartcard and HVAccessory. Every non-zero HVSmartcard
// status folds into the one failure code of the function; nothing is logged here.
#include <cstring>
#include <memory>

#include "Plugin/PluginBlocks.h"
#include "Smartcard/HVSmartcardConnection.h"
#include "vorasel/HVAccessory.h"
#include "vorasel/HVSmartcard.h"
#include "vorasel/plugin.h"
#include "vorasel/winscard.h"

namespace {

constexpr char kReaderName[] = "Vorasel";
constexpr size_t kReaderNameBound = 128;

// The connection object of a handle that is live and not stale: a handle issued for an
// earlier connection must not act on the one that replaced it. The caller holds `connections`
// from this check through the use, so that no other thread replaces the connection between.
std::shared_ptr<HVSmartcard> usableHandle(
    const PluginHandle *handle, const std::unique_lock<std::recursive_mutex> &connections) {
    (void)connections;
    uint64_t connection = 0;
    auto smartcard = hv::plugin::lookupHandle(handle, &connection);
    if (!smartcard || connection != hv::smartcard::currentConnection()) return nullptr;
    return smartcard;
}

}  // namespace

extern "C" {

PluginResult Plugin_Initialize(void) {
    HVSmartcard smartcard;
    return smartcard.openWithDisabledBackgroundManagement() == HVSmartcardStatusSuccess
               ? PLUGIN_OK
               : PLUGIN_ERR_INITIALIZE;
}

PluginResult Plugin_Cleanup(void) {
    return PLUGIN_OK;
}

PluginResult Plugin_FreeMemory(void *block) {
    if (!block) return PLUGIN_ERR_INVALID_ARGUMENT;
    std::shared_ptr<HVSmartcard> smartcard;
    uint64_t connection = 0;
    if (!hv::plugin::release(block, &smartcard, &connection)) return PLUGIN_ERR_INVALID_ARGUMENT;
    // The handle was the only way to its connection: released while still current, the
    // connection ends with it, as Plugin_Disconnect would end it, instead of holding the
    // card for good.
    const auto connections = hv::smartcard::holdConnections();
    if (smartcard && connection == hv::smartcard::currentConnection())
        smartcard->disconnect(SCARD_UNPOWER_CARD);
    return PLUGIN_OK;
}

PluginResult Plugin_ListReaders(char **readers, uint32_t *length) {
    if (!readers || !length) return PLUGIN_ERR_INVALID_ARGUMENT;
    if (!HVAccessory::sharedClass().getAccessory()) return PLUGIN_ERR_LIST_READERS;
    // The name and two zero bytes: its own terminator and the list's.
    const size_t size = strnlen(kReaderName, kReaderNameBound) + 2;
    auto *block = static_cast<char *>(hv::plugin::issueData(size));
    if (!block) return PLUGIN_ERR_LIST_READERS;
    std::memcpy(block, kReaderName, size - 2);
    *readers = block;
    *length = static_cast<uint32_t>(size);
    return PLUGIN_OK;
}

PluginResult Plugin_Connect(const char *reader_name, PluginHandle **handle) {
    if (!reader_name || !handle) return PLUGIN_ERR_INVALID_ARGUMENT;
    HVAccessory &accessory = HVAccessory::sharedClass();
    if (!accessory.isConnected() || !accessory.hasSmartCardReader()) return PLUGIN_ERR_CONNECT;
    auto smartcard = std::make_shared<HVSmartcard>();
    if (smartcard->connect(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1) != HVSmartcardStatusSuccess)
        return PLUGIN_ERR_CONNECT;
    PluginHandle *issued =
        hv::plugin::issueHandle(smartcard, hv::smartcard::lastConnectionOnThisThread());
    if (!issued) {
        // Nobody could ever end a connection without a handle.
        smartcard->disconnect(SCARD_UNPOWER_CARD);
        return PLUGIN_ERR_CONNECT;
    }
    *handle = issued;
    return PLUGIN_OK;
}

PluginResult Plugin_Disconnect(PluginHandle *handle) {
    if (!handle) return PLUGIN_ERR_INVALID_ARGUMENT;
    const auto connections = hv::smartcard::holdConnections();
    const auto smartcard = usableHandle(handle, connections);
    if (!smartcard) return PLUGIN_ERR_INVALID_HANDLE;
    return smartcard->disconnect(SCARD_UNPOWER_CARD) == HVSmartcardStatusSuccess
               ? PLUGIN_OK
               : PLUGIN_ERR_DISCONNECT;
}

PluginResult Plugin_GetATR(PluginHandle *handle, uint8_t **atr, uint32_t *length) {
    if (!handle || !atr || !length) return PLUGIN_ERR_INVALID_ARGUMENT;
    const auto connections = hv::smartcard::holdConnections();
    const auto smartcard = usableHandle(handle, connections);
    if (!smartcard) return PLUGIN_ERR_INVALID_HANDLE;
    const auto bytes = smartcard->getATR();
    if (!bytes || bytes->empty()) return PLUGIN_ERR_ATR;
    auto *block = static_cast<uint8_t *>(hv::plugin::issueData(bytes->size()));
    if (!block) return PLUGIN_ERR_ATR;
    std::memcpy(block, bytes->data(), bytes->size());
    *atr = block;
    *length = static_cast<uint32_t>(bytes->size());
    return PLUGIN_OK;
}

PluginResult Plugin_ExecuteCommand(PluginHandle *handle, const uint8_t *command,
                                   uint32_t command_length, uint8_t *response,
                                   uint32_t *response_length, int32_t mode) {
    if (!handle || !command || !response || !response_length || (mode != 1 && mode != 2))
        return PLUGIN_ERR_INVALID_ARGUMENT;
    // A longer command cannot be carried whole; cutting it would send another command.
    if (command_length > 0xFFFF) return PLUGIN_ERR_INVALID_ARGUMENT;
    const auto connections = hv::smartcard::holdConnections();
    const auto smartcard = usableHandle(handle, connections);
    if (!smartcard) return PLUGIN_ERR_INVALID_HANDLE;

    uint8_t area[PLUGIN_RESPONSE_CAPACITY];
    uint16_t received = sizeof area;
    if (smartcard->transmit(command, static_cast<uint16_t>(command_length), area, &received) !=
        HVSmartcardStatusSuccess)
        return PLUGIN_ERR_EXECUTE;
    std::memcpy(response, area, received);
    *response_length = received;
    return PLUGIN_OK;
}

}  // extern "C"
