#!/usr/bin/env python3
"""Prints two runs of the shared PC/SC client side by side: each measurement's median and p99
and the ratios (peer time / our time: above 1 means ours answers sooner). A file may hold
several rounds; they are paired in order.

Usage: compare.py PEER_JSON OURS_JSON [PEER_LABEL OURS_LABEL]"""
import json
import sys


def load(path):
    """One dictionary of figures per round, in order."""
    rounds = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("{"):
                entry = json.loads(line)
                if not rounds or entry["name"] in rounds[-1]:
                    rounds.append({})
                rounds[-1][entry["name"]] = entry
    return rounds


def table(peer, ours, peer_label, ours_label):
    print(f"{'measurement':30} {peer_label + ' median / p99 us':>30} {ours_label + ' median / p99 us':>30}"
          f" {'ratio median':>13} {'ratio p99':>10}")
    for name, p in peer.items():
        o = ours.get(name)
        if not o or not p.get("samples") or not o.get("samples"):
            print(f"{name:30} {'(no samples)':>30}")
            continue
        print(f"{name:30} {p['median_us']:>16.1f} / {p['p99_us']:>11.1f}"
              f" {o['median_us']:>16.1f} / {o['p99_us']:>11.1f}"
              f" {p['median_us'] / o['median_us']:>12.2f}x {p['p99_us'] / o['p99_us']:>9.2f}x")
    print("(samples: %s)" % ", ".join("%s %s" % (k, v["samples"]) for k, v in ours.items()))


def main():
    peer_label, ours_label = (sys.argv[3], sys.argv[4]) if len(sys.argv) > 4 else ("peer", "ours")
    rounds = list(zip(load(sys.argv[1]), load(sys.argv[2])))
    for number, (peer, ours) in enumerate(rounds, 1):
        if len(rounds) > 1:
            print(f"round {number}")
        table(peer, ours, peer_label, ours_label)


if __name__ == "__main__":
    main()
