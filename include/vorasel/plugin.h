/* The flat plug-in interface: eight functions through which a host that loads card readers as
 * plug-ins drives the Vorasel case's reader.
 *
 * Use: Plugin_Initialize once; Plugin_ListReaders; Plugin_Connect; any number of Plugin_GetATR
 * and Plugin_ExecuteCommand; Plugin_Disconnect; Plugin_FreeMemory for every block received
 * (reader list, ATR, handle). The reader stays open while the host is in the background.
 *
 * Handles: a PluginHandle is an opaque block. Every function that takes one looks it up among
 * the handles this interface issued and never reads through the pointer itself: any other
 * address, a handle already released, or a stale one (issued for a card connection that a later
 * connect has replaced) gives PLUGIN_ERR_INVALID_HANDLE.
 * Releasing a handle with Plugin_FreeMemory also releases the connection object it holds, and
 * ends its card connection (unpowering the card) if Plugin_Disconnect has not.
 *
 * Thread rules: every function may be called from any thread; the card operations behind them
 * are serialised by the library. Calls on the library's main thread work but write a warning
 * to the system log. */
#ifndef VORASEL_PLUGIN_H
#define VORASEL_PLUGIN_H

#include <stdint.h>

#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t PluginResult;

#define PLUGIN_OK 0
#define PLUGIN_ERR_INVALID_ARGUMENT 2 /* a required pointer is null, or a bad command mode */
#define PLUGIN_ERR_INITIALIZE 3       /* the reader interface could not be opened */
#define PLUGIN_ERR_LIST_READERS 0x34  /* no accessory attached, or no memory */
#define PLUGIN_ERR_CONNECT 0x35       /* no accessory, no card reader in it, or no connection */
#define PLUGIN_ERR_DISCONNECT 0x36
#define PLUGIN_ERR_EXECUTE 0x40 /* the command exchange failed */
#define PLUGIN_ERR_ATR 0x41     /* no ATR, or no memory */
#define PLUGIN_ERR_INVALID_HANDLE 0xFC

/* The room Plugin_ExecuteCommand may fill in the host's response buffer. */
#define PLUGIN_RESPONSE_CAPACITY 2048

typedef struct PluginHandle PluginHandle;

/* Opens the reader interface (background power management off).
 * @return PLUGIN_OK, also when it is open already; PLUGIN_ERR_INITIALIZE otherwise. */
HV_EXPORT PluginResult Plugin_Initialize(void);

/* Does nothing: the reader stays open. @return PLUGIN_OK. */
HV_EXPORT PluginResult Plugin_Cleanup(void);

/* Releases a block this interface handed out: a reader list, an ATR or a handle (with its
 * connection object; a connection the handle still holds ends as with Plugin_Disconnect).
 * Each block once.
 * @return PLUGIN_OK;
 *         PLUGIN_ERR_INVALID_ARGUMENT `block` is null, already released, or not a block of this
 *         interface (nothing is freed). */
HV_EXPORT PluginResult Plugin_FreeMemory(void *block);

/* Lists the reader: the block "Vorasel" followed by two zero bytes (9 bytes).
 * @param readers receives the block, to release with Plugin_FreeMemory.
 * @param length receives 9.
 * @return PLUGIN_OK;
 *         PLUGIN_ERR_INVALID_ARGUMENT a null argument;
 *         PLUGIN_ERR_LIST_READERS no accessory attached, or no memory (outputs untouched). */
HV_EXPORT PluginResult Plugin_ListReaders(char **readers, uint32_t *length);

/* Connects to the card with T=0 or T=1.
 * @param reader_name any name (only tested for null).
 * @param handle receives the handle, to release with Plugin_FreeMemory.
 * @return PLUGIN_OK;
 *         PLUGIN_ERR_INVALID_ARGUMENT a null argument;
 *         PLUGIN_ERR_CONNECT no accessory attached, an accessory without a card reader, no card,
 *         or the connection failed. */
HV_EXPORT PluginResult Plugin_Connect(const char *reader_name, PluginHandle **handle);

/* Unpowers the card and ends the connection; the handle stays allocated.
 * @return PLUGIN_OK; PLUGIN_ERR_INVALID_ARGUMENT null; PLUGIN_ERR_INVALID_HANDLE not a live
 *         handle; PLUGIN_ERR_DISCONNECT the disconnection failed. */
HV_EXPORT PluginResult Plugin_Disconnect(PluginHandle *handle);

/* The card's answer-to-reset.
 * @param atr receives a block of the ATR's bytes, to release with Plugin_FreeMemory.
 * @param length receives the number of bytes.
 * @return PLUGIN_OK; PLUGIN_ERR_INVALID_ARGUMENT a null argument; PLUGIN_ERR_INVALID_HANDLE not
 *         a live handle; PLUGIN_ERR_ATR no connection or no memory (outputs untouched). */
HV_EXPORT PluginResult Plugin_GetATR(PluginHandle *handle, uint8_t **atr, uint32_t *length);

/* Sends one command APDU and receives the response APDU.
 * @param command_length at most 65,535 bytes.
 * @param response at least PLUGIN_RESPONSE_CAPACITY (2048) bytes.
 * @param response_length receives the response's length.
 * @param mode 1 or 2; it has no other effect.
 * @return PLUGIN_OK; PLUGIN_ERR_INVALID_ARGUMENT a null pointer, another mode or a longer
 *         command (checked before the handle); PLUGIN_ERR_INVALID_HANDLE not a live handle;
 *         PLUGIN_ERR_EXECUTE the exchange failed (response and length untouched). */
HV_EXPORT PluginResult Plugin_ExecuteCommand(PluginHandle *handle, const uint8_t *command,
                                             uint32_t command_length, uint8_t *response,
                                             uint32_t *response_length, int32_t mode);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_PLUGIN_H */
