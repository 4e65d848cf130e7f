#!/usr/bin/python3
"""Waits (10 s at most) until pcscd lists READER with a card in it, other than the card with
ATR OLD_ATR when one is given, and prints the card's ATR.
Usage: wait_for_card.py READER [OLD_ATR]"""
import sys
import time

from smartcard.scard import (SCARD_S_SUCCESS, SCARD_SCOPE_USER, SCARD_STATE_CHANGED,
                             SCARD_STATE_PRESENT, SCARD_STATE_UNAWARE, SCardEstablishContext,
                             SCardGetStatusChange, SCardListReaders)
from smartcard.util import toHexString


def main():
    reader = sys.argv[1]
    old = sys.argv[2] if len(sys.argv) > 2 else None
    hresult, context = SCardEstablishContext(SCARD_SCOPE_USER)
    assert hresult == SCARD_S_SUCCESS, hresult
    deadline = time.monotonic() + 10
    known = SCARD_STATE_UNAWARE
    while time.monotonic() < deadline:
        hresult, names = SCardListReaders(context, [])
        if hresult != SCARD_S_SUCCESS or reader not in names:
            time.sleep(0.05)
            continue
        hresult, states = SCardGetStatusChange(context, 1000, [(reader, known)])
        if hresult != SCARD_S_SUCCESS:
            continue
        known = states[0][1] & ~SCARD_STATE_CHANGED
        atr = toHexString(states[0][2])
        if known & SCARD_STATE_PRESENT and atr and atr != old:
            print(atr)
            return 0
    print("no new card in %r after 10 s" % reader, file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
