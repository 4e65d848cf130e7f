/* A host that loads a card reader as a plug-in: it opens libvorasel.so with dlopen, finds the
 * Plugin_* functions with dlsym, and sends one APDU to the card in the Vorasel case.
 *
 *   plugin-host [LIBRARY] [APDU-HEX]
 *
 * LIBRARY defaults to "libvorasel.so" (found the usual way), APDU-HEX to a SELECT of the master
 * file (00A4000C023F00). Against the case a vorasel-accessoryd serves, set
 * VORASEL_ACCESSORYD_SOCKET to its socket. Prints the reader, the ATR and the response; exits 0
 * when the card answered. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "vorasel/plugin.h"

/* The functions, as a host that does not link the library declares them. */
typedef PluginResult (*initialize_fn)(void);
typedef PluginResult (*free_memory_fn)(void *);
typedef PluginResult (*list_readers_fn)(char **, uint32_t *);
typedef PluginResult (*connect_fn)(const char *, PluginHandle **);
typedef PluginResult (*disconnect_fn)(PluginHandle *);
typedef PluginResult (*get_atr_fn)(PluginHandle *, uint8_t **, uint32_t *);
typedef PluginResult (*execute_fn)(PluginHandle *, const uint8_t *, uint32_t, uint8_t *, uint32_t *,
                                   int32_t);

struct plugin {
    initialize_fn initialize;
    initialize_fn cleanup;
    free_memory_fn free_memory;
    list_readers_fn list_readers;
    connect_fn connect;
    disconnect_fn disconnect;
    get_atr_fn get_atr;
    execute_fn execute;
};

/* dlsym answers a void *; a function pointer is copied out of it, as POSIX allows. */
static int find(void *library, const char *name, void *out, size_t size) {
    void *symbol = dlsym(library, name);
    if (!symbol) {
        fprintf(stderr, "plugin-host: %s not found: %s\n", name, dlerror());
        return 0;
    }
    memcpy(out, &symbol, size);
    return 1;
}

static int load(void *library, struct plugin *p) {
    return find(library, "Plugin_Initialize", &p->initialize, sizeof p->initialize) &&
           find(library, "Plugin_Cleanup", &p->cleanup, sizeof p->cleanup) &&
           find(library, "Plugin_FreeMemory", &p->free_memory, sizeof p->free_memory) &&
           find(library, "Plugin_ListReaders", &p->list_readers, sizeof p->list_readers) &&
           find(library, "Plugin_Connect", &p->connect, sizeof p->connect) &&
           find(library, "Plugin_Disconnect", &p->disconnect, sizeof p->disconnect) &&
           find(library, "Plugin_GetATR", &p->get_atr, sizeof p->get_atr) &&
           find(library, "Plugin_ExecuteCommand", &p->execute, sizeof p->execute);
}

static int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Hex digit pairs, optionally separated by spaces or colons; at least a 4-byte header. */
static int parse_hex(const char *text, uint8_t *out, size_t room, uint32_t *length) {
    size_t n = 0;
    while (*text) {
        int high, low;
        if (*text == ' ' || *text == ':') {
            ++text;
            continue;
        }
        high = nibble(text[0]);
        low = high < 0 ? -1 : nibble(text[1]);
        if (n == room || low < 0) return 0;
        out[n++] = (uint8_t)(high << 4 | low);
        text += 2;
    }
    *length = (uint32_t)n;
    return n >= 4;
}

static void print_bytes(const char *label, const uint8_t *bytes, uint32_t length) {
    uint32_t i;
    printf("%s", label);
    for (i = 0; i < length; ++i)
        printf(" %02X", bytes[i]);
    printf("\n");
}

/* The accessory and its card arrive shortly after start-up: retry for up to 5 s while the
 * answer is `busy`. */
static PluginResult retry(PluginResult (*call)(struct plugin *, void *), struct plugin *p,
                          void *arg, PluginResult busy) {
    const struct timespec step = {0, 5000000};
    PluginResult rc = busy;
    int round;
    for (round = 0; round < 1000 && rc == busy; ++round) {
        rc = call(p, arg);
        if (rc == busy) nanosleep(&step, NULL);
    }
    return rc;
}

struct list_args {
    char *readers;
    uint32_t length;
};

static PluginResult list_once(struct plugin *p, void *arg) {
    struct list_args *a = arg;
    return p->list_readers(&a->readers, &a->length);
}

static PluginResult connect_once(struct plugin *p, void *arg) {
    return p->connect("Vorasel", (PluginHandle **)arg);
}

int main(int argc, char **argv) {
    const char *path = argc > 1 ? argv[1] : "libvorasel.so";
    const char *hex = argc > 2 ? argv[2] : "00A4000C023F00";
    uint8_t apdu[512], response[PLUGIN_RESPONSE_CAPACITY];
    uint32_t apdu_length = 0, response_length = 0, atr_length = 0;
    uint8_t *atr = NULL;
    PluginHandle *handle = NULL;
    struct list_args list = {NULL, 0};
    struct plugin p;
    PluginResult rc;
    int status = 1;

    if (!parse_hex(hex, apdu, sizeof apdu, &apdu_length)) {
        fprintf(stderr, "plugin-host: not an APDU: %s\n", hex);
        return 2;
    }
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "plugin-host: cannot load %s: %s\n", path, dlerror());
        return 2;
    }
    if (!load(library, &p)) return 2;

    if ((rc = p.initialize()) != PLUGIN_OK) {
        fprintf(stderr, "plugin-host: Plugin_Initialize: %d\n", (int)rc);
        return 1;
    }
    if ((rc = retry(list_once, &p, &list, PLUGIN_ERR_LIST_READERS)) != PLUGIN_OK) {
        fprintf(stderr, "plugin-host: Plugin_ListReaders: %d (no accessory?)\n", (int)rc);
        return 1;
    }
    printf("reader: %s\n", list.readers);
    if ((rc = retry(connect_once, &p, &handle, PLUGIN_ERR_CONNECT)) != PLUGIN_OK) {
        fprintf(stderr, "plugin-host: Plugin_Connect: %d (no card?)\n", (int)rc);
        p.free_memory(list.readers);
        return 1;
    }
    if (p.get_atr(handle, &atr, &atr_length) == PLUGIN_OK) {
        print_bytes("ATR:", atr, atr_length);
        p.free_memory(atr);
    }
    print_bytes(">", apdu, apdu_length);
    rc = p.execute(handle, apdu, apdu_length, response, &response_length, 1);
    if (rc == PLUGIN_OK) {
        print_bytes("<", response, response_length);
        status = 0;
    } else {
        fprintf(stderr, "plugin-host: Plugin_ExecuteCommand: %d\n", (int)rc);
    }
    p.disconnect(handle);
    p.free_memory(handle);
    p.free_memory(list.readers);
    p.cleanup();
    /* The library keeps threads of its own running: it is not unloaded. */
    return status;
}
