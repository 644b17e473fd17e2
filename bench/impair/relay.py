#!/usr/bin/python3
"""The impairment relay of bench/impair: a UDP relay on loopback between
phones under test and their echoing peers (sipp -rtp_echo), one flow per
phone, all in one process and one event loop.

  relay.py --flow PORT:PEER_PORT [--flow ...] --seed N [impairments] --stats FILE

Each flow listens on 127.0.0.1:PORT (the media address the peer's SDP
names) and PORT+1 (RTCP, read and dropped). What the phone sends there goes
on at once, untouched, to 127.0.0.1:PEER_PORT from a socket of the flow's
own; what comes back on that socket (the echo) is impaired and sent to the
phone from PORT, to the address its packets came from. So only the phone's
receiving side sees a bad network.

Impairments of the return path, drawn per packet from a generator seeded
with --seed, so the n-th echoed packet of a flow meets the same fate in
every flow and every run with that seed (three draws per packet, used or
not):
  --loss P             random loss, probability P (0..1)
  --burst-loss P       Gilbert-Elliott loss with mean loss P and mean burst
  --burst-len B          length B packets: two states, Good (loss k = 0) and
                         Bad (loss h = 1); Good -> Bad with probability
                         p = P r / (1 - P), Bad -> Good with r = 1 / B, so
                         the stationary loss p / (p + r) is P and bursts
                         last B packets on average (geometric)
  --jitter MS          per-packet extra delay, exponential with mean and
                         standard deviation MS (a shifted exponential: the
                         fixed part of a path's delay is 0 on loopback);
                         packets whose delays cross go out reordered
  --spikes             besides, delay spikes: every 10 s (+-2 s, seeded) the
                         packets arriving within 100 ms (five of 20 ms)
                         get 150 ms more; times count from the flow's first
                         echoed packet

The loop: a heap of (due time, order, packet) on the monotonic clock;
select() waits until the earliest due time or a packet; everything due is
sent. Its own timing error (send time minus due time, per packet) is kept
and written with the counts to --stats as JSON at exit (SIGTERM or SIGINT).
"""
import argparse
import heapq
import json
import math
import random
import select
import signal
import socket
import sys
import time

SPIKE_EVERY_S = 10.0
SPIKE_SPREAD_S = 2.0
SPIKE_WINDOW_S = 0.100
SPIKE_EXTRA_S = 0.150


class Fate:
    """Loss and delay of each echoed packet of one flow, in arrival order."""

    def __init__(self, seed, loss=0.0, burst_loss=0.0, burst_len=3.0, jitter_ms=0.0, spikes=False):
        self.rng = random.Random(seed)
        self.loss, self.jitter = loss, jitter_ms / 1000.0
        self.bad = False
        if burst_loss > 0:
            self.r = 1.0 / burst_len
            self.p = burst_loss * self.r / (1.0 - burst_loss)
        else:
            self.p = self.r = 0.0
        srng = random.Random(seed ^ 0x5A17)
        self.spikes = []
        if spikes:
            t = 0.0
            for _ in range(100):
                t += SPIKE_EVERY_S
                self.spikes.append(t + srng.uniform(-SPIKE_SPREAD_S, SPIKE_SPREAD_S))

    def next(self, since_first_s):
        """(lost, delay in seconds) of the next packet, which arrived since_first_s
        after the flow's first echoed packet."""
        u_state, u_loss, u_delay = self.rng.random(), self.rng.random(), self.rng.random()
        lost = False
        if self.p > 0:
            # State for this packet, then its loss (k = 0 in Good, h = 1 in Bad).
            self.bad = (u_state >= self.r) if self.bad else (u_state < self.p)
            lost = self.bad
        if self.loss > 0 and u_loss < self.loss:
            lost = True
        delay = -self.jitter * math.log(1.0 - u_delay) if self.jitter > 0 else 0.0
        for s in self.spikes:
            if s <= since_first_s < s + SPIKE_WINDOW_S:
                delay += SPIKE_EXTRA_S
                break
            if s > since_first_s:
                break
        return lost, delay


class Flow:
    def __init__(self, port, peer_port, fate):
        self.front = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.front.bind(("127.0.0.1", port))
        self.rtcp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rtcp.bind(("127.0.0.1", port + 1))
        self.back = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.back.bind(("127.0.0.1", 0))
        self.peer = ("127.0.0.1", peer_port)
        self.phone = None
        self.fate = fate
        self.first = None
        self.n_out = self.n_back = self.n_lost = self.n_sent = self.n_reordered = 0
        self.last_index = -1
        self.port = port


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--flow", action="append", required=True, help="PORT:PEER_PORT")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--loss", type=float, default=0.0)
    ap.add_argument("--burst-loss", type=float, default=0.0)
    ap.add_argument("--burst-len", type=float, default=3.0)
    ap.add_argument("--jitter", type=float, default=0.0, help="ms")
    ap.add_argument("--spikes", action="store_true")
    ap.add_argument("--stats", required=True)
    ap.add_argument("--ready", help="a file written once every socket is bound")
    args = ap.parse_args()

    flows = []
    for f in args.flow:
        port, peer = (int(x) for x in f.split(":"))
        flows.append(Flow(port, peer, Fate(args.seed, args.loss, args.burst_loss, args.burst_len, args.jitter,
                                           args.spikes)))
    by_sock = {}
    for fl in flows:
        by_sock[fl.front.fileno()] = (fl, "front")
        by_sock[fl.rtcp.fileno()] = (fl, "rtcp")
        by_sock[fl.back.fileno()] = (fl, "back")
    socks = [fl.front for fl in flows] + [fl.rtcp for fl in flows] + [fl.back for fl in flows]

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    if args.ready:
        with open(args.ready, "w") as f:
            f.write("ready\n")

    heap = []  # (due, order, flow index, arrival index, data)
    order = 0
    late = []  # send time - due time, seconds, every impaired packet
    while not stopping:
        now = time.monotonic()
        timeout = max(0.0, heap[0][0] - now) if heap else 0.5
        try:
            ready, _, _ = select.select(socks, [], [], timeout)
        except InterruptedError:
            continue
        now = time.monotonic()
        for s in ready:
            fl, side = by_sock[s.fileno()]
            try:
                data, addr = s.recvfrom(4096)
            except OSError:
                continue
            if side == "front":
                fl.phone = addr
                fl.n_out += 1
                fl.back.sendto(data, fl.peer)
            elif side == "back" and fl.phone is not None:
                if fl.first is None:
                    fl.first = now
                idx = fl.n_back
                fl.n_back += 1
                lost, delay = fl.fate.next(now - fl.first)
                if lost:
                    fl.n_lost += 1
                    continue
                heapq.heappush(heap, (now + delay, order, flows.index(fl), idx, data))
                order += 1
        now = time.monotonic()
        while heap and heap[0][0] <= now:
            due, _, fi, idx, data = heapq.heappop(heap)
            fl = flows[fi]
            fl.front.sendto(data, fl.phone)
            sent = time.monotonic()
            late.append(sent - due)
            fl.n_sent += 1
            if idx < fl.last_index:
                fl.n_reordered += 1
            fl.last_index = max(fl.last_index, idx)
            now = sent

    late.sort()

    def pct(q):
        return 1000.0 * late[min(len(late) - 1, int(q * len(late)))] if late else None

    out = {
        "flows": {str(fl.port): {"to_peer": fl.n_out, "echoed": fl.n_back, "lost": fl.n_lost, "sent": fl.n_sent,
                                 "reordered": fl.n_reordered} for fl in flows},
        "late_ms": {"mean": 1000.0 * sum(late) / len(late) if late else None, "p50": pct(0.5), "p99": pct(0.99),
                    "max": 1000.0 * late[-1] if late else None, "n": len(late)},
    }
    with open(args.stats, "w") as f:
        json.dump(out, f)
    return 0


if __name__ == "__main__":
    sys.exit(main())
