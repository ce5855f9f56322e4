#!/usr/bin/env python3
"""Streams background from a settings file and prints a short summary.

    python3 examples/stream_background.py examples/settings.yaml [--seconds 2] [--chunk 1e-3]

Pulls consecutive chunks through vorizovedavuz.Background, counts the PEs per
channel and compares the measured PE rate per channel with the one the
settings file configures: the dark-count rate of every DarkCountModel that the
driver's model reaches, times the PEs each event yields through the
generators (NPEGenerator "num_pe", AfterpulseGenerator "probability" x
"num_pe_mean" afterpulse PEs per PE). Then it rebuilds the shower metadata of
the same stretch of time with generate_metadata and compares the measured
shower arrival rate with the one the cosmic-ray models should give: disc area
x solid angle x integral of the flux over the thrown energies.
"""

import argparse
import math
import statistics
import sys
import time

import vorizovedavuz


def load_settings(path):
    try:
        import yaml
    except ImportError:
        return None
    with open(path, encoding="utf-8") as stream:
        return yaml.safe_load(stream)


def pes_per_event(generators, name, gen_type, seen=()):
    """Expected PEs per event of `gen_type` from generator `name`; None when
    they depend on showers or on anything this summary does not model."""
    if name in seen or name not in generators:
        return None
    node = generators[name]
    cls = node.get("class")
    if cls == "NPEGenerator":
        return max(int(node["num_pe"]), 0)
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


def power_law_integral(flux, e_min, e_max):
    """Integral of f_ref (E / e_ref)^index from e_min to e_max."""
    index, f_ref, e_ref = float(flux["index"]), float(flux["f_ref"]), float(flux["e_ref"])
    if index == -1.0:
        return math.log(e_max / e_min) * e_ref * f_ref
    g = index + 1
    return (e_max ** g - e_min ** g) * e_ref ** -index * f_ref / g


def expected_shower_rate(settings):
    """Shower arrivals per second of the cosmic-ray models that the driver's
    model reaches, or None where the settings do not determine them."""
    if settings is None:
        return None
    nodes = reached_models(settings.get("models") or {}, settings["lib"]["model"], "CosmicRayModel")
    if not nodes:
        return None
    total = 0.0
    for node in nodes:
        flux = (settings.get("fluxes") or {}).get(node["flux"], {})
        if flux.get("class") != "PowerLawFlux":
            return None
        r_max, theta_max = float(node["r_max"]), float(node["theta_max"])
        area = math.pi * r_max * r_max
        solid_angle = 2 * math.pi * (1 - math.cos(theta_max))
        total += area * solid_angle * power_law_integral(flux, float(node["e_min"]), float(node["e_max"]))
    return total


def configured_rates(settings, num_channels):
    """(dark-count rate per channel, expected PE rate per channel) in Hz, or
    None where the settings do not determine them."""
    if settings is None:
        return None, None
    lib = settings["lib"]
    dark = [0.0] * num_channels
    expected = [0.0] * num_channels
    for node in reached_models(settings.get("models") or {}, lib["model"], "DarkCountModel"):
        rate = float(node["rate"])
        per_event = pes_per_event(settings.get("generators") or {}, lib["generator"],
                                  int(node["gen_type"]))
        for channel in range(min(int(node["num_channels"]), num_channels)):
            dark[channel] += rate
            if expected is not None and per_event is not None:
                expected[channel] += rate * per_event
            else:
                expected = None
    return dark, expected


def describe(values):
    return (f"mean {statistics.fmean(values):.1f} Hz, min {min(values):.1f} Hz, "
            f"max {max(values):.1f} Hz")


def describe_failure(error):
    lines = [f"{type(error).__name__}: {error}"]
    while error.__cause__ is not None:
        error = error.__cause__
        lines.append(f"  caused by {type(error).__name__}: {error}")
    return "\n".join(lines)


def summarise_pe_rates(settings, num_channels, total, duration):
    """The configured dark-count and expected PE rates beside the measured PEs."""
    dark, expected = configured_rates(settings, num_channels)
    if dark is None:
        print("Configured rate: unknown (install PyYAML to read it from the settings)")
        return
    print(f"Configured dark-count rate per channel: {describe(dark)}")
    if expected is None:
        print("Expected PE rate per channel: not determined by the generators alone")
        return
    print(f"Expected PE rate per channel (dark counts with afterpulses): {describe(expected)}")
    expected_total = sum(expected) * duration
    if expected_total > 0:
        sigma = expected_total ** 0.5
        print(f"Measured / expected PEs: {total / expected_total:.4f} "
              f"({(total - expected_total) / sigma:+.1f} sigma of Poisson counting)")


def summarise_showers(background, settings, num_chunks, chunk):
    """Counts the showers of generate_metadata over the streamed stretch of
    time, chunk by chunk, against the rate the settings give. False when the
    library fails; skipped for settings without "meta_gen_type"."""
    if settings is not None and "meta_gen_type" not in settings["lib"]:
        return True
    showers = []
    begin = 0.0
    try:
        for _ in range(num_chunks):
            end = begin + chunk
            showers.extend(background.generate_metadata(begin, end))
            begin = end
    except Exception as error:
        print(f"Metadata failed:\n{describe_failure(error)}", file=sys.stderr)
        return False
    duration = num_chunks * chunk
    measured = len(showers) / duration
    print(f"Shower arrivals (generate_metadata): {len(showers)} in {duration:g} s, "
          f"{measured:.1f} +- {math.sqrt(len(showers)) / duration:.1f} Hz")
    expected = expected_shower_rate(settings)
    if expected is None:
        print("Expected shower rate: not determined by power-law cosmic-ray models of the settings")
    else:
        print(f"Expected shower rate (area x solid angle x flux integral): {expected:.1f} Hz")
    for shower in showers[:3]:
        print(f"  {shower}")
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("settings", help="YAML settings file")
    parser.add_argument("--seconds", type=float, default=2.0,
                        help="simulated time to stream, in seconds (default 2)")
    parser.add_argument("--chunk", type=float, default=1e-3,
                        help="chunk length in seconds (default 1e-3)")
    args = parser.parse_args()
    # Written so that NaN fails too: it compares false with everything.
    if not all(0 < value < math.inf for value in (args.seconds, args.chunk)):
        parser.error("--seconds and --chunk must be positive and finite")

    try:
        background = vorizovedavuz.Background(args.settings)
    except Exception as error:  # the library's failure, reported with its causes
        print(f"Cannot build the background from {args.settings}:\n{describe_failure(error)}",
              file=sys.stderr)
        return 1

    settings = load_settings(args.settings)
    num_channels = int(settings["lib"]["num_channels"]) if settings else 0
    counts = [0] * num_channels
    extra = {}  # channels beyond the configured count, should there be any

    num_chunks = max(1, round(args.seconds / args.chunk))
    duration = num_chunks * args.chunk
    start = time.perf_counter()
    try:
        for _ in range(num_chunks):
            for channel, times in background.next_chunk(args.chunk):
                if channel < num_channels:
                    counts[channel] += len(times)
                else:
                    extra[channel] = extra.get(channel, 0) + len(times)
    except Exception as error:
        print(f"Streaming failed:\n{describe_failure(error)}", file=sys.stderr)
        return 1
    wall = time.perf_counter() - start

    per_channel = dict(enumerate(counts))
    per_channel.update(extra)
    hit = {channel: n for channel, n in per_channel.items() if n > 0}
    total = sum(hit.values())

    print(f"Streamed {duration:g} s of background from {args.settings} "
          f"in {num_chunks} chunks of {args.chunk:g} s ({wall:.2f} s wall, "
          f"{total / wall / 1e6:.2f} M PEs per wall second).")
    print(f"Channels hit: {len(hit)} of {num_channels or 'unknown'}")
    print(f"PEs: {total}")
    if hit:
        measured = [n / duration for n in (counts if num_channels else hit.values())]
        print(f"Measured PE rate per channel: {describe(measured)}")
        summarise_pe_rates(settings, num_channels, total, duration)
    return 0 if summarise_showers(background, settings, num_chunks, args.chunk) else 1


if __name__ == "__main__":
    sys.exit(main())
