#!/usr/bin/env python3
"""The reader comparison's figures side by side: pcscd with vpcd and an echo card, and pcscd
with the Vorasel reader module, each measurement's median and p99 and the ratio (how many
times sooner the Vorasel reader answers). Usage: compare.py VPCD_JSON VORASEL_JSON"""
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


def main():
    for number, (peer, ours) in enumerate(zip(load(sys.argv[1]), load(sys.argv[2])), 1):
        print(f"round {number}")
        table(peer, ours)


def table(peer, ours):
    print(f"{'measurement':28} {'vpcd median / p99 us':>24} {'vorasel median / p99 us':>25}"
          f" {'ratio median':>13} {'ratio p99':>10}")
    for name, p in peer.items():
        o = ours.get(name)
        if not o or not p.get("samples") or not o.get("samples"):
            print(f"{name:28} {'(no samples)':>24}")
            continue
        print(f"{name:28} {p['median_us']:>11.1f} / {p['p99_us']:>10.1f}"
              f" {o['median_us']:>12.1f} / {o['p99_us']:>10.1f}"
              f" {p['median_us'] / o['median_us']:>12.2f}x {p['p99_us'] / o['p99_us']:>9.2f}x")
    print("(samples: %s)" % ", ".join("%s %s" % (k, v["samples"]) for k, v in ours.items()))


if __name__ == "__main__":
    main()
