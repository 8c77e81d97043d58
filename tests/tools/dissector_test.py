#!/usr/bin/env python3
"""Checks tools/kelmar.lua against traffic of the real programs, captured on loopback.

Usage: dissector_test.py --host PATH --peer PATH --lua PATH
Exit status 77 (skipped) when tshark or dumpcap is missing or capturing is not allowed.
"""
import argparse
import json
import os
import random
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

SKIP = 77
LIMIT = 20.0  # seconds any single wait may take before the test fails
CAPTURE_LIMIT = 90.0  # the same for waits that read the capture file (slow on a busy machine)

failures = []


T0 = time.monotonic()


def step(what):
    print("[%5.1f s] %s" % (time.monotonic() - T0, what), flush=True)


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL: " + what)


def free_udp_ports(n):
    socks, ports = [], []
    for _ in range(n):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        socks.append(s)
        ports.append(s.getsockname()[1])
    for s in socks:
        s.close()
    return ports


def wait_for(pred, what, limit=LIMIT):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(0.02)
    check(False, "timed out waiting for " + what)
    return False


def file_has(path, text):
    try:
        with open(path, encoding="utf-8", errors="replace") as fh:
            return text in fh.read()
    except OSError:
        return False


class Capture:
    """dumpcap on lo with a filter, bounded by a duration; stopped early by SIGINT."""

    PROBE = b"kn-dissector-start-probe"

    def __init__(self, workdir, name, bpf):
        self.path = os.path.join(workdir, name + ".pcapng")
        self.err = os.path.join(workdir, name + ".dumpcap.err")
        with open(self.err, "w") as err:
            self.proc = subprocess.Popen(
                ["dumpcap", "-i", "lo", "-f", bpf, "-a", "duration:300", "-w", self.path],
                stdout=subprocess.DEVNULL, stderr=err)

    def ready(self, port):
        """True once datagrams to port reach the file: "Capturing on" comes a little
        before the filter takes packets, so probes are sent until one is captured."""
        if not wait_for(lambda: file_has(self.err, "Capturing on") or self.proc.poll() is not None,
                        "dumpcap to start") or self.proc.poll() is not None:
            return False
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            def captured():
                s.sendto(self.PROBE, ("127.0.0.1", port))
                return self.packets() > 0
            return wait_for(captured, "the capture to take packets", CAPTURE_LIMIT)

    def packets(self):
        """The packet count dumpcap last reported on its standard error."""
        try:
            with open(self.err, encoding="utf-8", errors="replace") as fh:
                counts = re.findall(r"Packets: (\d+)", fh.read())
        except OSError:
            return 0
        return int(counts[-1]) if counts else 0

    def probes(self):
        """Frames before the first one that counts: the probes of ready()."""
        return max(self.frames_with(self.PROBE) or [0])

    def frames_with(self, text):
        res = subprocess.run(["tshark", "-n", "-r", self.path, "-T", "fields", "-e",
                              "frame.number", "-Y", 'udp contains "%s"' % text.decode()],
                             capture_output=True, text=True, timeout=60)
        return [int(v) for v in res.stdout.split()]

    def stop(self, port):
        # A datagram sent on lo is captured as it is sent, so once a marker sent last is
        # in the file, every datagram before it is too.
        mark = b"kn-dissector-end-mark"
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.sendto(mark, ("127.0.0.1", port))

        def marked():
            return bool(self.frames_with(mark))
        wait_for(marked, "the capture to take everything sent", CAPTURE_LIMIT)
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def tshark(lua, pcap, *args):
    cmd = ["tshark", "-n", "-X", "lua_script:" + lua, "-o", "udp.try_heuristic_first:TRUE",
           "-r", pcap] + list(args)
    res = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    out = res.stdout + res.stderr
    check("Lua Error" not in out and "Dissector fault" not in out and "kelmar.fault" not in out,
          "no Lua error in: " + " ".join(cmd) + "\n" + "\n".join(
              l for l in out.splitlines() if "Lua" in l or "fault" in l)[:2000])
    return res.stdout


FIELDS = ["frame.number", "udp.srcport", "udp.dstport", "kelmar.type", "kelmar.key.status",
          "kelmar.password", "kelmar.salt", "kelmar.link", "kelmar.beacon.first",
          "kelmar.beacon.second", "kelmar.connect.digest", "kelmar.connect.password",
          "kelmar.connect.padding", "kelmar.accept.link", "kelmar.turn.size", "kelmar.slot",
          "kelmar.fault"]


def decode_fields(lua, pcap, *prefs, extra=()):
    args = list(extra)
    for p in prefs:
        args += ["-o", p]
    args += ["-T", "fields", "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=,"]
    for name in FIELDS:
        args += ["-e", name]
    rows = []
    for line in tshark(lua, pcap, *args).splitlines():
        cols = line.split("\t")
        cols += [""] * (len(FIELDS) - len(cols))
        row = dict(zip(FIELDS, cols))
        check(row["kelmar.fault"] == "", "frame %s: dissector fault %s"
              % (row["frame.number"], row["kelmar.fault"]))
        if row["kelmar.type"]:
            rows.append(row)
    return rows


def run_traffic(args, workdir, host_port, listen_port, deny_port):
    """Runs the scenarios; returns once every program has ended."""
    procs = []

    def start(name, argv, stdin=None):
        out = open(os.path.join(workdir, name + ".out"), "w")
        p = subprocess.Popen(argv, stdin=stdin or subprocess.DEVNULL, stdout=out,
                             stderr=subprocess.STDOUT, text=True)
        procs.append((name, p))
        return p, out.name

    def connected(path):
        return lambda: file_has(path, '"state":"connected"')

    # The endpoint host (empty password) and a peer that connects to it, sends levels and
    # a beacon, then leaves (a close notice).
    host, host_out = start("host", [args.host, "-p", str(host_port), "-d", "40,50", "--json",
                                    "-l", "0"], stdin=subprocess.PIPE)
    wait_for(lambda: file_has(host_out, '"event"') or host.poll() is not None, "kelmar-host")
    hp, hp_out = start("peer_host", [args.peer, "connect", "127.0.0.1:%d" % host_port,
                                      "-d", "10,20,30", "-b", "7,8", "-s", "3", "--json"])

    # A listening peer with a password; a peer that connects with it, one that comes as a
    # second party (busy) and one with a wrong password (refused).
    # The listener sends no levels, so it keeps the link up with alive messages.
    lp, lp_out = start("listener", [args.peer, "listen", "-p", str(listen_port), "-P", "secret",
                                     "-s", "8", "--json"])
    wait_for(lambda: file_has(lp_out, '"event"') or lp.poll() is not None, "the listener")
    cp, cp_out = start("peer_pw", [args.peer, "connect", "127.0.0.1:%d" % listen_port,
                                    "-P", "secret", "-d", "10,20,30", "-b", "9,10", "-s", "4",
                                    "--json"])
    wait_for(connected(cp_out), "the password peer to connect")
    start("second", [args.peer, "connect", "127.0.0.1:%d" % listen_port, "-P", "secret",
                     "-s", "1", "--json"])
    wp, wp_out = start("wrong", [args.peer, "connect", "127.0.0.1:%d" % listen_port,
                                 "-P", "wrong", "-s", "3", "--json"])

    # A listener that denies every request.
    dp, dp_out = start("denier", [args.peer, "listen", "-p", str(deny_port), "-P", "secret",
                                   "--deny", "-s", "4", "--json"])
    wait_for(lambda: file_has(dp_out, '"event"') or dp.poll() is not None, "the denier")
    start("denied", [args.peer, "connect", "127.0.0.1:%d" % deny_port, "-P", "secret",
                     "-s", "2", "--json"])

    wait_for(lambda: file_has(wp_out, "refused"), "the refusal of the wrong password")
    wait_for(lambda: hp.poll() is not None, "the host's peer to leave")
    host.stdin.write("quit\n")
    host.stdin.flush()
    for name, p in procs:
        try:
            p.wait(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            check(False, name + " ended")


def send_random(port, count, seed):
    """Random and crafted datagrams to 127.0.0.1:port, each received before the next."""
    rnd = random.Random(seed)
    rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    rx.bind(("127.0.0.1", port))
    rx.settimeout(LIMIT)
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    types = [1, 2, 4, 5, 6, 7, 8, 12, 13, 14, 0, 3, 9, 255]
    crafted = [
        bytes([12, 1, 2]) + bytes([0xFF] * 6),     # a turn of 768 bytes: past 513
        bytes([12, 1, 2, 0x7F]) + bytes(10),       # ends inside a literal run
        bytes([6, 1, 2]),                          # accept of 3 bytes
        bytes([1]) + bytes(12),                    # beacon of 13 bytes
        bytes([5, 1]),                             # shorter than the header
        b"",
    ]
    datagrams = list(crafted)
    for _ in range(count):
        n = rnd.choice([0, 1, 2, 3, 3, 4, 8, 11, 20, rnd.randrange(0, 800)])
        d = bytearray(rnd.getrandbits(8) for _ in range(n))
        if n and rnd.random() < 0.8:
            d[0] = rnd.choice(types)
        datagrams.append(bytes(d))
    for d in datagrams:
        tx.sendto(d, ("127.0.0.1", port))
        rx.recv(2048)
    tx.close()
    rx.close()
    return datagrams


def reference_turn(payload):
    """The receiver's decompression: a 514-byte buffer whose byte 0 is the seed 0."""
    buf, pos, literal, limit = [0] * 514, 1, 0, 514
    for b in payload:
        if literal:
            if pos < limit:
                buf[pos] = b
                pos += 1
            literal -= 1
        elif b & 0x80:
            for _ in range(min((b & 0x7F) + 1, limit - pos)):
                buf[pos] = buf[pos - 1]
                pos += 1
        elif b == 0:
            for _ in range(min(2, limit - pos)):
                buf[pos] = 0
                pos += 1
        else:
            literal = b
        if pos >= limit:
            break
    return buf[1:pos]


def crc_table():
    tbl = []
    for n in range(256):
        c = n
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        tbl.append(c)
    return tbl


CRC = crc_table()
SEED = 0x57464251  # "QBFW" little-endian


def crc_next(r, b):
    return (r >> 8) ^ CRC[(r ^ b) & 0xFF]


def digest(pw):
    r = SEED
    for b in pw:
        r = crc_next(r, b)
    return ~r & 0xFFFFFFFF


def scramble(pak, n, key):
    pak, r = bytearray(pak), key
    for i in range(1, n):
        p = pak[i]
        pak[i] = p ^ ((r ^ (r >> 8)) & 0xFF)
        r = crc_next(r, p)
    return bytes(pak)


def write_pcap(path, packets):
    """packets: (source port, destination port, payload) on 127.0.0.1, raw IPv4 link."""
    with open(path, "wb") as fh:
        fh.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 101))
        for i, (sport, dport, data) in enumerate(packets):
            udp = struct.pack(">HHHH", sport, dport, 8 + len(data), 0) + data
            ip = struct.pack(">BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                             bytes([127, 0, 0, 1]), bytes([127, 0, 0, 1]))
            fh.write(struct.pack("<IIII", i, 0, len(ip + udp), len(ip + udp)) + ip + udp)


def crafted_conversation(path):
    """Messages the programs never send in a short run: alive, an exact 513-byte turn,
    an overlong turn, a pair whose handshake was not captured."""
    req, acc, other = 40001, 51209, 40002
    k_acc, k_req = digest(b"secret"), digest(b"me")
    # Start code 0 and slots 1..253 as literals, then slot 253 repeated 128 + 128 + 3
    # times: 513 bytes.
    full = bytes([0x7F]) + bytes(range(0, 127)) + bytes([0x7F]) + bytes(range(127, 254)) + \
        bytes([0xFF, 0xFF, 0x82])
    write_pcap(path, [
        (req, acc, scramble(bytes([4, 9, 0x33]) + struct.pack(">I", k_req) + b"secret" +
                            bytes(3), 16, k_acc)),
        (acc, req, scramble(bytes([6, 1, 0x33, 0x44]), 4, k_req)),
        (acc, req, scramble(bytes([14, 2, 0x44]), 3, k_req)),
        (req, acc, scramble(bytes([14, 3, 0x33]), 3, k_acc)),
        (req, acc, scramble(bytes([12, 4, 0x33]) + full, 3, k_acc)),
        (acc, req, scramble(bytes([12, 5, 0x44]) + full + bytes([0x01, 0x09]), 3, k_req)),
        (other, acc, scramble(bytes([13, 6, 0x55]), 3, k_acc)),
        (acc, req, scramble(bytes([5, 7, 0x44]), 3, k_req)),
    ])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", required=True)
    ap.add_argument("--peer", required=True)
    ap.add_argument("--lua", required=True)
    ap.add_argument("--keep", help="copy the captures to this folder")
    args = ap.parse_args()

    for tool in ("tshark", "dumpcap"):
        if shutil.which(tool) is None:
            print("SKIP: %s not installed (bash scripts/deps.sh installs it)" % tool)
            return SKIP

    workdir = tempfile.mkdtemp(prefix="kn-dissector-")
    host_port, listen_port, deny_port, rand_port = free_udp_ports(4)

    # --- traffic of the real programs -------------------------------------------------
    cap = Capture(workdir, "programs", "udp and (port %d or port %d or port %d)"
                  % (host_port, listen_port, deny_port))
    if not cap.ready(host_port):
        if failures:
            return 1
        print("SKIP: cannot capture on lo: " + open(cap.err).read().strip())
        return SKIP
    step("capturing the programs")
    run_traffic(args, workdir, host_port, listen_port, deny_port)
    step("programs done")
    cap.stop(host_port)

    # --- random datagrams -------------------------------------------------------------
    rcap = Capture(workdir, "random", "udp and port %d" % rand_port)
    if not rcap.ready(rand_port):
        return 1
    step("random datagrams")
    datagrams = send_random(rand_port, 1500, 51209)
    rcap.stop(rand_port)
    step("decoding")
    skip = rcap.probes()
    sent = skip + len(datagrams) + 1  # probes, datagrams and the end marker

    if args.keep:
        os.makedirs(args.keep, exist_ok=True)
        for name in ("programs.pcapng", "random.pcapng"):
            shutil.copy(os.path.join(workdir, name), args.keep)

    lua = args.lua
    rows = decode_fields(lua, cap.path, "kelmar.passwords:secret")
    check(len(rows) > 20, "the capture holds the programs' messages (%d)" % len(rows))
    by_type = {}
    for r in rows:
        by_type.setdefault(int(r["kelmar.type"]), []).append(r)
    # No alive here: the programs hand over a turn every frame, so the link never idles
    # for 2000 ms; the crafted conversation below covers it.
    for t in (1, 2, 4, 5, 6, 7, 8, 12, 13):
        check(t in by_type, "a message of type %d was captured and decoded" % t)

    def port_of(r, side):
        return int(r["udp.srcport" if side == "src" else "udp.dstport"])

    # Every message of the good conversations opens with a key; only the requests of the
    # wrong password (and what the listener sends nowhere else) stay scrambled.
    for r in rows:
        st = r["kelmar.key.status"]
        t = int(r["kelmar.type"])
        if t in (1, 2):
            check(st == "1", "frame %s: type %d uses the fixed key" % (r["frame.number"], t))
        check(st != "", "frame %s has a key status" % r["frame.number"])

    beacons = [(r["kelmar.beacon.first"], r["kelmar.beacon.second"]) for r in by_type.get(1, [])]
    check(("7", "8") in beacons, "the host peer's beacon 7,8 decoded: %s" % beacons)
    check(("9", "10") in beacons, "the password peer's beacon 9,10 decoded: %s" % beacons)
    for r in by_type.get(1, []) + by_type.get(2, []):
        check(r["kelmar.link"] == "0x00", "fixed-key message link byte 0 (frame %s)"
              % r["frame.number"])

    connects = by_type.get(4, [])
    verified = [r for r in connects if r["kelmar.key.status"] == "2"]
    not_desc = [r for r in connects if r["kelmar.key.status"] == "0"]
    check(any(r["kelmar.connect.password"] == "secret" and r["kelmar.password"] == "secret"
              for r in verified), "a connect verified with password 'secret'")
    check(any(r["kelmar.connect.password"] == "" and port_of(r, "dst") == host_port
              for r in verified), "the host's connect verified with the empty password")
    for r in verified:
        check(r["kelmar.connect.digest"].startswith("0x") and r["kelmar.connect.padding"] != "",
              "connect frame %s shows digest and padding" % r["frame.number"])
    check(len(not_desc) > 0, "the wrong password's requests show as not descrambled")
    for r in not_desc:
        check(r["kelmar.connect.password"] == "" and r["kelmar.salt"] == "",
              "an undescrambled connect shows no payload (frame %s)" % r["frame.number"])
        check(port_of(r, "dst") == listen_port, "only requests to the listener fail")

    accepts = by_type.get(6, [])
    check(any(r["kelmar.key.status"] == "3" and r["kelmar.accept.link"] != "" for r in accepts),
          "an accept matches the handshake and shows the acceptor's link id")

    for t, name in ((5, "close"), (7, "busy"), (8, "deny")):
        check(any(r["kelmar.key.status"] == "3" for r in by_type.get(t, [])),
              "the %s message matches the handshake's link id" % name)

    turns = by_type.get(12, [])
    peer_turns = [r for r in turns if r["kelmar.slot"].startswith("10,20,30")]
    check(any(port_of(r, "dst") == host_port for r in peer_turns),
          "the peer's levels 10,20,30 decoded in turns to the host")
    check(any(port_of(r, "dst") == listen_port for r in peer_turns),
          "the password peer's levels 10,20,30 decoded in turns to the listener")
    check(any(r["kelmar.slot"].startswith("40,50,0") and port_of(r, "src") == host_port
              for r in turns), "the host's levels 40,50 decoded")
    for r in turns:
        check(r["kelmar.key.status"] == "3",
              "turn frame %s opens with the handshake's key (status %s)"
              % (r["frame.number"], r["kelmar.key.status"]))

    # With only a wrong password nothing is claimed to open: requests are not
    # descrambled, and no message says it matched a password.
    wrong = decode_fields(lua, cap.path, "kelmar.passwords:nope", "kelmar.try_empty:FALSE")
    check(len(wrong) == len(rows), "same messages found with a wrong password")
    for r in wrong:
        t = int(r["kelmar.type"])
        if t == 4:
            check(r["kelmar.key.status"] == "0" and r["kelmar.connect.password"] == "",
                  "connect frame %s not descrambled under a wrong password" % r["frame.number"])
        check(r["kelmar.key.status"] in ("0", "1", "4"),
              "frame %s claims no verified key under a wrong password" % r["frame.number"])
        check(r["kelmar.password"] == "", "frame %s names no password" % r["frame.number"])
    # Turns still decode: their payload travels in clear.
    check(any(r["kelmar.slot"].startswith("10,20,30") for r in wrong),
          "turn payloads decode without the key")

    # Without the heuristic only the port decides: none here, until the preference names
    # the host's port.
    noheur = ["--disable-heuristic", "kelmar_udp"]
    check(decode_fields(lua, cap.path, extra=noheur) == [],
          "without the heuristic nothing on other ports is taken")
    hrows = decode_fields(lua, cap.path, "kelmar.port:%d" % host_port, extra=noheur)
    check(len(hrows) > 0 and all(host_port in (port_of(r, "src"), port_of(r, "dst"))
                                 for r in hrows), "the port preference moves the port")

    # The full tree and the Info line, in one pass each.
    verbose = tshark(lua, cap.path, "-o", "kelmar.passwords:secret", "-V")
    check("Slot 3: 30" in verbose, "the slot subtree names the slots")
    info = tshark(lua, cap.path, "-o", "kelmar.passwords:secret")
    check("1=10 2=20 3=30" in info, "the Info line shows the first non-zero levels")

    # Random datagrams: decoded as the protocol on their port and by the heuristic; no
    # Lua error either way, the malformed ones marked.
    rrows = tshark(lua, rcap.path, "-d", "udp.port==%d,kelmar" % rand_port,
                   "-T", "fields", "-e", "frame.number", "-e", "_ws.expert.message")
    check(len(rrows.splitlines()) == sent, "random capture complete (%d of %d)"
          % (len(rrows.splitlines()), sent))
    check("Turn decodes past 513 bytes" in rrows or "more than 513" in rrows,
          "an overlong turn is marked")
    check("Accept of 3 bytes" in rrows, "a wrong length is marked")
    # Every turn among them decodes as the receiver decodes it (datagrams past 768 bytes
    # are cut there, as the receive buffer cuts them).
    trows = tshark(lua, rcap.path, "-d", "udp.port==%d,kelmar" % rand_port, "-T", "fields",
                   "-E", "occurrence=a", "-E", "aggregator=,", "-e", "kelmar.turn.size",
                   "-e", "kelmar.turn.start_code", "-e", "kelmar.slot").splitlines()
    turns_checked = 0
    for d, row in zip(datagrams, trows[skip:]):
        if len(d) < 3 or d[0] != 12:
            continue
        want = reference_turn(d[3:768])
        size, start, slots = (row.split("\t") + ["", "", ""])[:3]
        got = ([int(start, 16)] if start else []) + [int(v) for v in slots.split(",") if v]
        check(size == str(len(want)) and got == want,
              "random turn of %d bytes decodes as the receiver does" % len(d))
        turns_checked += 1
    check(turns_checked > 50, "random turns compared (%d)" % turns_checked)
    tshark(lua, rcap.path, "-V")
    tshark(lua, rcap.path, "-d", "udp.port==%d,kelmar" % rand_port, "-V",
           "-o", "kelmar.passwords:a,b,secret")

    # A crafted conversation, decoded against an independent descrambler (above).
    crafted = os.path.join(workdir, "crafted.pcap")
    crafted_conversation(crafted)
    crows = decode_fields(lua, crafted, "kelmar.passwords:secret")
    check([r["kelmar.type"] for r in crows] == ["4", "6", "14", "14", "12", "12", "13", "5"],
          "crafted messages decoded: %s" % [r["kelmar.type"] for r in crows])
    if len(crows) == 8:
        check([r["kelmar.key.status"] for r in crows] == ["2", "3", "3", "3", "3", "3", "4", "3"],
              "crafted key decisions: %s" % [r["kelmar.key.status"] for r in crows])
        check([r["kelmar.link"] for r in crows[2:4]] == ["0x44", "0x33"], "alive link ids")
        check(crows[1]["kelmar.accept.link"] == "0x44", "the acceptor's link id")
        check(crows[4]["kelmar.turn.size"] == "513" and
              crows[4]["kelmar.slot"].split(",")[:3] == ["1", "2", "3"] and
              crows[4]["kelmar.slot"].split(",")[-1] == "253",
              "a full 513-byte turn decodes: %s" % crows[4]["kelmar.turn.size"])
        check(crows[6]["kelmar.password"] == "", "an assumed key names no password")
    cexp = tshark(lua, crafted, "-o", "kelmar.passwords:secret", "-T", "fields",
                  "-e", "_ws.expert.message").splitlines()
    check(len(cexp) == 8 and "513" not in cexp[4] and "more than 513" in cexp[5],
          "only the overlong turn is marked: %s" % cexp[4:6])
    check(len(decode_fields(lua, crafted, "kelmar.passwords:secret",
                            extra=["--disable-heuristic", "kelmar_udp"])) == 8,
          "port 51209 is decoded without the heuristic")
    wrows = decode_fields(lua, crafted, "kelmar.passwords:wrong", "kelmar.try_empty:FALSE")
    check([r["kelmar.key.status"] for r in wrows] == ["0", "4", "4", "4", "4", "4", "4", "4"],
          "a wrong password verifies nothing: %s" % [r["kelmar.key.status"] for r in wrows])

    if failures:
        print("%d check(s) failed; captures in %s" % (len(failures), workdir))
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    print("dissector: all checks passed (%d messages of the programs, %d random datagrams)"
          % (len(rows), sent))
    return 0


if __name__ == "__main__":
    sys.exit(main())
