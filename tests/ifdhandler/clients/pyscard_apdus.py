#!/usr/bin/python3
"""pyscard through pcscd to the case: SELECT, ECHO and an extended ECHO on the reader's T=1
card, answers checked. Usage: pyscard_apdus.py READER"""
import sys

from smartcard.System import readers
from smartcard.util import toHexString

SELECT = [0x00, 0xA4, 0x04, 0x0C, 0x08, 0xF0, 0x56, 0x4F, 0x52, 0x41, 0x53, 0x45, 0x4C]


def echo(n):
    data = [(i * 7 + 1) & 0xFF for i in range(n)]
    if n <= 255:
        return [0x00, 0xEE, 0x00, 0x00, n] + data + [0x00], data
    return [0x00, 0xEE, 0x00, 0x00, 0x00, n >> 8, n & 0xFF] + data + [0x00, 0x00], data


def main():
    reader = next(r for r in readers() if str(r) == sys.argv[1])
    connection = reader.createConnection()
    connection.connect()
    print("pyscard: ATR", toHexString(connection.getATR()))
    failures = 0

    data, sw1, sw2 = connection.transmit(SELECT)
    print("pyscard: SELECT -> %s%02X %02X" % (toHexString(data) + " " if data else "", sw1, sw2))
    failures += (sw1, sw2) != (0x90, 0x00)

    for n in (4, 255, 4096, 65535):
        command, expected = echo(n)
        data, sw1, sw2 = connection.transmit(command)
        ok = (sw1, sw2) == (0x90, 0x00) and data == expected
        print("pyscard: ECHO of %d bytes (%d-byte APDU) -> %d bytes, %02X %02X, %s"
              % (n, len(command), len(data), sw1, sw2, "as sent" if ok else "WRONG"))
        failures += not ok
    connection.disconnect()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
