/* The PC/SC interface as a C application uses it, against the shared library and the accessory
 * daemon named by VORASEL_ACCESSORYD_SOCKET (started by the test with a card in the reader):
 * establish, list, status change, connect, transmit, status, disconnect and release, with the
 * card pulled and put back through the daemon's commands. Exits 0 when every check holds. */
#define _POSIX_C_SOURCE 200809L
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "vorasel/hv_host.h"
#include "vorasel/winscard.h"

#include "c_checks.h"

/* One command to the daemon ("insert t1", "remove"); true when it answers OK. */
static int daemon_command(const char *words) {
    const char *path = getenv("VORASEL_ACCESSORYD_SOCKET");
    struct sockaddr_un address;
    char line[128], answer[64];
    int fd, n;
    if (!path || strlen(path) >= sizeof address.sun_path) return 0;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, path);
    fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    if (connect(fd, (struct sockaddr *)&address, sizeof address) != 0) {
        close(fd);
        return 0;
    }
    n = snprintf(line, sizeof line, "COMMAND %s\n", words);
    if (write(fd, line, (size_t)n) != n) {
        close(fd);
        return 0;
    }
    n = (int)read(fd, answer, sizeof answer - 1);
    close(fd);
    return n >= 2 && strncmp(answer, "OK", 2) == 0;
}

static atomic_int inserted, removed;

static void on_card(const char *name, const void *sender, void *context) {
    (void)sender;
    (void)context;
    if (strcmp(name, "HV_CARD_INSERTED") == 0) atomic_fetch_add(&inserted, 1);
    if (strcmp(name, "HV_CARD_REMOVED") == 0) atomic_fetch_add(&removed, 1);
}

/* Waits up to 5 s for both counts to reach `n` (observers run on the driver's thread, just
 * after the state changed). */
static int wait_for_notifications(int n) {
    const struct timespec step = {0, 1000000};
    int round;
    for (round = 0; round < 5000; ++round) {
        if (atomic_load(&removed) >= n && atomic_load(&inserted) >= n) return 1;
        nanosleep(&step, NULL);
    }
    return 0;
}

/* Waits up to 5 s for the reader state to have `bits`, starting from `current`. */
static DWORD wait_for_state(SCARDCONTEXT context, DWORD current, DWORD bits) {
    SCARD_READERSTATE state;
    int round;
    for (round = 0; round < 50; ++round) {
        memset(&state, 0, sizeof state);
        state.szReader = sc_reader_name;
        state.dwCurrentState = current;
        const LONG rv = SCardGetStatusChange(context, 100, &state, 1);
        if (rv == SCARD_S_SUCCESS) current = state.dwEventState & ~(DWORD)SCARD_STATE_CHANGED;
        if ((current & bits) == bits) return current;
    }
    return current;
}

int main(void) {
    SCARDCONTEXT context = 0, second = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0, length = 0, state = 0, atr_length = sizeof(BYTE[MAX_ATR_SIZE]);
    char readers[64];
    BYTE atr[MAX_ATR_SIZE], response[300];
    static const BYTE echo[] = {0x00, 0xEE, 0x00, 0x00, 0x04, 0xCA, 0xFE, 0xBA, 0xBE, 0x00};
    static const BYTE expected[] = {0xCA, 0xFE, 0xBA, 0xBE, 0x90, 0x00};

    /* Layouts a C client relies on. */
    CHECK(sizeof(SCARD_IO_REQUEST) == 8 && g_rgSCardT1Pci.cbPciLength == 8);
    CHECK(g_rgSCardT0Pci.dwProtocol == SCARD_PROTOCOL_T0);
    CHECK(g_rgSCardRawPci.dwProtocol == 0x00010000);
    CHECK(sizeof sc_reader_name == 26 && strcmp(sc_reader_name, "Halvane Smart Card Reader") == 0);
    CHECK(sizeof callback_pointers == 48 && callback_pointers[0] == NULL);
    CHECK(sizeof(LONG) == 4 && sizeof(DWORD) == 4 && sizeof(SCARDHANDLE) == 4);

    hv_observer_t token = hv_host_add_observer(NULL, on_card, NULL);

    /* The first contexts of the process. */
    CHECK_CODE(SCardEstablishContext(SCARD_SCOPE_SYSTEM, NULL, NULL, &context), SCARD_S_SUCCESS);
    CHECK(context == 0x00010001);
    CHECK_CODE(SCardEstablishContext(SCARD_SCOPE_USER, NULL, NULL, &second), SCARD_S_SUCCESS);
    CHECK(second == 0x00010002);

    length = sizeof readers;
    CHECK_CODE(SCardListReaders(context, NULL, readers, &length), SCARD_S_SUCCESS);
    CHECK(length == 27 && strcmp(readers, sc_reader_name) == 0 && readers[26] == '\0');

    /* The daemon's card is in the reader; take it out and put it back. */
    state = wait_for_state(context, SCARD_STATE_UNAWARE, SCARD_STATE_PRESENT);
    CHECK(state == (SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED));
    CHECK(daemon_command("remove"));
    state = wait_for_state(context, state, SCARD_STATE_EMPTY);
    CHECK(state == SCARD_STATE_EMPTY);
    CHECK(daemon_command("insert t1"));
    state = wait_for_state(context, state, SCARD_STATE_PRESENT);
    CHECK(state == (SCARD_STATE_PRESENT | SCARD_STATE_UNPOWERED));
    CHECK(wait_for_notifications(1));
    CHECK(atomic_load(&removed) == 1 && atomic_load(&inserted) == 1);

    CHECK_CODE(SCardConnect(context, sc_reader_name, SCARD_SHARE_SHARED,
                            SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol),
               SCARD_S_SUCCESS);
    CHECK(protocol == SCARD_PROTOCOL_T1);
    CHECK(card != 0xFFFFFFFF);

    length = sizeof response;
    CHECK_CODE(SCardTransmit(card, SCARD_PCI_T1, echo, sizeof echo, NULL, response, &length),
               SCARD_S_SUCCESS);
    CHECK(length == sizeof expected && memcmp(response, expected, sizeof expected) == 0);

    length = sizeof readers;
    CHECK_CODE(SCardStatus(card, readers, &length, &state, &protocol, atr, &atr_length),
               SCARD_S_SUCCESS);
    CHECK(length == 26 && strcmp(readers, sc_reader_name) == 0);
    CHECK(state == SCARD_SPECIFIC && protocol == SCARD_PROTOCOL_T1);
    CHECK(atr_length >= 2 && atr[0] == 0x3B);

    CHECK_CODE(SCardDisconnect(card, SCARD_UNPOWER_CARD), SCARD_S_SUCCESS);
    CHECK_CODE(SCardTransmit(card, SCARD_PCI_T1, echo, sizeof echo, NULL, response, &length),
               SCARD_E_INVALID_HANDLE);
    CHECK_CODE(SCardReleaseContext(second), SCARD_S_SUCCESS);
    CHECK_CODE(SCardReleaseContext(context), SCARD_S_SUCCESS);
    CHECK_CODE(SCardReleaseContext(context), SCARD_E_INVALID_HANDLE);
    hv_host_remove_observer(token);

    if (failures) fprintf(stderr, "%d checks failed\n", failures);
    return failures ? 1 : 0;
}
