#!/usr/bin/env python3
"""Throughput of vorizovedavuz against a plain numpy implementation.

    python3 benchmarks/python_throughput.py [--seconds 2] [--repeats 5]

Both sides stream the same background: 1000 channels of 20 kHz dark counts,
each PE followed by afterpulses with probability 0.05 (delay normal with mean
1 us and standard deviation 0.2 us, cut to positive values; a Poisson number
of PEs with mean 1.5), in chunks of 1 ms. Each chunk is a list of (channel,
sorted times) for the channels that saw light, with the PEs later than the
chunk end held for later chunks. The consumer is the same for both: it walks
every (channel, times) pair and adds up the PEs. The two sides run in turn,
and printed are PEs per wall second for each side (median of the repeats)
and the median of the per-repeat ratios.
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import vorizovedavuz

CHANNELS = 1000
RATE = 20e3
CHUNK = 1e-3
PROBABILITY = 0.05
DELAY_MEAN = 1e-6
DELAY_STD = 2e-7
AFTERPULSE_PE_MEAN = 1.5

SETTINGS = f"""
lib: {{provider: mock, generator: pulses, model: dark, num_channels: {CHANNELS}, start_time: 0.0}}
providers:
  mock: {{class: MockProvider, num_showers: 1, index: -2.0, e_min: 1.0, e_max: 10.0,
          r_max: 1.0, theta_max: 0.1}}
generators:
  single: {{class: NPEGenerator, num_pe: 1}}
  pulses: {{class: AfterpulseGenerator, base_generator: single, probability: {PROBABILITY},
            delay_mean: {DELAY_MEAN}, delay_std: {DELAY_STD}, num_pe_mean: {AFTERPULSE_PE_MEAN},
            seed: 42}}
models:
  dark: {{class: DarkCountModel, gen_type: 0, seed: 7, num_channels: {CHANNELS}, rate: {RATE}}}
fluxes: {{}}
"""


class NumpyBackground:
    """The same background with numpy: vectorised over all channels of a chunk."""

    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.t0 = 0.0
        self.held_channels = np.empty(0, dtype=np.int16)
        self.held_times = np.empty(0)

    def next_chunk(self, span):
        rng = self.rng
        t0, t1 = self.t0, self.t0 + span
        self.t0 = t1

        counts = rng.poisson(RATE * span, CHANNELS)
        channels = np.repeat(np.arange(CHANNELS, dtype=np.int16), counts)
        times = t0 + rng.random(channels.size) * span

        parents = np.flatnonzero(rng.random(times.size) < PROBABILITY)
        delays = rng.normal(DELAY_MEAN, DELAY_STD, parents.size)
        redraw = np.flatnonzero(delays <= 0)
        while redraw.size:
            delays[redraw] = rng.normal(DELAY_MEAN, DELAY_STD, redraw.size)
            redraw = redraw[delays[redraw] <= 0]
        multiplicity = rng.poisson(AFTERPULSE_PE_MEAN, parents.size)
        pulse_times = np.repeat(times[parents] + delays, multiplicity)
        pulse_channels = np.repeat(channels[parents], multiplicity)

        all_channels = np.concatenate((self.held_channels, channels, pulse_channels))
        all_times = np.concatenate((self.held_times, times, pulse_times))
        # Sort by time, then stably by channel (a radix sort on 16-bit keys).
        by_time = np.argsort(all_times)
        order = by_time[np.argsort(all_channels[by_time], kind="stable")]
        all_channels = all_channels[order]
        all_times = all_times[order]

        due = all_times <= t1
        self.held_channels = all_channels[~due]
        self.held_times = all_times[~due]
        out_channels = all_channels[due]
        out_times = all_times[due]

        starts = np.flatnonzero(np.diff(out_channels, prepend=-1))
        pieces = np.split(out_times, starts[1:])
        return list(zip(out_channels[starts].tolist(), pieces))


def consume(chunk):
    return sum(len(times) for _, times in chunk)


def measure(background, chunks):
    consume(background.next_chunk(CHUNK))  # warm-up: allocations, caches
    pes = 0
    start = time.perf_counter()
    for _ in range(chunks):
        pes += consume(background.next_chunk(CHUNK))
    return pes, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=2.0,
                        help="simulated seconds per measurement (default 2)")
    parser.add_argument("--repeats", type=int, default=5,
                        help="measurements per side; the medians count (default 5)")
    args = parser.parse_args()
    chunks = max(1, round(args.seconds / CHUNK))

    with tempfile.TemporaryDirectory() as directory:
        settings = os.path.join(directory, "settings.yaml")
        with open(settings, "w", encoding="utf-8") as stream:
            stream.write(SETTINGS)
        results = {"vorizovedavuz": [], "numpy": []}
        for repeat in range(args.repeats):
            results["vorizovedavuz"].append(measure(vorizovedavuz.Background(settings), chunks))
            results["numpy"].append(measure(NumpyBackground(seed=repeat), chunks))

    simulated = chunks * CHUNK
    print(f"{CHANNELS} channels, {RATE / 1e3:g} kHz dark counts with afterpulses, "
          f"{CHUNK * 1e3:g} ms chunks, {simulated:g} s simulated per run, "
          f"median of {args.repeats}; numpy {np.__version__}, Python {sys.version.split()[0]}")
    throughput = {name: [pes / wall for pes, wall in runs] for name, runs in results.items()}
    for name, runs in results.items():
        pes = statistics.median(pes for pes, _ in runs)
        wall = statistics.median(wall for _, wall in runs)
        print(f"{name:>14}: {pes / simulated / 1e6:6.2f} M PEs per simulated s, "
              f"{wall:6.2f} s wall, {statistics.median(throughput[name]) / 1e6:6.2f} M PEs per wall s")
    ratios = [ours / theirs for ours, theirs in zip(throughput["vorizovedavuz"], throughput["numpy"])]
    print(f"vorizovedavuz / numpy throughput: {statistics.median(ratios):.2f} "
          f"(runs: {', '.join(f'{r:.2f}' for r in ratios)})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
