"""Raw-socket helpers for the tests of the tool's HTTP servers (serve and
mcp --http): bytes sent exactly as written, a body sent while the server
reads, slow clients, and the server's memory."""

import re
import select
import socket
import threading


def raw(port, data, timeout=30):
    """Sends the bytes `data` on a connection of its own; returns all that comes back."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as c:
        c.sendall(data)
        got = b""
        while True:
            part = c.recv(65536)
            if not part:
                return got
            got += part


def send_until_answered(port, head, chunks):
    """Sends `head`, then the chunks while the server reads; stops at its
    answer. Returns (status or None, bytes sent after the head)."""
    sent = 0
    with socket.create_connection(("127.0.0.1", port), timeout=30) as c:
        c.sendall(head)
        for chunk in chunks:
            if select.select([c], [], [], 0)[0]:
                break
            try:
                c.sendall(chunk)
            except OSError:
                break
            sent += len(chunk)
        c.settimeout(30)
        answer = b""
        while b"\r\n\r\n" not in answer:
            part = c.recv(65536)
            if not part:
                break
            answer += part
    m = re.match(rb"HTTP/1\.1 (\d{3}) ", answer)
    return (int(m.group(1)) if m else None), sent


class Tricklers:
    """`count` connections that each send `data` one byte every 2 s until the
    server answers or closes; `answers[i]` is then what connection i got
    (bytes) or the error it met."""

    def __init__(self, port, data, count):
        self.stop = threading.Event()
        self.answers = [None] * count
        self.threads = [threading.Thread(target=self._trickle, args=(port, data, i), daemon=True)
                        for i in range(count)]
        for t in self.threads:
            t.start()

    def _trickle(self, port, data, i):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=30) as c:
                for b in data:
                    c.sendall(bytes([b]))
                    if select.select([c], [], [], 2.0)[0] or self.stop.is_set():
                        break
                self.answers[i] = c.recv(200)
        except OSError as e:
            self.answers[i] = e

    def join(self, timeout):
        """Waits for every connection to end; returns the ones still running."""
        for t in self.threads:
            t.join(timeout=timeout)
        return [t for t in self.threads if t.is_alive()]


def peak_memory(pid):
    """The process's peak resident size in bytes (VmHWM), or None off Linux."""
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        return None
    return None
