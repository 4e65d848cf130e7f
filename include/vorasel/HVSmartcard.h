// The object smart-card interface: open the reader, connect to the card, exchange APDUs, reset
// or unpower the card, read its ATR, state and protocol, and hear of insertion and removal.
//
// Every operation is a thin layer over the PC/SC functions (winscard.h) and answers an
// HVSmartcardStatus. All HVSmartcard objects of the process share one state: one PC/SC context,
// one reader and one card connection. An object may be created and dropped at will; dropping it
// closes nothing (close() does).
//
// Thread rules:
// - Every operation may be called from any thread. One class-wide lock serialises the card
//   operations of all objects, held across the PC/SC call (getSlotStatus() may hold it for up to
//   a second while the reader's state is still unknown).
// - open, close, connect, disconnect and reconnect called on the main thread work, but first
//   write a warning to the system log whatever the log level: their waits stall the main loop.
// - The card notifications are handled on the reader driver's event thread without the lock.
//   With the user default "HVPlaySounds" true, insertion and removal play "HVSmartcardInserted"
//   and "HVSmartcardRemoved" (".wav" resources) through the host's sound hook, on the library's
//   sound thread: a slow hook never holds up a card operation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vorasel/hv_export.h"

enum HVSmartcardStatus : int32_t {
    HVSmartcardStatusSuccess = 0,
    HVSmartcardStatusInvalidParameter = 1,
    HVSmartcardStatusSharingViolation = 2,
    HVSmartcardStatusNoSmartcard = 3,
    HVSmartcardStatusProtocolMismatch = 4,
    HVSmartcardStatusNotReady = 5,
    HVSmartcardStatusInvalidValue = 6,
    HVSmartcardStatusReaderUnavailable = 7,
    HVSmartcardStatusUnexpected = 8,
    HVSmartcardStatusUnsupportedCard = 9,
    HVSmartcardStatusUnresponsiveCard = 10,
    HVSmartcardStatusUnpoweredCard = 11,
    HVSmartcardStatusResetCard = 12,
    HVSmartcardStatusRemovedCard = 13,
    HVSmartcardStatusNotConnected = 14,
    HVSmartcardStatusInternalSessionLost = 15,
    HVSmartcardStatusProtocolNotIncluded = 16,
    HVSmartcardStatusReaderUnsupported = 17,
};

enum HVSmartcardSlotStatus : int32_t {
    HVSmartcardSlotStatusUnknown = 0,  // the reader state cannot be read
    HVSmartcardSlotStatusPresent = 1,  // a card, not powered or not connected
    HVSmartcardSlotStatusPowered = 2,  // a connected card, powered
    HVSmartcardSlotStatusAbsent = 3,   // no card
};

// A PC/SC result as a status: the codes of the card path map one to one, anything else is
// HVSmartcardStatusUnexpected (logged as an error with the code). SCARD_E_INVALID_HANDLE is not
// mapped here: the operations treat it themselves.
HV_EXPORT HVSmartcardStatus pcsc_to_hvsc(uint32_t code);

class HV_EXPORT HVSmartcard {
public:
    HVSmartcard() = default;

    // Opens the PC/SC context shared by every object (scope system). Opening while open changes
    // nothing and answers success.
    HVSmartcardStatus open();
    // The same with background power management off: the reader stays open while the
    // application is in the background.
    HVSmartcardStatus openWithDisabledBackgroundManagement();
    // `setting` goes to SCardEstablishContext untouched (null, or &g_bgm_disable).
    HVSmartcardStatus openWithPowerManagement(const void *setting);
    // Releases the context and stops listening for card and accessory notifications; always
    // success.
    HVSmartcardStatus close();

    // `protocol`: 1 T=0, 2 T=1, 3 either; anything else is HVSmartcardStatusInvalidValue.
    // Connects exclusively to the first reader.
    HVSmartcardStatus connect(int32_t protocol);
    // `disposition`: 0 leave the card, 1 reset it, 2 unpower it. Without a connection (never
    // made, or the card was removed) it answers success.
    HVSmartcardStatus disconnect(int32_t disposition);
    // `slotAction`: 0 cold reset (unpower), 1 warm reset. Without a connection:
    // HVSmartcardStatusNotConnected.
    HVSmartcardStatus reconnect(int32_t protocol, int32_t slotAction);
    // `*responseLength`: the response buffer's size in, the response's length out (0 on
    // failure). Without a connection: HVSmartcardStatusNotConnected.
    HVSmartcardStatus transmit(const uint8_t *command, uint16_t commandLength, uint8_t *response,
                               uint16_t *responseLength);

    HVSmartcardSlotStatus getSlotStatus();
    HVSmartcardSlotStatus getSlot() { return getSlotStatus(); }
    // 1 T=0, 2 T=1, 0 without a connection.
    int32_t getCurrentProtocol();
    int32_t getProt() { return getCurrentProtocol(); }
    // The card's answer-to-reset, or nothing without a connection.
    std::optional<std::vector<uint8_t>> getATR();

    // "HVSmartcardStatusSuccess" ... ; "HVSmartcardStatusUNKNOWN" for 17 and any other value.
    static const char *stringFromStatus(int32_t status);
    // Plays the named ".wav" resource, if the application has it, on the sound thread.
    void playSound(const std::string &name);

    // What the card and accessory notifications do (they act on the shared state only).
    void smartcardInserted();
    void smartcardRemoved();
    void accessoryConnected();
    void accessoryDisconnected();

    // Writes the main-thread warning for `operation` to the system log when called on the main
    // thread.
    void checkMainThreadExecution(const std::string &operation);
};
