/* The PC/SC ("winscard") interface to the Vorasel case's contact card reader.
 *
 * One reader exists, named by sc_reader_name ("Halvane Smart Card Reader"), and at most one
 * card connection to it at a time in the whole process. The first SCardEstablishContext opens
 * the reader; the last SCardReleaseContext closes it. A card handle is not bound to the
 * context that made it: it stays valid until SCardDisconnect, the card's removal, or the
 * reader closing.
 *
 * Widths: LONG is a signed 32-bit integer, DWORD, SCARDCONTEXT and SCARDHANDLE unsigned 32-bit
 * integers (on every platform, unlike pcsc-lite on 64-bit Linux).
 *
 * Thread rules:
 * - Every function may be called from any thread. Contexts are process-wide, not per thread.
 *   Calls are not serialised against each other, except SCardEstablishContext and
 *   SCardReleaseContext, which exclude each other; two threads may transmit at once (the
 *   reader carries one exchange at a time).
 * - Waits (SCardConnect, SCardGetStatusChange, SCardSetAttrib, waitForReaderStateChange,
 *   waitForReaderConnect) turn the calling thread's run loop, so work the library delivers
 *   to that thread keeps flowing, and end the moment their condition changes.
 * - SCardCancel may be called from any thread; it ends the one SCardGetStatusChange that sees
 *   it first.
 * - The card notifications "HV_CARD_INSERTED" and "HV_CARD_REMOVED" (observe them with
 *   hv_host_add_observer, hv_host.h) are posted on the reader driver's event thread. An
 *   observer must not call SCardEstablishContext or SCardReleaseContext, nor wait for another
 *   card event.
 *
 * Memory: with SCARD_AUTOALLOCATE in a length argument, the function allocates the output
 * block and stores its address through the buffer argument (taken as a pointer to a pointer);
 * the caller frees it with SCardFreeMemory while a context is live.
 *
 * Call trace: with VORASEL_TRACE=FILE (or "stderr") in the environment when the first SCard*
 * call is made, every call is written to FILE (appended to; created readable by its owner
 * only) with its arguments, its result by name and its duration, APDUs in hex, and a summary
 * of calls, counts and total time per function at process exit. PINs are never written: the
 * data of VERIFY, CHANGE REFERENCE DATA and RESET RETRY COUNTER commands (INS 20, 21, 24, 2C)
 * are masked, whether they come from an application, HVSmartcard or a plug-in host's
 * Plugin_ExecuteCommand, and SCardControl buffers are shown by length only. */
#ifndef VORASEL_WINSCARD_H
#define VORASEL_WINSCARD_H

#include <stdint.h>

#include "vorasel/hv_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* --- Types --- */

typedef int32_t LONG;
typedef uint32_t DWORD;
typedef DWORD *LPDWORD;
typedef uint8_t BYTE;
typedef BYTE *LPBYTE;
typedef const BYTE *LPCBYTE;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;

typedef uint32_t SCARDCONTEXT;
typedef SCARDCONTEXT *PSCARDCONTEXT;
typedef SCARDCONTEXT *LPSCARDCONTEXT;
typedef uint32_t SCARDHANDLE;
typedef SCARDHANDLE *PSCARDHANDLE;
typedef SCARDHANDLE *LPSCARDHANDLE;

/* Protocol control record: the protocol and the record's own length in bytes (8). */
typedef struct {
    DWORD dwProtocol;
    DWORD cbPciLength;
} SCARD_IO_REQUEST, *PSCARD_IO_REQUEST, *LPSCARD_IO_REQUEST;
typedef const SCARD_IO_REQUEST *LPCSCARD_IO_REQUEST;

#define MAX_ATR_SIZE 33

/* One entry of SCardGetStatusChange's reader-state array. */
typedef struct {
    const char *szReader;      /* the reader's name */
    void *pvUserData;          /* the caller's; never touched */
    DWORD dwCurrentState;      /* SCARD_STATE_* mask the caller believes current */
    DWORD dwEventState;        /* written: the reader state, with SCARD_STATE_CHANGED */
    DWORD cbAtr;               /* written: bytes of rgbAtr in use */
    BYTE rgbAtr[MAX_ATR_SIZE]; /* written: the card's answer-to-reset */
} SCARD_READERSTATE, *PSCARD_READERSTATE, *LPSCARD_READERSTATE;

/* --- Result codes --- */

#define SCARD_S_SUCCESS ((LONG)0x00000000)
#define SCARD_F_INTERNAL_ERROR ((LONG)0x80100001)
#define SCARD_E_CANCELLED ((LONG)0x80100002)
#define SCARD_E_INVALID_HANDLE ((LONG)0x80100003)
#define SCARD_E_INVALID_PARAMETER ((LONG)0x80100004)
#define SCARD_E_INVALID_TARGET ((LONG)0x80100005)
#define SCARD_E_NO_MEMORY ((LONG)0x80100006)
#define SCARD_F_WAITED_TOO_LONG ((LONG)0x80100007)
#define SCARD_E_INSUFFICIENT_BUFFER ((LONG)0x80100008)
#define SCARD_E_UNKNOWN_READER ((LONG)0x80100009)
#define SCARD_E_TIMEOUT ((LONG)0x8010000A)
#define SCARD_E_SHARING_VIOLATION ((LONG)0x8010000B)
#define SCARD_E_NO_SMARTCARD ((LONG)0x8010000C)
#define SCARD_E_UNKNOWN_CARD ((LONG)0x8010000D)
#define SCARD_E_CANT_DISPOSE ((LONG)0x8010000E)
#define SCARD_E_PROTO_MISMATCH ((LONG)0x8010000F)
#define SCARD_E_NOT_READY ((LONG)0x80100010)
#define SCARD_E_INVALID_VALUE ((LONG)0x80100011)
#define SCARD_E_SYSTEM_CANCELLED ((LONG)0x80100012)
#define SCARD_F_COMM_ERROR ((LONG)0x80100013)
#define SCARD_F_UNKNOWN_ERROR ((LONG)0x80100014)
#define SCARD_E_INVALID_ATR ((LONG)0x80100015)
#define SCARD_E_NOT_TRANSACTED ((LONG)0x80100016)
#define SCARD_E_READER_UNAVAILABLE ((LONG)0x80100017)
#define SCARD_P_SHUTDOWN ((LONG)0x80100018)
#define SCARD_E_PCI_TOO_SMALL ((LONG)0x80100019)
#define SCARD_E_READER_UNSUPPORTED ((LONG)0x8010001A)
#define SCARD_E_DUPLICATE_READER ((LONG)0x8010001B)
#define SCARD_E_CARD_UNSUPPORTED ((LONG)0x8010001C)
#define SCARD_E_NO_SERVICE ((LONG)0x8010001D)
#define SCARD_E_SERVICE_STOPPED ((LONG)0x8010001E)
#define SCARD_E_UNEXPECTED ((LONG)0x8010001F)
#define SCARD_E_NO_READERS_AVAILABLE ((LONG)0x8010002E)
#define SCARD_W_UNSUPPORTED_CARD ((LONG)0x80100065)
#define SCARD_W_UNRESPONSIVE_CARD ((LONG)0x80100066)
#define SCARD_W_UNPOWERED_CARD ((LONG)0x80100067)
#define SCARD_W_RESET_CARD ((LONG)0x80100068)
#define SCARD_W_REMOVED_CARD ((LONG)0x80100069)
#define SCARD_W_CANCELLED_BY_USER ((LONG)0x8010006E)
/* SCardListReaderGroups and SCardControl answer 78: the reader offers neither. */

/* --- Constants --- */

#define SCARD_AUTOALLOCATE ((DWORD)0xFFFFFFFF)
/* The longest SCardGetStatusChange time-out: about 49.7 days, not "forever". */
#define INFINITE ((DWORD)0xFFFFFFFF)

#define SCARD_SCOPE_USER 0x0000
#define SCARD_SCOPE_TERMINAL 0x0001 /* refused */
#define SCARD_SCOPE_SYSTEM 0x0002

#define SCARD_PROTOCOL_UNDEFINED 0x00000000
#define SCARD_PROTOCOL_T0 0x00000001
#define SCARD_PROTOCOL_T1 0x00000002
#define SCARD_PROTOCOL_RAW 0x00010000

#define SCARD_SHARE_EXCLUSIVE 0x0001
#define SCARD_SHARE_SHARED 0x0002
#define SCARD_SHARE_DIRECT 0x0003 /* refused */

#define SCARD_LEAVE_CARD 0x0000
#define SCARD_RESET_CARD 0x0001
#define SCARD_UNPOWER_CARD 0x0002
#define SCARD_EJECT_CARD 0x0003 /* refused */

/* Card states reported by SCardStatus in *pdwState (a number, not a mask). */
#define SCARD_UNKNOWN 0
#define SCARD_ABSENT 1
#define SCARD_PRESENT 2
#define SCARD_SWALLOWED 3 /* inserted, not powered */
#define SCARD_POWERED 4
#define SCARD_NEGOTIABLE 5
#define SCARD_SPECIFIC 6 /* protocol fixed */

/* Reader state flags (SCardGetStatusChange). */
#define SCARD_STATE_UNAWARE 0x0000
#define SCARD_STATE_IGNORE 0x0001
#define SCARD_STATE_CHANGED 0x0002
#define SCARD_STATE_UNKNOWN 0x0004
#define SCARD_STATE_UNAVAILABLE 0x0008
#define SCARD_STATE_EMPTY 0x0010
#define SCARD_STATE_PRESENT 0x0020
#define SCARD_STATE_ATRMATCH 0x0040
#define SCARD_STATE_EXCLUSIVE 0x0080
#define SCARD_STATE_INUSE 0x0100
#define SCARD_STATE_MUTE 0x0200
#define SCARD_STATE_UNPOWERED 0x0400

/* Vendor attributes (SCardGetAttrib, SCardSetAttrib): one byte, 1 on or 0 off. */
#define SCARD_ATTR_VENDOR_POWER_MANAGEMENT 0x0007B100 /* reader closed in the background */
#define SCARD_ATTR_VENDOR_AUTO_POWER_ON 0x0007B101    /* an inserted card is powered at once */

/* --- Exported data --- */

/* Protocol control records for SCardTransmit. Writable, as every PC/SC client expects. */
HV_EXPORT extern SCARD_IO_REQUEST g_rgSCardT0Pci;
HV_EXPORT extern SCARD_IO_REQUEST g_rgSCardT1Pci;
HV_EXPORT extern SCARD_IO_REQUEST g_rgSCardRawPci;
#define SCARD_PCI_T0 (&g_rgSCardT0Pci)
#define SCARD_PCI_T1 (&g_rgSCardT1Pci)
#define SCARD_PCI_RAW (&g_rgSCardRawPci)

/* Pass &g_bgm_disable as pvReserved1 of the first SCardEstablishContext to keep the reader
 * open while the application is in the background (its low-order byte is 1). */
HV_EXPORT extern const int32_t g_bgm_disable;

/* The one reader's name: "Halvane Smart Card Reader". */
HV_EXPORT extern const char sc_reader_name[26];

/* Reserved: 48 bytes, zero, never read or written by the library. */
HV_EXPORT extern void *callback_pointers[48 / sizeof(void *)];

/* --- Contexts --- */

/* Creates a context. The first live context of the process opens the reader: it waits for the
 * driver (up to about 3.5 s while the accessory's sessions refuse to start) and holds other
 * callers of SCardEstablishContext and SCardReleaseContext meanwhile. Context values count up
 * from 0x00010001 and are never reused in a process.
 * @param dwScope SCARD_SCOPE_USER or SCARD_SCOPE_SYSTEM.
 * @param pvReserved1 null, or &g_bgm_disable (first context only) to turn power management off.
 * @param pvReserved2 ignored.
 * @param phContext receives the context (0 when the scope is refused).
 * @return SCARD_S_SUCCESS, also when no accessory is attached yet (the reader then opens when
 *         it arrives);
 *         SCARD_E_INVALID_TARGET the application does not declare the three CCID accessory
 *         protocols (checked first, even before phContext);
 *         SCARD_E_INVALID_PARAMETER phContext is null;
 *         SCARD_E_INVALID_VALUE dwScope is SCARD_SCOPE_TERMINAL or unknown;
 *         SCARD_E_READER_UNSUPPORTED power management turned off on an operating system older
 *         than 5.0;
 *         SCARD_E_NO_SERVICE the reader driver failed to open. */
HV_EXPORT LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                                     LPSCARDCONTEXT phContext);

/* Releases a context. The last one closes the reader, ends any card connection's validity,
 * switches automatic power-on off, and ends every SCardGetStatusChange still waiting (with
 * SCARD_E_READER_UNAVAILABLE).
 * @return SCARD_S_SUCCESS;
 *         SCARD_E_INVALID_HANDLE no such live context (also before any context). */
HV_EXPORT LONG SCardReleaseContext(SCARDCONTEXT hContext);

/* @return SCARD_S_SUCCESS the context is live; SCARD_E_INVALID_HANDLE otherwise. */
HV_EXPORT LONG SCardIsValidContext(SCARDCONTEXT hContext);

/* Lists the reader: the multi-string "Halvane Smart Card Reader\0\0" (27 characters).
 * @param mszGroups ignored.
 * @param mszReaders the caller's buffer, null for a length query, or (with SCARD_AUTOALLOCATE
 *        in *pcchReaders) a char ** receiving a block to free with SCardFreeMemory.
 * @param pcchReaders in: the buffer's size or SCARD_AUTOALLOCATE; out: the length needed (27),
 *        0 when no reader is available.
 * @return SCARD_S_SUCCESS (also for a length query);
 *         SCARD_E_INVALID_HANDLE unknown context;
 *         SCARD_E_INVALID_PARAMETER pcchReaders null, or SCARD_AUTOALLOCATE with a null
 *         mszReaders;
 *         SCARD_E_NO_READERS_AVAILABLE no accessory attached;
 *         SCARD_E_INSUFFICIENT_BUFFER the buffer holds fewer than 27 characters;
 *         SCARD_E_NO_MEMORY the block could not be allocated. */
HV_EXPORT LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                                LPDWORD pcchReaders);

/* Not offered. @return 78, arguments untouched. */
HV_EXPORT LONG SCardListReaderGroups(SCARDCONTEXT hContext, LPSTR mszGroups, LPDWORD pcchGroups);

/* Frees a block that SCARD_AUTOALLOCATE handed out. Each block is freed once; anything else is
 * refused and left alone.
 * @return SCARD_S_SUCCESS;
 *         SCARD_E_INVALID_HANDLE unknown context;
 *         SCARD_E_INVALID_PARAMETER pvMem is null, already freed, inside a block, or not a
 *         block of this interface. */
HV_EXPORT LONG SCardFreeMemory(SCARDCONTEXT hContext, LPCVOID pvMem);

/* Ends the SCardGetStatusChange that sees it first, whichever its context, with
 * SCARD_W_CANCELLED_BY_USER. A cancel while no wait runs is dropped by the next
 * SCardGetStatusChange.
 * @return SCARD_S_SUCCESS; SCARD_E_INVALID_HANDLE unknown context. */
HV_EXPORT LONG SCardCancel(SCARDCONTEXT hContext);

/* --- Card connections --- */

/* Connects to the card: powers it if needed and negotiates the protocol (T=1 preferred over
 * T=0), or takes the raw protocol when dwPreferredProtocols has SCARD_PROTOCOL_RAW. Waits up to
 * 250 ms for a reader that is still opening, and up to 250 ms for the first card state.
 * @param szReader sc_reader_name (required).
 * @param dwShareMode SCARD_SHARE_EXCLUSIVE or SCARD_SHARE_SHARED (alike: one connection only).
 * @param phCard receives a fresh random handle (required).
 * @param pdwActiveProtocol receives the protocol (required).
 * @return SCARD_S_SUCCESS;
 *         SCARD_E_INVALID_HANDLE unknown context;
 *         SCARD_E_INVALID_PARAMETER a required pointer is null, or a bad share mode;
 *         SCARD_E_READER_UNAVAILABLE another reader name, or the reader is not open;
 *         SCARD_E_SHARING_VIOLATION a connection exists already;
 *         SCARD_E_NO_SMARTCARD no card in the reader;
 *         SCARD_W_UNRESPONSIVE_CARD the card does not answer, or the protocol negotiation
 *         failed;
 *         SCARD_E_PROTO_MISMATCH no preferred protocol is offered by the card (or in use);
 *         SCARD_F_COMM_ERROR the accessory session was lost;
 *         SCARD_E_UNEXPECTED another driver failure. */
HV_EXPORT LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                            DWORD dwPreferredProtocols, LPSCARDHANDLE phCard,
                            LPDWORD pdwActiveProtocol);

/* Re-establishes the connection, keeping its handle: with SCARD_LEAVE_CARD checks the
 * protocol; with SCARD_RESET_CARD or SCARD_UNPOWER_CARD powers the card (off first for the
 * latter) and negotiates again. A failure that rewrites the reader state ends the connection's
 * use (SCardStatus and SCardTransmit then answer SCARD_E_NOT_READY).
 * @param dwShareMode SCARD_SHARE_EXCLUSIVE only.
 * @param pdwActiveProtocol receives the protocol (required).
 * @return SCARD_S_SUCCESS;
 *         SCARD_E_INVALID_HANDLE no such connection;
 *         SCARD_E_INVALID_PARAMETER pdwActiveProtocol null, share mode other than exclusive, or
 *         dwInitialization above SCARD_UNPOWER_CARD;
 *         SCARD_E_READER_UNAVAILABLE the reader is not open;
 *         SCARD_E_NO_SMARTCARD no card;
 *         SCARD_W_UNRESPONSIVE_CARD the card does not answer, or negotiation failed;
 *         SCARD_E_PROTO_MISMATCH the protocol in use or offered is not among the preferred;
 *         SCARD_F_COMM_ERROR the accessory session was lost. */
HV_EXPORT LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                              DWORD dwInitialization, LPDWORD pdwActiveProtocol);

/* Ends the connection, whatever the driver then answers.
 * @param dwDisposition SCARD_LEAVE_CARD, SCARD_RESET_CARD or SCARD_UNPOWER_CARD.
 * @return SCARD_S_SUCCESS (also when the card or the reader has gone meanwhile);
 *         SCARD_E_INVALID_HANDLE no such connection;
 *         SCARD_E_INVALID_PARAMETER SCARD_EJECT_CARD or above (the connection stays);
 *         SCARD_F_COMM_ERROR the reset or power-off failed for a lost session;
 *         SCARD_E_UNEXPECTED the reset or power-off failed otherwise. */
HV_EXPORT LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition);

/* Reports the connection: reader name, card state (SCARD_ABSENT ... SCARD_SPECIFIC), protocol
 * and ATR. Each pointer may be null to skip that output; a length with a null buffer asks only
 * for the length; a length of SCARD_AUTOALLOCATE makes the function allocate the buffer.
 * @param pcchReaderLen in: the name buffer's size; out: 26 (the name and its zero byte).
 * @param pcbAtrLen in: the ATR buffer's size; out: the ATR's length.
 * @return SCARD_S_SUCCESS;
 *         SCARD_E_INVALID_HANDLE no such connection;
 *         SCARD_E_NOT_READY the connection is no longer in use;
 *         SCARD_E_INVALID_PARAMETER SCARD_AUTOALLOCATE without a place for the address;
 *         SCARD_E_INSUFFICIENT_BUFFER a buffer too small (no output written);
 *         SCARD_E_NO_MEMORY a block could not be allocated. */
HV_EXPORT LONG SCardStatus(SCARDHANDLE hCard, LPSTR mszReaderName, LPDWORD pcchReaderLen,
                           LPDWORD pdwState, LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen);

/* Sends one command APDU and receives the card's response APDU (status word included).
 * Short and extended APDUs are carried as given; the reader does no GET RESPONSE handling.
 * @param pioSendPci the connection's protocol: g_rgSCardT0Pci, g_rgSCardT1Pci or
 *        g_rgSCardRawPci.
 * @param pioRecvPci ignored.
 * @param pcbRecvLength in: the receive buffer's size; out: the response's length (0 on
 *        failure).
 * @return SCARD_S_SUCCESS;
 *         SCARD_E_INVALID_HANDLE no such connection;
 *         SCARD_E_INVALID_PARAMETER a null pointer or an empty command;
 *         SCARD_E_NOT_READY the connection is no longer in use;
 *         SCARD_E_PROTO_MISMATCH pioSendPci's protocol is not the connection's, or the raw
 *         protocol (which the reader cannot carry);
 *         SCARD_E_INSUFFICIENT_BUFFER the response does not fit;
 *         SCARD_E_INVALID_VALUE a T=0 command too long for the reader;
 *         SCARD_W_UNRESPONSIVE_CARD the card stopped answering;
 *         SCARD_W_REMOVED_CARD the card was removed;
 *         SCARD_W_UNPOWERED_CARD the card is not powered;
 *         SCARD_E_READER_UNAVAILABLE the reader closed or the accessory left;
 *         SCARD_F_COMM_ERROR the accessory session was lost;
 *         SCARD_E_UNEXPECTED another driver failure (such as a time-out). */
HV_EXPORT LONG SCardTransmit(SCARDHANDLE hCard, const SCARD_IO_REQUEST *pioSendPci,
                             LPCBYTE pbSendBuffer, DWORD cbSendLength, SCARD_IO_REQUEST *pioRecvPci,
                             LPBYTE pbRecvBuffer, LPDWORD pcbRecvLength);

/* With one connection at most there is nothing to exclude: both only check the handle.
 * @return SCARD_S_SUCCESS; SCARD_E_INVALID_HANDLE no such connection. */
HV_EXPORT LONG SCardBeginTransaction(SCARDHANDLE hCard);
HV_EXPORT LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition);

/* Not offered. @return 78, arguments untouched. */
HV_EXPORT LONG SCardControl(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID pbSendBuffer,
                            DWORD cbSendLength, LPVOID pbRecvBuffer, DWORD cbRecvLength,
                            LPDWORD lpBytesReturned);

/* --- Status change --- */

/* Waits until the reader state differs from rgReaderStates[0].dwCurrentState (CHANGED bit
 * aside), then writes dwEventState (the state with SCARD_STATE_CHANGED) and the ATR. A state
 * that already differs is reported at once; SCARD_STATE_UNAWARE always differs. Right after
 * the reader opened, the first card state is awaited for up to 2 s before comparing.
 * @param dwTimeout milliseconds, in 10 ms steps (below 10: no wait).
 * @param cReaders 1.
 * @return SCARD_S_SUCCESS the state differs;
 *         SCARD_E_INVALID_HANDLE unknown context;
 *         SCARD_E_INVALID_VALUE cReaders other than 1;
 *         SCARD_E_INVALID_PARAMETER rgReaderStates null;
 *         SCARD_E_UNKNOWN_READER another reader name, or no accessory;
 *         SCARD_E_TIMEOUT no change in time (dwEventState not written);
 *         SCARD_W_CANCELLED_BY_USER SCardCancel;
 *         SCARD_E_READER_UNAVAILABLE the reader closed or the accessory left (also a change
 *         undone before it was seen);
 *         SCARD_E_INVALID_ATR the reader reported an ATR longer than 33 bytes. */
HV_EXPORT LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                                    LPSCARD_READERSTATE rgReaderStates, DWORD cReaders);

/* --- Attributes --- */

/* Reads SCARD_ATTR_VENDOR_POWER_MANAGEMENT or SCARD_ATTR_VENDOR_AUTO_POWER_ON (one byte).
 * Needs no connection; hCard is not examined.
 * @param pbAttr the buffer, null for a length query, or (with SCARD_AUTOALLOCATE) a BYTE **.
 * @param pcbAttrLen in: the buffer's size or SCARD_AUTOALLOCATE; out: 1.
 * @return SCARD_S_SUCCESS;
 *         SCARD_E_INVALID_VALUE another attribute;
 *         SCARD_E_INVALID_PARAMETER pcbAttrLen null, or SCARD_AUTOALLOCATE with a null pbAttr;
 *         SCARD_E_INSUFFICIENT_BUFFER a size of 0;
 *         SCARD_E_NO_MEMORY a block could not be allocated. */
HV_EXPORT LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen);

/* Switches power management or automatic power-on (one byte, 0 or 1). Turning automatic
 * power-on on powers a card that sits unpowered in the reader at once (waiting up to 250 ms
 * for the first card state). Needs no connection; hCard is not examined.
 * @return SCARD_S_SUCCESS;
 *         SCARD_E_INVALID_PARAMETER pbAttr null or cbAttrLen 0;
 *         SCARD_E_INVALID_VALUE another attribute, a length other than 1, a value other than
 *         0 or 1;
 *         SCARD_E_READER_UNSUPPORTED power management on an operating system older than 5.0. */
HV_EXPORT LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPCBYTE pbAttr, DWORD cbAttrLen);

/* --- Reader waits (shared by the functions above) --- */

/* Waits while the reader state equals `dwState`, for `dwTimeoutMs` in 10 ms steps (below 10:
 * no wait); ends early when the reader is not open. */
HV_EXPORT void waitForReaderStateChange(DWORD dwState, DWORD dwTimeoutMs);

/* Waits until the reader is open, for `dwTimeoutMs` in 50 ms steps (below 50: no wait); ends
 * at once when no accessory is attached. */
HV_EXPORT void waitForReaderConnect(DWORD dwTimeoutMs);

#ifdef __cplusplus
}
#endif

#endif /* VORASEL_WINSCARD_H */
