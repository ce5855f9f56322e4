"""The Background class: chunks as Python objects, argument matching,
docstrings, and the way library failures reach Python. The settings files
are JSON, which is valid YAML."""

import gc
import json
import os
import pathlib
import subprocess
import sys

import pytest

from vorizovedavuz import Background, DoubleVector, Metadata, MetadataVector, PEListVector

SPAN = 1e-3
# Dark counts of the metadata type, one PE each, on 10 channels.
SETTINGS = {
    "lib": {"provider": "mock", "generator": "npe", "model": "dark", "num_channels": 10, "start_time": 0.0,
            "meta_gen_type": 1},
    "providers": {"mock": {"class": "MockProvider", "theta_max": 0.5, "r_max": 100.0, "e_max": 1000.0,
                           "e_min": 10.0, "index": -2.0, "num_showers": 10}},
    "models": {"dark": {"class": "DarkCountModel", "gen_type": 1, "seed": 1, "num_channels": 10, "rate": 1e3}},
    "generators": {"npe": {"class": "NPEGenerator", "num_pe": 1}}, "fluxes": {}}


PREPARE_REPLAY = pathlib.Path(__file__).resolve().parents[2] / "build" / "default" / "examples" / "prepare_replay"


@pytest.fixture
def settings_path(tmp_path):
    path = tmp_path / "settings.yaml"
    path.write_text(json.dumps(SETTINGS))
    return str(path)


def test_chunks_are_owned_vectors_of_consecutive_spans(settings_path):
    bg = Background(settings=settings_path)
    chunks = [bg.next_chunk(time_span=SPAN) for _ in range(3)]
    snapshot = [[(channel, list(times)) for channel, times in chunk] for chunk in chunks]
    for k, chunk in enumerate(chunks):
        assert type(chunk) is PEListVector and len(chunk) > 0
        for channel, times in chunk:
            assert type(channel) is int and type(times) is DoubleVector
            assert k * SPAN <= times[0] and times[-1] <= (k + 1) * SPAN
    assert bg.seek(time=100.0) is None
    assert bg.next_chunk(SPAN)[0][1][0] >= 100.0
    # Swapped keywords still mean begin=2, end=3.
    records = bg.generate_metadata(end=3.0, begin=2.0)
    assert type(records) is MetadataVector and len(records) > 0
    assert all(m.primary is Metadata.PROTON and 2.0 <= m.time < 3.0 for m in records)
    # The chunks were moved into Python: they must not view the driver's storage.
    del bg
    gc.collect()
    assert [[(channel, list(times)) for channel, times in chunk] for chunk in chunks] == snapshot


@pytest.mark.parametrize("call", [
    lambda path: Background(1),
    lambda path: Background("\udc80"),
    lambda path: Background(path).next_chunk("1"),
    lambda path: Background(path).generate_metadata(0.0),
])
def test_wrong_arguments_raise_type_error(settings_path, call):
    with pytest.raises(TypeError, match="incompatible .* arguments"):
        call(settings_path)


@pytest.mark.parametrize("lib, error, message, causes", [
    # The loader's bad file, and beneath it the system's reason.
    (None, RuntimeError, "Failed to load yaml file {path}", ["bad file: {path}", "{path}: No such file or directory"]),
    ({"model": "nope"}, IndexError, "Instance nope is not defined in {path}!", []),
    ({"num_channels": "many"}, ValueError, "access failed", [None]),
])
def test_library_failures_map_to_python_exceptions(tmp_path, lib, error, message, causes):
    path = tmp_path / "settings.yaml"
    if lib is not None:
        path.write_text(json.dumps({**SETTINGS, "lib": {**SETTINGS["lib"], **lib}}))
    path = str(path)
    with pytest.raises(error) as info:
        Background(path)
    assert str(info.value) == message.format(path=path)
    # Errors underneath are chained as causes, as RuntimeError, and end the chain.
    cause = info.value.__cause__
    for text in causes:
        assert type(cause) is RuntimeError and (text is None or str(cause) == text.format(path=path))
        cause = cause.__cause__
    assert cause is None


def test_background_without_a_driver_raises_and_nul_in_the_path_is_refused(settings_path, tmp_path):
    # Made through __new__, or left behind by an __init__ that failed, the
    # object holds no driver.
    unborn, failed = Background.__new__(Background), Background.__new__(Background)
    with pytest.raises(RuntimeError, match="Failed to load yaml file"):
        failed.__init__(str(tmp_path / "absent.yaml"))
    for bg in (unborn, failed):
        for call in (lambda: bg.next_chunk(SPAN), lambda: bg.seek(1.0), lambda: bg.generate_metadata(0, 1)):
            with pytest.raises(RuntimeError, match="^Background is not initialised"):
                call()
    # The part before the NUL names a valid settings file, which must not be loaded.
    with pytest.raises(ValueError, match="NUL"):
        Background(settings_path + "\0.orig")


# Run in a child whose freed memory glibc overwrites at once (no thread cache, bytes perturbed), so that a call
# into the deleted a crashes rather than read what happens to be left there.
FREED_MEMORY_OVERWRITTEN = {"MALLOC_PERTURB_": "165", "GLIBC_TUNABLES": "glibc.malloc.tcache_count=0"}
HOOK_COPY = """
import sys
from vorizovedavuz import Background
ordered, hooked, plain = sys.argv[1:]
def stream(bg):
    bg.seek(0.0)
    return [[(channel, list(times)) for channel, times in bg.next_chunk(1e-3)] for _ in range(3)]
a = Background(ordered)  # its ordered provider registers the time hint
b, reference = Background(hooked), Background(plain)
assert stream(b) == stream(reference)
del a
assert stream(b) == stream(reference)
"""


def test_a_time_hint_copied_from_another_background_does_nothing_once_that_one_is_gone(settings_path, tmp_path):
    # A settings file that names the hook but has no ordered provider of its own copies another's callback.
    assert subprocess.run([str(PREPARE_REPLAY), settings_path, tmp_path / "replay", "1e-3", "2"],
                          capture_output=True).returncode == 0
    hook = {"time_hint_hook": 13076069}
    ordered, hooked = tmp_path / "ordered.yaml", tmp_path / "hooked.yaml"
    ordered.write_text(json.dumps({**SETTINGS, "lib": {**SETTINGS["lib"], **hook, "provider": "ordered"},
                                   "providers": {"ordered": {"class": "OrderedProvider", "path": "replay/library"}}}))
    hooked.write_text(json.dumps({**SETTINGS, "lib": {**SETTINGS["lib"], **hook}}))
    done = subprocess.run([sys.executable, "-c", HOOK_COPY, ordered, hooked, settings_path], capture_output=True,
                          text=True, timeout=60, env={**os.environ, **FREED_MEMORY_OVERWRITTEN})
    assert done.returncode == 0, done.stderr


DOCS = {  # the signature argument each starts with, and the exact text after the signature
    "__init__": ("settings: str)",
        "Constructs a new Background from the given settings file.\n\nInitializes all generators and loads "
        "cached model files.\n\nParameters\n----------\nsettings : str\n    Path of the settings file.\n\n"
        "Raises\n------\nRuntimeError\n    If an IO error occurs or if model/generator initialization throws."),
    "next_chunk": ("time_span: ",
        "Generates a chunk of background.\n\nEvery call will give the chunk that immediately follows the "
        "previously returned chunk. The returned vector contains pairs of channel IDs and vectors of photo "
        "electron times. The vectors of p.e. times are guaranteed to be sorted and non-empty.\n\nParameters\n"
        "----------\ntime_span : float\n    Time span of the chunk in seconds.\n\nReturns\n-------\nlist of "
        "tuple\n    A sorted list of (channel_id, p_e_times) where p_e_times is a sorted list of photo "
        "electron times in seconds.\n\nRaises\n------\nIndexError\n    If no more background is available."),
    "seek": ("time: ",
        "Sets the start time of the next call to `next_chunk()`.\n\nParameters\n----------\ntime : float\n    "
        "Absolute start time in seconds.\n\nReturns\n-------\nNone"),
    "generate_metadata": ("begin: ",
        "Generates metadata for the photo electron lists generated by `next_chunk()`.\n\nOnly the metadata in "
        "the given interval is generated. For all time intervals that can be sampled with `next_chunk()` the "
        "result is well defined.\n\nParameters\n----------\nbegin : float\n    Begin of interval of interest "
        "in seconds.\nend : float\n    End of interval of interest in seconds.\n\nReturns\n-------\nlist of "
        "Metadata\n    A list of event metadata.\n\nRaises\n------\nRuntimeError\n    If an IO error occurs.\n"
        "\nIndexError\n    If begin or end are outside the sampling interval."),
}


@pytest.mark.parametrize("name", DOCS)
def test_method_docstring(name):
    # pybind11 prepends the signature line; the text after it must be exact.
    first_argument, body = DOCS[name]
    signature, blank, rest = getattr(Background, name).__doc__.partition("\n\n")
    assert signature.startswith(f"{name}(self: vorizovedavuz.Background, {first_argument}")
    assert blank and rest.rstrip("\n") == body
