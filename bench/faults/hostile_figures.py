#!/usr/bin/env python3
"""Figures of the application server under hostile clients, with its default limits.

Starts `appserver` (the given binary) on a fresh SQLite database with the small demo set, on a
free loopback port, and measures, all on this machine's loopback:

  1. memory: 250 connections from eight loopback addresses (127.0.0.2 to .9) each greet, then
     announce a request of 4 MiB and send nothing more; the server's peak and current resident
     memory (VmHWM, VmRSS) before, while they hold, and after they leave;
  2. slow greetings: 8 connections send one byte of the greeting every second; the time until
     the server closes each (the greeting deadline, 10 s by default);
  3. the write lock: a client opens a cancel's transaction ("sustarttran") and keeps it busy with
     a request every second; the time until another writer gets the database (SQLite BEGIN
     IMMEDIATE from here, waiting up to 60 s), i.e. the longest one client holds the lock.

  bench/faults/hostile_figures.py build/linux/bin/appserver

Prints one line per figure. Every connection goes to 127.0.0.1 (from 127.0.0.x), the run is
bounded in time and count, and the server is stopped at the end.
"""
import os
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def text(s):
    b = s.encode()
    return varint(len(b)) + b


def frame(payload):
    return struct.pack("<I", len(payload)) + payload


def hello(prog_id):
    return frame(b"\x01QMDW" + varint(1) + text(prog_id))


def call(method):
    return frame(b"\x15" + text(method) + varint(0))


def read_frame(sock):
    head = b""
    while len(head) < 4:
        chunk = sock.recv(4 - len(head))
        if not chunk:
            return None
        head += chunk
    (n,) = struct.unpack("<I", head)
    body = b""
    while len(body) < n:
        chunk = sock.recv(n - len(body))
        if not chunk:
            return None
        body += chunk
    return body


def connect(port, source="127.0.0.1"):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def memory(pid):
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS"):
                fields[key] = int(value.split()[0]) / 1024
    return fields


def closed_within(sock, seconds):
    sock.settimeout(0.2)
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        try:
            if not sock.recv(65536):
                return True
        except socket.timeout:
            continue
        except OSError:
            return True
    return False


def main():
    binary = sys.argv[1]
    work = tempfile.mkdtemp(prefix="qmdw-hostile-")
    db = os.path.join(work, "db.sqlite")
    port_file = os.path.join(work, "port")
    subprocess.run([binary, "demo", "small", "--database", "sqlite:" + db], check=True,
                   stderr=subprocess.DEVNULL)
    server = subprocess.Popen([binary, "--database", "sqlite:" + db, "--port", "0",
                               "--port-file", port_file, "--log-level", "error"])
    try:
        for _ in range(500):
            if os.path.exists(port_file) and open(port_file).read().strip():
                break
            time.sleep(0.01)
        port = int(open(port_file).read())
        base = memory(server.pid)

        # 1. Memory under 250 connections announcing 4 MiB each.
        peers = []
        for i in range(250):
            s = connect(port, "127.0.0.%d" % (2 + i % 8))
            s.sendall(hello("LirraMISServer.CoStoreProduct"))
            assert read_frame(s) == b"\x82", "greeting refused"
            peers.append(s)
        greeted = memory(server.pid)
        for s in peers:
            s.sendall(struct.pack("<I", 4 << 20))
        time.sleep(1)
        holding = memory(server.pid)
        for s in peers:
            s.close()
        time.sleep(3)
        after = memory(server.pid)
        print("memory: %.1f MiB at start; %.1f MiB with 250 greeted clients; %.1f MiB while each "
              "held a 4 MiB request open (peak %.1f MiB); %.1f MiB after they left"
              % (base["VmRSS"], greeted["VmRSS"], holding["VmRSS"], holding["VmHWM"],
                 after["VmRSS"]))

        # 2. Slow greetings.
        greeting = hello("LirraMISServer.CoStoreProduct")
        slow = [connect(port, "127.0.0.10") for _ in range(8)]
        start = time.monotonic()
        stop = threading.Event()

        def trickle():
            for k in range(len(greeting)):
                for s in slow:
                    try:
                        s.send(greeting[k:k + 1])
                    except OSError:
                        pass
                if stop.wait(1.0):
                    return

        t = threading.Thread(target=trickle)
        t.start()
        shed = [closed_within(s, 30) for s in slow]
        took = time.monotonic() - start
        stop.set()
        t.join()
        print("slow greetings: %d of 8 shed after %.2f s (one byte a second)" % (sum(shed), took))

        # 3. The write lock held by a busy transaction.
        hostile = connect(port)
        hostile.sendall(hello("LirraMISServer.CoCommunicateObj"))
        assert read_frame(hostile) == b"\x82"
        hostile.sendall(call("sustarttran"))
        read_frame(hostile)
        held_from = time.monotonic()
        busy = threading.Event()

        def keep_busy():
            while not busy.wait(1.0):
                try:
                    hostile.sendall(call("sustarttran"))  # refused, but a request
                    read_frame(hostile)
                except OSError:
                    return

        k = threading.Thread(target=keep_busy)
        k.start()
        time.sleep(0.2)
        other = sqlite3.connect(db, timeout=60, isolation_level=None)
        other.execute("BEGIN IMMEDIATE")
        waited = time.monotonic() - held_from
        other.execute("ROLLBACK")
        other.close()
        busy.set()
        k.join()
        hostile.close()
        print("write lock: held by one busy client for %.2f s from its transaction's start"
              % waited)
    finally:
        server.terminate()
        server.wait(timeout=30)


if __name__ == "__main__":
    main()
