#!/usr/bin/python3
"""vicc's card comes and goes with vicc: a client waiting in SCardGetStatusChange sees the
reader EMPTY once vicc exits and PRESENT, with vicc's ATR, once it is back; the card then
takes a connection and an APDU. Prints the times from vicc's exit to EMPTY and from its
connection (as the daemon reports it, polled every millisecond) to PRESENT. The daemon's slot
must follow the emulator ("insert vpcd") and vicc be connected.
Usage: emulator_presence.py READER DAEMON_SOCKET VPCD_PORT VICC_PID ROUNDS
(vicc runs with this process's environment.)"""
import os
import signal
import subprocess
import sys
import threading
import time

from smartcard.scard import (SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_S_SUCCESS,
                             SCARD_SCOPE_USER, SCARD_SHARE_SHARED, SCARD_STATE_CHANGED,
                             SCARD_STATE_EMPTY, SCARD_STATE_PRESENT, SCARD_STATE_UNAWARE,
                             SCARD_UNPOWER_CARD, SCardConnect, SCardDisconnect,
                             SCardEstablishContext, SCardGetStatusChange, SCardReleaseContext,
                             SCardTransmit)

import case_control


def wait_for(context, reader, known, want, timeout=10):
    """The reader's state once it has `want`, or None after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        hresult, states = SCardGetStatusChange(context, 1000, [(reader, known)])
        if hresult != SCARD_S_SUCCESS:
            continue
        known = states[0][1] & ~SCARD_STATE_CHANGED
        if known & want:
            return known, time.monotonic(), states[0][2]
    return None


def start_vicc(port):
    return subprocess.Popen([sys.executable, "/usr/bin/vicc", "-t", "iso7816", "-H", "127.0.0.1",
                             "-P", str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def watch_connection(socket_path, connected):
    """Appends the moment the daemon first reports an emulator connected (30 s at most)."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if "emulator=1" in case_control.command(socket_path, "status"):
            connected.append(time.monotonic())
            return
        time.sleep(0.001)


class Failed(Exception):
    pass


def one_round(context, reader, socket_path, port, stop_vicc, known):
    """vicc out, then a new vicc in: (the new vicc, the reader's state, ms to EMPTY, ms to
    PRESENT)."""
    at = time.monotonic()
    stop_vicc()
    state = wait_for(context, reader, known, SCARD_STATE_EMPTY)
    if not state:
        raise Failed("vicc left, and the reader still shows a card after 10 s")
    known, seen, _ = state
    gone_ms = (seen - at) * 1000
    status = case_control.command(socket_path, "status")
    if "emulator=0" not in status or "card=0" not in status:
        raise Failed("the daemon answers %r with vicc gone" % status)

    vicc = start_vicc(port)
    connected = []
    watcher = threading.Thread(target=watch_connection, args=(socket_path, connected))
    watcher.start()
    state = wait_for(context, reader, known, SCARD_STATE_PRESENT, timeout=30)
    watcher.join()
    if not state or not connected:
        return vicc, Failed("vicc is back, and the reader shows no card after 30 s")
    known, seen, _ = state
    back_ms = (seen - connected[0]) * 1000
    hresult, card, protocol = SCardConnect(context, reader, SCARD_SHARE_SHARED,
                                           SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
    if hresult != SCARD_S_SUCCESS:
        return vicc, Failed("SCardConnect to vicc's returned card: 0x%08X"
                            % (hresult & 0xFFFFFFFF))
    hresult, response = SCardTransmit(card, protocol, [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F,
                                                       0x00])
    SCardDisconnect(card, SCARD_UNPOWER_CARD)
    if hresult != SCARD_S_SUCCESS or response != [0x90, 0x00]:
        return vicc, Failed("SELECT MF on vicc's returned card: 0x%08X %r"
                            % (hresult & 0xFFFFFFFF, response))
    if "emulator=1" not in case_control.command(socket_path, "status"):
        return vicc, Failed("the daemon does not report vicc connected")
    return vicc, (known, gone_ms, back_ms)


def main():
    reader, socket_path, port, vicc_pid, rounds = sys.argv[1:6]
    port, vicc_pid, rounds = int(port), int(vicc_pid), int(rounds)
    hresult, context = SCardEstablishContext(SCARD_SCOPE_USER)
    assert hresult == SCARD_S_SUCCESS, hresult
    vicc = None
    leave, come = [], []
    try:
        state = wait_for(context, reader, SCARD_STATE_UNAWARE, SCARD_STATE_PRESENT)
        if not state:
            raise Failed("vicc's card is not in the reader")
        known = state[0]
        for _ in range(rounds):
            if vicc:
                stop_vicc = lambda old=vicc: (old.terminate(), old.wait())
            else:  # the one run_clients.sh started
                stop_vicc = lambda: os.kill(vicc_pid, signal.SIGTERM)
            vicc, outcome = one_round(context, reader, socket_path, port, stop_vicc, known)
            if isinstance(outcome, Failed):
                raise outcome
            known, gone_ms, back_ms = outcome
            leave.append(gone_ms)
            come.append(back_ms)
    except Failed as failure:
        print(failure)
        return 1
    finally:
        if vicc:
            vicc.terminate()
            vicc.wait()
        SCardReleaseContext(context)
    print("vicc exits -> EMPTY: median %.1f ms, max %.1f ms; vicc connects -> PRESENT: "
          "median %.1f ms, max %.1f ms (%d rounds)"
          % (median(leave), max(leave), median(come), max(come), rounds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
