#!/usr/bin/env python3
"""Prints the shared PC/SC client's figures for pcsc-lite and libvorasel side by side, with the
ratio of each (how many times sooner libvorasel answers)."""
import json
import sys


def load(path):
    figures = {}
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("{"):
                entry = json.loads(line)
                figures[entry["name"]] = entry
    return figures


def main():
    peer, ours = load(sys.argv[1]), load(sys.argv[2])
    print(f"{'measurement':34} {'pcsc-lite median/p99 us':>26} {'libvorasel median/p99 us':>26}"
          f" {'ratio median':>13} {'ratio p99':>10}")
    for name, p in peer.items():
        o = ours.get(name)
        if not o or not p.get("samples") or not o.get("samples"):
            print(f"{name:34} {'(no samples)':>26}")
            continue
        print(f"{name:34} {p['median_us']:>12.1f} / {p['p99_us']:>11.1f}"
              f" {o['median_us']:>12.1f} / {o['p99_us']:>11.1f}"
              f" {p['median_us'] / o['median_us']:>12.1f}x {p['p99_us'] / o['p99_us']:>9.1f}x")
    samples = ", ".join("%s %s" % (k, v["samples"]) for k, v in ours.items())
    print("(samples: %s)" % samples)


if __name__ == "__main__":
    main()
