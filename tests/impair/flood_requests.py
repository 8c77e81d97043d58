#!/usr/bin/env python3
"""Floods a listening peer with connection requests that carry a wrong password.

Usage: flood_requests.py --to HOST:PORT [--from-port N] [--sources K] [--rate R]
                         [--seconds S] [--linger L] [--password TEXT] [--key-password TEXT]

Sends R requests a second for S seconds, in turn from K UDP sockets (bound to ports N to
N + K - 1, or to any ports when N is 0), keeps listening L seconds more, and prints one
JSON line: how many requests went out, the number of answers of each kind, and the times
of the refusals in ms after the first request. Each request names the password TEXT
(default "wrong") and is scrambled with the digest of --key-password (default: the empty
password, the listener's own), so that the listener reads exactly the wrong password
rather than garbage.
"""
import argparse
import json
import os
import select
import socket
import time

SEED = int.from_bytes(b"QBFW", "little")  # the key of beacons and refusals
TABLE = []
for n in range(256):
    c = n
    for _ in range(8):
        c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
    TABLE.append(c)

KINDS = {2: "refuse", 6: "accept", 7: "busy", 8: "deny"}


def step(r, b):
    return (r >> 8) ^ TABLE[(r ^ b) & 0xFF]


def digest(password):
    r = SEED
    for b in password:
        r = step(r, b)
    return ~r & 0xFFFFFFFF


def scramble(pak, key):
    out, r = bytearray(pak), key
    for i in range(1, len(pak)):
        out[i] = pak[i] ^ ((r ^ (r >> 8)) & 0xFF)
        r = step(r, pak[i])
    return bytes(out)


def descramble(pak, key):
    out, r = bytearray(pak), key
    for i in range(1, len(pak)):
        out[i] = pak[i] ^ ((r ^ (r >> 8)) & 0xFF)
        r = step(r, out[i])
    return bytes(out)


def request(password, key, rnd):
    own = digest(b"flood")
    body = bytes([4, rnd[0], rnd[1]]) + own.to_bytes(4, "big") + password
    return scramble(body + bytes((rnd[2] & 15) + 1), key)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--to", required=True)
    ap.add_argument("--from-port", type=int, default=0)
    ap.add_argument("--sources", type=int, default=1)
    ap.add_argument("--rate", type=float, default=1000)
    ap.add_argument("--seconds", type=float, default=2)
    ap.add_argument("--linger", type=float, default=2.5)
    ap.add_argument("--password", default="wrong")
    ap.add_argument("--key-password", default="")
    a = ap.parse_args()
    host, port = a.to.rsplit(":", 1)
    dest = (host, int(port))
    key = digest(a.key_password.encode())

    socks = []
    for i in range(a.sources):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("0.0.0.0", a.from_port + i if a.from_port else 0))
        s.setblocking(False)
        socks.append(s)
    print(json.dumps({"event": "flooding", "port": socks[0].getsockname()[1]}), flush=True)

    total = int(a.rate * a.seconds)
    start = time.monotonic()
    end = start + a.seconds + a.linger
    sent = 0
    answers = []
    while True:
        now = time.monotonic()
        while sent < total and start + sent / a.rate <= now:
            try:
                socks[sent % len(socks)].sendto(request(a.password.encode(), key, os.urandom(3)), dest)
            except (BlockingIOError, InterruptedError):
                break
            sent += 1
        if now >= end:
            break
        due = start + sent / a.rate if sent < total else end
        ready, _, _ = select.select(socks, [], [], max(0.0, min(due, end) - now))
        for s in ready:
            try:
                data, src = s.recvfrom(2048)
            except (BlockingIOError, InterruptedError):
                continue
            at = round((time.monotonic() - start) * 1000.0, 1)
            kind = KINDS.get(data[0], "type %d" % data[0]) if data else "empty"
            if data and data[0] == 2:
                plain = descramble(data, SEED)
                if len(plain) != 3 or plain[2] != 0:
                    kind = "malformed refuse"
            answers.append({"kind": kind, "ms": at})
    kinds = {}
    for x in answers:
        kinds[x["kind"]] = kinds.get(x["kind"], 0) + 1
    print(json.dumps({"event": "done", "sent": sent, "answers": len(answers), "kinds": kinds,
                      "refusal_ms": [x["ms"] for x in answers if x["kind"] == "refuse"]}),
          flush=True)


if __name__ == "__main__":
    main()
