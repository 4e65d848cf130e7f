"""The accessory daemon's command socket, for the client checks: "COMMAND <words>" in, one
answer line out."""
import socket


def command(socket_path, words):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(socket_path)
        s.sendall(("COMMAND %s\n" % words).encode())
        answer = s.makefile().readline().strip()
    if not answer.startswith("OK"):
        raise RuntimeError("daemon answered %r to %r" % (answer, words))
    return answer


def tcp_connected(port):
    """Whether a TCP connection to 127.0.0.1:port is established (read from /proc/net/tcp)."""
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            local_port = int(fields[1].split(":")[1], 16)
            if local_port == port and fields[3] == "01":
                return True
    return False


if __name__ == "__main__":
    import sys

    if sys.argv[1] == "connected":
        sys.exit(0 if tcp_connected(int(sys.argv[2])) else 1)
    print(command(sys.argv[1], " ".join(sys.argv[2:])))
