#!/usr/bin/env python3
"""Soak and scale run of the whole example: memory must stay flat.

    python3 benchmarks/soak.py [--seconds 1000] [--chunk 1e-3] [--every 100]
                               [--scale-seconds 5] [--skip-soak] [--skip-scale]

Streams examples/settings.yaml (dark counts, proton and gamma showers from
simulation files, afterpulses) for --seconds simulated seconds in chunks of
--chunk seconds and prints, every --every simulated seconds, the PE rate, the
real-time factor (simulated seconds per wall second) and the resident memory
of the process. Then prints the real-time factor of the same example at 10^2,
10^3 and 10^4 channels (per-channel rates unchanged; the shower library is
made anew for each array size), each streamed for --scale-seconds.

Needs the C++ example programs (bash scripts/setup builds them).
"""

import argparse
import copy
import pathlib
import subprocess
import sys
import tempfile
import time

import yaml

import vorizovedavuz

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
MAKE_SHOWERS = ROOT / "build" / "default" / "examples" / "make_showers"


def resident_mb():
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def make_settings(directory, channels):
    """The example's settings for `channels` channels, with a shower library
    made for that array in `directory`; returns the settings path."""
    subprocess.run([str(MAKE_SHOWERS), str(directory / "data"), str(channels)], check=True)
    settings = yaml.safe_load((EXAMPLES / "settings.yaml").read_text())
    settings = copy.deepcopy(settings)
    settings["lib"]["num_channels"] = channels
    for model in settings["models"].values():
        if model["class"] == "DarkCountModel":
            model["num_channels"] = channels
    for flux in settings["fluxes"].values():
        if "table" in flux:
            flux["table"] = str(EXAMPLES / flux["table"])
    path = directory / "settings.yaml"
    path.write_text(yaml.safe_dump(settings))
    return path


def stream(path, seconds, chunk, every=None):
    """Streams `seconds` of background; returns (PEs, wall seconds)."""
    background = vorizovedavuz.Background(str(path))
    chunks = round(seconds / chunk)
    per_report = round(every / chunk) if every else chunks + 1
    total = window = 0
    start = mark = time.perf_counter()
    for k in range(1, chunks + 1):
        for _, times in background.next_chunk(chunk):
            window += len(times)
        if k % per_report == 0:
            now = time.perf_counter()
            print(f"  t = {k * chunk:7g} s: {window / every / 1e6:6.2f} M PE/s, "
                  f"real-time factor {every / (now - mark):5.2f}, resident {resident_mb():7.1f} MB",
                  flush=True)
            total += window
            window, mark = 0, now
    return total + window, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=1000.0)
    parser.add_argument("--chunk", type=float, default=1e-3)
    parser.add_argument("--every", type=float, default=100.0)
    parser.add_argument("--scale-seconds", type=float, default=5.0)
    parser.add_argument("--skip-soak", action="store_true")
    parser.add_argument("--skip-scale", action="store_true")
    args = parser.parse_args()
    if not MAKE_SHOWERS.exists():
        sys.exit(f"{MAKE_SHOWERS} is missing: run bash scripts/setup first")

    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        if not args.skip_soak:
            print(f"Soak: the example for {args.seconds:g} s in chunks of {args.chunk:g} s "
                  f"(resident at start {resident_mb():.1f} MB)")
            pes, wall = stream(make_settings(scratch / "soak", 1000), args.seconds, args.chunk, args.every)
            print(f"  {pes} PEs in {wall:.0f} s wall: real-time factor {args.seconds / wall:.2f}")
        if not args.skip_scale:
            print(f"Scale: {args.scale_seconds:g} s of the example per array size")
            for channels in (100, 1000, 10000):
                path = make_settings(scratch / f"scale{channels}", channels)
                pes, wall = stream(path, args.scale_seconds, args.chunk)
                print(f"  {channels:6d} channels: {pes / args.scale_seconds / 1e6:7.2f} M PE/s simulated, "
                      f"real-time factor {args.scale_seconds / wall:6.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
