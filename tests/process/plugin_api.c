/* The plug-in interface as a C host that loads card readers as plug-ins uses it, against the
 * shared library and the accessory daemon named by VORASEL_ACCESSORYD_SOCKET (started by the
 * test with a T=1 card in the reader): initialise, list, connect, ATR, SELECT and ECHO,
 * disconnect and free; then foreign, released and null arguments. Exits 0 when every check
 * holds. */
#define _POSIX_C_SOURCE 200809L
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "vorasel/plugin.h"

#include "c_checks.h"

static const struct timespec step = {0, 2000000};

/* The daemon's case attaches shortly after start-up: retry listing for up to 5 s. */
static PluginResult list_readers(char **readers, uint32_t *length) {
    PluginResult rc = PLUGIN_ERR_LIST_READERS;
    int round;
    for (round = 0; round < 2500 && rc == PLUGIN_ERR_LIST_READERS; ++round) {
        rc = Plugin_ListReaders(readers, length);
        if (rc == PLUGIN_ERR_LIST_READERS) nanosleep(&step, NULL);
    }
    return rc;
}

/* The card is seen by the reader shortly after it opens: retry connecting for up to 5 s. */
static PluginResult connect_card(PluginHandle **handle) {
    PluginResult rc = PLUGIN_ERR_CONNECT;
    int round;
    for (round = 0; round < 2500 && rc == PLUGIN_ERR_CONNECT; ++round) {
        rc = Plugin_Connect("Vorasel", handle);
        if (rc == PLUGIN_ERR_CONNECT) nanosleep(&step, NULL);
    }
    return rc;
}

static PluginResult execute(PluginHandle *handle, const uint8_t *apdu, uint32_t size,
                            uint8_t *response, uint32_t *length) {
    return Plugin_ExecuteCommand(handle, apdu, size, response, length, 1);
}

int main(void) {
    static const uint8_t select_mf[] = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00};
    static const uint8_t echo[] = {0x00, 0xEE, 0x00, 0x00, 0x04, 0xCA, 0xFE, 0xBA, 0xBE, 0x00};
    static const uint8_t echoed[] = {0xCA, 0xFE, 0xBA, 0xBE, 0x90, 0x00};
    uint8_t response[PLUGIN_RESPONSE_CAPACITY];
    uint32_t length = 0, atr_length = 0, readers_length = 0;
    char *readers = NULL;
    uint8_t *atr = NULL;
    PluginHandle *handle = NULL, *second = NULL;
    int local = 0;
    PluginHandle *foreign = (PluginHandle *)(void *)&local;

    CHECK_CODE(Plugin_Initialize(), PLUGIN_OK);
    CHECK_CODE(list_readers(&readers, &readers_length), PLUGIN_OK);
    CHECK(readers != NULL && readers_length == 9);
    if (readers) CHECK(memcmp(readers, "Vorasel\0\0", 9) == 0);

    CHECK_CODE(connect_card(&handle), PLUGIN_OK);
    CHECK(handle != NULL);
    CHECK_CODE(Plugin_GetATR(handle, &atr, &atr_length), PLUGIN_OK);
    CHECK(atr != NULL && atr_length >= 2 && atr_length <= 33);
    if (atr) CHECK(atr[0] == 0x3B);

    length = 0;
    CHECK_CODE(execute(handle, select_mf, sizeof select_mf, response, &length), PLUGIN_OK);
    CHECK(length == 2 && response[0] == 0x90 && response[1] == 0x00);
    length = 0;
    CHECK_CODE(Plugin_ExecuteCommand(handle, echo, sizeof echo, response, &length, 2), PLUGIN_OK);
    CHECK(length == sizeof echoed && memcmp(response, echoed, sizeof echoed) == 0);

    /* One connection at a time. */
    CHECK_CODE(Plugin_Connect("Vorasel", &second), PLUGIN_ERR_CONNECT);

    /* Foreign addresses and a list block passed as handles: looked up, never read. */
    CHECK_CODE(Plugin_Disconnect(foreign), PLUGIN_ERR_INVALID_HANDLE);
    CHECK_CODE(Plugin_GetATR((PluginHandle *)(void *)readers, &atr, &atr_length),
               PLUGIN_ERR_INVALID_HANDLE);
    CHECK_CODE(execute((PluginHandle *)(uintptr_t)0x10, echo, sizeof echo, response, &length),
               PLUGIN_ERR_INVALID_HANDLE);

    /* Null arguments and bad modes. */
    CHECK_CODE(Plugin_ListReaders(NULL, &readers_length), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(Plugin_Connect(NULL, &second), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(Plugin_Disconnect(NULL), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(Plugin_GetATR(handle, NULL, &atr_length), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(execute(handle, NULL, 4, response, &length), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(execute(handle, echo, sizeof echo, response, NULL), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(Plugin_ExecuteCommand(handle, echo, sizeof echo, response, &length, 0),
               PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(Plugin_FreeMemory(NULL), PLUGIN_ERR_INVALID_ARGUMENT);

    CHECK_CODE(Plugin_Disconnect(handle), PLUGIN_OK);
    CHECK_CODE(execute(handle, echo, sizeof echo, response, &length), PLUGIN_ERR_EXECUTE);
    CHECK_CODE(Plugin_FreeMemory(atr), PLUGIN_OK);
    CHECK_CODE(Plugin_FreeMemory(readers), PLUGIN_OK);
    CHECK_CODE(Plugin_FreeMemory(handle), PLUGIN_OK);

    /* Released blocks: refused, never freed twice. */
    CHECK_CODE(Plugin_FreeMemory(handle), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(Plugin_FreeMemory(atr), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(Plugin_FreeMemory(&local), PLUGIN_ERR_INVALID_ARGUMENT);
    CHECK_CODE(Plugin_Disconnect(handle), PLUGIN_ERR_INVALID_HANDLE);
    CHECK_CODE(Plugin_GetATR(handle, &atr, &atr_length), PLUGIN_ERR_INVALID_HANDLE);
    CHECK_CODE(execute(handle, echo, sizeof echo, response, &length), PLUGIN_ERR_INVALID_HANDLE);

    /* The reader stays open: a new connection works. */
    CHECK_CODE(Plugin_Cleanup(), PLUGIN_OK);
    CHECK_CODE(Plugin_Initialize(), PLUGIN_OK);
    CHECK_CODE(connect_card(&handle), PLUGIN_OK);
    length = 0;
    CHECK_CODE(execute(handle, echo, sizeof echo, response, &length), PLUGIN_OK);
    CHECK(length == sizeof echoed && memcmp(response, echoed, sizeof echoed) == 0);
    CHECK_CODE(Plugin_Disconnect(handle), PLUGIN_OK);

    /* A handle of a connection that a later one replaced is stale. */
    CHECK_CODE(connect_card(&second), PLUGIN_OK);
    CHECK_CODE(execute(handle, echo, sizeof echo, response, &length), PLUGIN_ERR_INVALID_HANDLE);
    CHECK_CODE(Plugin_Disconnect(handle), PLUGIN_ERR_INVALID_HANDLE);
    CHECK_CODE(execute(second, echo, sizeof echo, response, &length), PLUGIN_OK);
    CHECK_CODE(Plugin_Disconnect(second), PLUGIN_OK);
    CHECK_CODE(Plugin_FreeMemory(second), PLUGIN_OK);
    CHECK_CODE(Plugin_FreeMemory(handle), PLUGIN_OK);

    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
