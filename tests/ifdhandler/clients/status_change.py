#!/usr/bin/python3
"""A client waiting in SCardGetStatusChange sees the card taken out of the case and put back
through the daemon. Usage: status_change.py READER DAEMON_SOCKET [ROUNDS]"""
import sys
import threading
import time

from smartcard.scard import (SCARD_S_SUCCESS, SCARD_SCOPE_USER, SCARD_STATE_CHANGED,
                             SCARD_STATE_EMPTY, SCARD_STATE_PRESENT, SCARD_STATE_UNAWARE,
                             SCardEstablishContext, SCardGetStatusChange, SCardReleaseContext)

import case_control


def main():
    reader, socket_path = sys.argv[1], sys.argv[2]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    hresult, context = SCardEstablishContext(SCARD_SCOPE_USER)
    assert hresult == SCARD_S_SUCCESS, hresult
    hresult, states = SCardGetStatusChange(context, 0, [(reader, SCARD_STATE_UNAWARE)])
    assert hresult == SCARD_S_SUCCESS, hresult
    known = states[0][1] & ~SCARD_STATE_CHANGED
    failures = 0
    for change in ["remove", "insert t1"] * rounds:
        want = SCARD_STATE_EMPTY if change == "remove" else SCARD_STATE_PRESENT
        at = []

        def trigger():
            time.sleep(0.05)  # the client is waiting by then, most likely
            at.append(time.monotonic())
            case_control.command(socket_path, change)

        thread = threading.Thread(target=trigger)
        thread.start()
        seen = None
        deadline = time.monotonic() + 10
        while seen is None and time.monotonic() < deadline:
            hresult, states = SCardGetStatusChange(context, 5000, [(reader, known)])
            if hresult != SCARD_S_SUCCESS:
                continue
            known = states[0][1] & ~SCARD_STATE_CHANGED
            if known & want:
                seen = time.monotonic()
        thread.join()
        if seen is None:
            print("status change: %s never seen" % change)
            failures += 1
        else:
            print("status change: %-9s seen by the waiting client after %.1f ms"
                  % (change, (seen - at[0]) * 1000))
    SCardReleaseContext(context)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
