#!/usr/bin/env python3
"""Streams background from a settings file, summarises it and checks a replay.

    python3 examples/stream_background.py examples/settings.yaml [--seconds 2] [--chunk 1e-3]
                                          [--replay-chunks 200] [--no-replay]

Pulls consecutive chunks through vorizovedavuz.Background and counts the PEs
per channel. Then it compares what it measured with what the settings file
configures:
- PEs: the dark-count rate of every DarkCountModel the driver's model reaches,
  times the PEs each event yields through the generators (NPEGenerator
  "num_pe", AfterpulseGenerator "probability" x "num_pe_mean" afterpulse PEs per
  PE), plus the shower arrival rate times the mean PEs of a shower;
- showers: the arrivals that generate_metadata rebuilds for the same stretch of
  time against the rate of every CosmicRayModel: disc area x solid angle x
  integral of its flux over the thrown energies.
Last, for settings with a replay settings file beside them (one whose key
"replays" names them, as examples/replay.yaml does), it
prepares an event cache and an ordered shower library for the first
--replay-chunks chunks (the C++ example prepare_replay), streams that interval
directly and from the replay, and checks that the chunks are equal bit for bit;
then that a replay which seeks into the interval hands out the same shower and
dark-count PEs as the direct stream had there (without afterpulses, whose draws
depend on the whole history).

The simulation files of the example settings come from the C++ example
make_showers; this program runs it whenever its --check fails (a file
missing, cut or damaged, holding too few showers, or one too many).
Both programs are built by bash scripts/setup (into build/default/examples).
"""

import argparse
import math
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import vorizovedavuz

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROGRAMS = ROOT / "build" / "default" / "examples"
# The simulation directories make_showers writes.
MAKE_SHOWERS_WRITES = ("protons_run1", "protons_run2", "gammas")
# Settings keys that name files, resolved against the settings file's directory.
PATH_KEYS = ("input_files", "table", "path", "cache_file")
# Chunks of one run at the most: more would stream for days.
MOST_CHUNKS = 10**9


class Refusal(Exception):
    """A failure this program reports in one line."""


def load_settings(path):
    """The settings document, which must be a mapping in a regular file."""
    import yaml
    path = pathlib.Path(path)
    # Opening a FIFO would block; anything but a regular file is refused first.
    if not path.is_file():
        raise Refusal(f"settings file {path} does not exist or is not a regular file")
    try:
        document = yaml.safe_load(path.read_text(encoding="utf-8"))
    except (OSError, UnicodeError, yaml.YAMLError) as error:
        raise Refusal(f"cannot read settings file {path}: {' '.join(str(error).split())}") from error
    if not isinstance(document, dict) or not isinstance(document.get("lib"), dict):
        raise Refusal(f"settings file {path} is not a mapping with a lib section")
    return document


def run_program(name, *arguments, check=True):
    """Runs an example program; its failure becomes a Refusal with its last line of error."""
    program = PROGRAMS / name
    if not program.exists():
        raise Refusal(f"{program} is missing: run bash scripts/setup first")
    done = subprocess.run([str(program), *map(str, arguments)], stderr=subprocess.PIPE, text=True)
    if check and done.returncode != 0:
        said = done.stderr.strip().splitlines()
        raise Refusal(f"{name} failed: {said[-1] if said else f'exit status {done.returncode}'}")
    return done.returncode == 0


def make_datasets(settings, directory):
    """Runs make_showers unless its --check passes on the simulation
    directories it writes, as named in the settings."""
    wanted = [directory / node["input_files"]
              for provider in (settings.get("providers") or {}).values() if isinstance(provider, dict)
              for node in [provider, *(provider.get("datasets") or {}).values()]
              if isinstance(node, dict) and "input_files" in node]
    ours = [path for path in wanted if path.name in MAKE_SHOWERS_WRITES]
    if not ours:
        return
    data = os.path.commonpath([path.parent for path in ours])
    if not run_program("make_showers", "--check", data, check=False):
        print(f"Writing the example's simulation files into {data} ...", flush=True)
        run_program("make_showers", data, settings["lib"]["num_channels"])


# --- what the settings configure -------------------------------------------

def pes_per_event(generators, name, gen_type, seen=()):
    """Expected PEs per event of `gen_type` from generator `name`, with the
    event's own PEs (NPEGenerator) counted as 1 for a ProviderGenerator; None
    when they depend on anything this summary does not model."""
    if name in seen or name not in generators:
        return None
    node = generators[name]
    cls = node.get("class")
    if cls == "NPEGenerator":
        return max(int(node["num_pe"]), 0)
    if cls == "ProviderGenerator":
        return 1.0
    if cls == "AfterpulseGenerator":
        base = pes_per_event(generators, node["base_generator"], gen_type, seen + (name,))
        if base is None:
            return None
        return base * (1.0 + float(node["probability"]) * float(node["num_pe_mean"]))
    if cls == "GenericGenerator":
        # Later keys with the same type replace earlier ones, as in the library.
        chosen = None
        for inner, inner_type in (node.get("generators") or {}).items():
            if int(inner_type) == gen_type:
                chosen = inner
        if chosen is None:
            return None
        return pes_per_event(generators, chosen, gen_type, seen + (name,))
    return None


def reached_models(models, name, cls, seen=()):
    """Every node of class `cls` that model `name` reaches."""
    if name in seen or name not in models:
        return []
    node = models[name]
    if node.get("class") == cls:
        return [node]
    if node.get("class") == "GenericModel":
        found = []
        for inner in node.get("models") or {}:
            found += reached_models(models, inner, cls, seen + (name,))
        return found
    return []


def flux_integral(flux, directory, e_min, e_max):
    """The flux integrated from e_min to e_max as the library integrates it, or None."""
    if flux.get("class") == "PowerLawFlux":
        index, f_ref, e_ref = float(flux["index"]), float(flux["f_ref"]), float(flux["e_ref"])
        if index == -1.0:
            return math.log(e_max / e_min) * e_ref * f_ref
        g = index + 1
        return (e_max ** g - e_min ** g) * e_ref ** -index * f_ref / g
    if flux.get("class") == "TabulatedFlux":
        rows = [tuple(map(float, line.split()[:2]))
                for line in (directory / flux["table"]).read_text().splitlines()
                if line.strip() and not line.startswith("#")]
        energies, values = zip(*rows)
        logarithmic = bool(flux["log_interpolate"])

        def density(energy):
            i = next((k for k, e in enumerate(energies) if e > energy), len(energies))
            if i == len(energies):
                return values[-1]
            e0, e1, f0, f1 = energies[i - 1], energies[i], values[i - 1], values[i]
            if logarithmic:
                t = (math.log(energy) - math.log(e0)) / (math.log(e1) - math.log(e0))
                return math.exp(math.log(f0) + t * (math.log(f1) - math.log(f0)))
            return f0 + (energy - e0) / (e1 - e0) * (f1 - f0)

        steps = int(flux["integration_steps"])
        if logarithmic:
            points = [math.exp(math.log(e_min) + i * (math.log(e_max) - math.log(e_min)) / steps)
                      for i in range(steps + 1)]
        else:
            points = [e_min + i * (e_max - e_min) / steps for i in range(steps + 1)]
        points[-1] = e_max
        return sum((density(a) + density(b)) * 0.5 * (b - a) for a, b in zip(points, points[1:]))
    return None


def expected_shower_rate(settings, directory):
    """Shower arrivals per second of the cosmic-ray models the driver's model
    reaches, or None where the settings do not determine them."""
    nodes = reached_models(settings.get("models") or {}, settings["lib"]["model"], "CosmicRayModel")
    if not nodes:
        return None
    total = 0.0
    for node in nodes:
        flux = (settings.get("fluxes") or {}).get(node["flux"], {})
        integral = flux_integral(flux, directory, float(node["e_min"]), float(node["e_max"]))
        if integral is None:
            return None
        r_max, theta_max = float(node["r_max"]), float(node["theta_max"])
        total += math.pi * r_max * r_max * 2 * math.pi * (1 - math.cos(theta_max)) * integral
    return total


def expected_dark_pes(settings, num_channels):
    """(dark-count rate, expected PE rate of the dark counts) summed over the
    channels, in Hz; None where the generators do not determine the latter."""
    lib = settings["lib"]
    dark = expected = 0.0
    for node in reached_models(settings.get("models") or {}, lib["model"], "DarkCountModel"):
        channels = min(int(node["num_channels"]), num_channels)
        per_event = pes_per_event(settings.get("generators") or {}, lib["generator"],
                                  int(node["gen_type"]))
        dark += float(node["rate"]) * channels
        expected = None if expected is None or per_event is None else \
            expected + float(node["rate"]) * channels * per_event
    return dark, expected


# --- streaming ---------------------------------------------------------------

def describe_failure(error):
    lines = [f"{type(error).__name__}: {error}"]
    while error.__cause__ is not None:
        error = error.__cause__
        lines.append(f"  caused by {type(error).__name__}: {error}")
    return "\n".join(lines)


def stream(background, num_chunks, chunk):
    """Streams the chunks with a progress line; returns (PEs per channel, wall seconds)."""
    counts = {}
    interactive = sys.stdout.isatty()
    start = last = time.perf_counter()
    for k in range(1, num_chunks + 1):
        for channel, times in background.next_chunk(chunk):
            counts[channel] = counts.get(channel, 0) + len(times)
        now = time.perf_counter()
        if now - last > (0.5 if interactive else 5.0) or k == num_chunks:
            total = sum(counts.values())
            print(("\r" if interactive else "") + f"  streamed {k * chunk:.3f} s of {num_chunks * chunk:g} s: "
                  f"{total / 1e6:.2f} M PEs, {total / (now - start) / 1e6:.2f} M PEs per wall second",
                  end="" if interactive else "\n", flush=True)
            last = now
    if interactive:
        print()
    return counts, time.perf_counter() - start


def rebuild_showers(background, start, num_chunks, chunk):
    showers = []
    begin = start
    for _ in range(num_chunks):
        end = begin + chunk
        showers.extend(background.generate_metadata(begin, end))
        begin = end
    return showers


def summarise(settings, directory, counts, showers, duration):
    total = sum(counts.values())
    num_channels = int(settings["lib"]["num_channels"])
    rates = [counts.get(channel, 0) / duration for channel in range(num_channels)]
    print(f"Channels hit: {sum(1 for n in counts.values() if n)} of {num_channels}")
    print(f"Measured PE rate per channel: mean {statistics.fmean(rates):.1f} Hz, "
          f"min {min(rates):.1f} Hz, max {max(rates):.1f} Hz")

    shower_rate = expected_shower_rate(settings, directory)
    if showers is not None:
        measured = len(showers) / duration
        print(f"Shower arrivals (generate_metadata over the same {duration:g} s): {len(showers)}, "
              f"{measured:.1f} +- {math.sqrt(len(showers)) / duration:.1f} Hz")
        if shower_rate is not None:
            print(f"Expected shower rate (area x solid angle x flux integral): {shower_rate:.1f} Hz")
        # A few showers that lit the array, and the first gamma among them.
        lit = [shower for shower in showers if shower.num_pe > 0]
        gammas = [shower for shower in lit if shower.primary == vorizovedavuz.Metadata.GAMMA]
        for shower in lit[:3] + gammas[:1]:
            print(f"  {shower}")

    dark, expected = expected_dark_pes(settings, num_channels)
    print(f"Configured dark-count rate: {dark / max(num_channels, 1):.1f} Hz per channel")
    if expected is None:
        print("Expected PE rate: not determined by the generators alone")
        return
    shower_pes = 0.0
    if showers and shower_rate is not None:
        per_pe = pes_per_event(settings.get("generators") or {}, settings["lib"]["generator"],
                               int(settings["lib"]["meta_gen_type"])) or 0.0
        # PEs stored with the showers, before any thinning of dense channels.
        shower_pes = shower_rate * statistics.fmean(max(s.num_pe, 0) for s in showers) * per_pe
        print(f"Expected PE rate of the showers: about {shower_pes / 1e6:.3f} M PEs/s "
              f"(mean PEs per shower before thinning, with afterpulses)")
    print(f"Expected PE rate of the dark counts with afterpulses: {expected / 1e6:.3f} M PEs/s")
    expected_total = (expected + shower_pes) * duration
    print(f"Measured / expected PEs: {total / expected_total:.4f} (thinning removes some shower PEs; "
          f"a few large showers make the count spread far beyond Poisson counting)")


# --- replay ------------------------------------------------------------------

def variant(settings_path, directory, scratch, generator):
    """A copy of the settings with another driver generator, file names made absolute."""
    import yaml
    settings = load_settings(settings_path)
    settings["lib"]["generator"] = generator
    for section in ("providers", "models", "fluxes"):
        for node in (settings.get(section) or {}).values():
            for inner in [node, *(node.get("datasets") or {}).values()]:
                for key in PATH_KEYS:
                    if key in inner:
                        inner[key] = str(directory / inner[key])
    path = scratch / f"{settings_path.stem}_{generator}.yaml"
    path.write_text(yaml.safe_dump(settings))
    return str(path)


def find_replay(settings_path):
    """The replay settings beside `settings_path` that say they replay it."""
    for candidate in sorted(settings_path.parent.glob("*.yaml")):
        try:
            document = load_settings(candidate)
        except Refusal:
            continue
        if document.get("replays") == settings_path.name:
            return candidate
    return None


def check_replay(settings_path, replay_path, chunk, num_chunks):
    directory = settings_path.parent
    settings = load_settings(settings_path)
    replay_settings = load_settings(replay_path)
    cache = replay_settings["models"][replay_settings["lib"]["model"]]["cache_file"]
    replay_dir = directory / pathlib.Path(cache).parent
    print(f"Replay of the first {num_chunks} chunks from {replay_path}:")
    run_program("prepare_replay", settings_path, replay_dir, chunk, num_chunks)

    direct = vorizovedavuz.Background(str(settings_path))
    replay = vorizovedavuz.Background(str(replay_path))
    for k in range(num_chunks):
        if direct.next_chunk(chunk) != replay.next_chunk(chunk):
            print(f"  replay differs from the direct stream in chunk {k}")
            return False
    print(f"  {num_chunks} chunks equal to the direct stream bit for bit")

    # Without afterpulses; the seek goes to a time of the stream's own grid.
    top = settings["lib"]["generator"]
    plain = settings["generators"][top].get("base_generator", top)
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        direct = vorizovedavuz.Background(variant(settings_path, directory, scratch, plain))
        replay = vorizovedavuz.Background(variant(replay_path, directory, scratch, plain))
        middle = num_chunks // 2
        expected = [direct.next_chunk(chunk) for _ in range(num_chunks)][middle:]
        for _ in range(3):
            replay.next_chunk(chunk)
        seek_time = float(settings["lib"]["start_time"])
        for _ in range(middle):
            seek_time += chunk
        replay.seek(seek_time)
        replayed = [replay.next_chunk(chunk) for _ in range(num_chunks - middle)]
    # The first chunk after the seek lacks the PEs of events before it.
    first = {channel: set(times) for channel, times in expected[0]}
    if not all(set(times) <= first.get(channel, set()) for channel, times in replayed[0]) or \
            any(a != b for a, b in zip(expected[1:], replayed[1:])):
        print(f"  after a seek to {seek_time:g} s the replay differs from the direct stream")
        return False
    print(f"  after a seek to {seek_time:g} s: the same shower and dark-count PEs as the direct stream "
          f"(without afterpulses)")
    print("Replay matched.")
    return True


def check_clock(start, duration, chunk):
    """Refuses runs whose clock would stall or that would stream practically forever."""
    if not math.isfinite(start):
        raise Refusal(f"start_time {start} is not a finite number")
    num_chunks = max(1, round(duration / chunk))
    if num_chunks > MOST_CHUNKS:
        raise Refusal(f"--seconds / --chunk asks for {num_chunks:.3g} chunks, more than {MOST_CHUNKS:.0e}")
    end = start + num_chunks * chunk
    # The stream adds the chunk to its clock: near the end time the sum must still move.
    if not (end + chunk > end and start + chunk > start):
        raise Refusal(f"--chunk {chunk:g} is too small for a clock at {max(abs(start), abs(end)):g} s: "
                      f"it would not advance")
    return num_chunks


def stream_and_check(args):
    settings_path = pathlib.Path(args.settings).resolve()
    settings = load_settings(settings_path)
    try:
        start = float(settings["lib"]["start_time"])
    except (KeyError, TypeError, ValueError):
        raise Refusal(f"settings file {settings_path} has no numeric lib start_time") from None
    num_chunks = check_clock(start, args.seconds, args.chunk)
    make_datasets(settings, settings_path.parent)
    try:
        background = vorizovedavuz.Background(str(settings_path))
    except Exception as error:  # the library's failure, reported with its causes
        print(f"Cannot build the background from {args.settings}:\n{describe_failure(error)}",
              file=sys.stderr)
        return 1

    duration = num_chunks * args.chunk
    print(f"Streaming {duration:g} s of background from {args.settings} in chunks of {args.chunk:g} s")
    try:
        counts, wall = stream(background, num_chunks, args.chunk)
        showers = rebuild_showers(background, start, num_chunks, args.chunk) \
            if "meta_gen_type" in settings["lib"] else None
    except Exception as error:
        print(f"Streaming failed:\n{describe_failure(error)}", file=sys.stderr)
        return 1
    print(f"Streamed {sum(counts.values())} PEs in {wall:.2f} s wall "
          f"(real-time factor {duration / wall:.2f})")
    summarise(settings, settings_path.parent, counts, showers, duration)

    replay_path = find_replay(settings_path)
    if args.no_replay or replay_path is None:
        return 0
    try:
        return 0 if check_replay(settings_path, replay_path, args.chunk, args.replay_chunks) else 1
    except Refusal:
        raise
    except Exception as error:
        print(f"Replay failed:\n{describe_failure(error)}", file=sys.stderr)
        return 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("settings", help="YAML settings file")
    parser.add_argument("--seconds", type=float, default=2.0,
                        help="simulated time to stream, in seconds (default 2)")
    parser.add_argument("--chunk", type=float, default=1e-3,
                        help="chunk length in seconds (default 1e-3)")
    parser.add_argument("--replay-chunks", type=int, default=200,
                        help="chunks of the replay check (default 200)")
    parser.add_argument("--no-replay", action="store_true", help="skip the replay check")
    args = parser.parse_args()
    # Written so that NaN fails too: it compares false with everything.
    if not all(0 < value < math.inf for value in (args.seconds, args.chunk)):
        parser.error("--seconds and --chunk must be positive and finite")
    if args.replay_chunks < 2:
        parser.error("--replay-chunks must be at least 2")

    try:
        import yaml  # noqa: F401
    except ImportError:
        parser.error("reading the settings needs PyYAML (pip install pyyaml)")
    try:
        return stream_and_check(args)
    except Refusal as refusal:
        print(f"{parser.prog}: error: {refusal}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
