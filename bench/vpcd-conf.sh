#!/usr/bin/env bash
# Writes a reader.conf.d entry for vsmartcard's vpcd on a free pair of local ports (vpcd serves
# two readers, on the port and the next one) and prints the port, where the echo card connects.
# Usage: bench/vpcd-conf.sh FILE
set -euo pipefail
port=$(python3 -c '
import socket
while True:
    a = socket.socket(); a.bind(("127.0.0.1", 0)); p = a.getsockname()[1]
    b = socket.socket()
    try:
        b.bind(("127.0.0.1", p + 1)); print(p); break
    except OSError:
        pass
    finally:
        a.close(); b.close()')
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME   /dev/null:%s\nLIBPATH      %s\nCHANNELID    %s\n' \
    "$port" /usr/lib/pcsc/drivers/serial/libifdvpcd.so "$port" >"$1"
echo "$port"
