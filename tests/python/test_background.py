"""The Background class: chunks as Python objects, argument matching,
docstrings, and the way library failures reach Python.

Each test writes its own settings file into its tmp_path. The files are JSON,
which is valid YAML, so the tests need no YAML library of their own.
"""

import gc
import json
import pathlib

import pytest

from vorizovedavuz import Background, DoubleVector, Metadata, MetadataVector, PEListVector

NUM_CHANNELS = 10
SPAN = 1e-3


@pytest.fixture
def settings():
    """Dark counts, one PE each, on NUM_CHANNELS channels. The events carry the
    metadata type, so their ids are UIDs of the mock provider's showers."""
    mock = {"class": "MockProvider", "theta_max": 0.5, "r_max": 100.0, "e_max": 1000.0,
            "e_min": 10.0, "index": -2.0, "num_showers": NUM_CHANNELS}
    dark = {"class": "DarkCountModel", "gen_type": 1, "seed": 1,
            "num_channels": NUM_CHANNELS, "rate": 1000.0}
    return {"lib": {"provider": "mock", "generator": "npe", "model": "dark",
                    "num_channels": NUM_CHANNELS, "start_time": 0.0, "meta_gen_type": 1},
            "providers": {"mock": mock}, "models": {"dark": dark}, "fluxes": {},
            "generators": {"npe": {"class": "NPEGenerator", "num_pe": 1}}}


@pytest.fixture
def write(tmp_path):
    """Writes a settings document into tmp_path and returns its path as str."""
    def write(document):
        path = tmp_path / "settings.yaml"
        path.write_text(json.dumps(document))
        return str(path)

    return write


@pytest.fixture
def settings_path(settings, write):
    return write(settings)


def test_consecutive_chunks_cover_consecutive_spans(settings_path):
    bg = Background(settings_path)
    for k in range(3):
        chunk = bg.next_chunk(SPAN)
        assert isinstance(chunk, PEListVector) and len(chunk) > 0
        for channel, times in chunk:
            assert type(channel) is int and type(times) is DoubleVector
            assert k * SPAN <= times[0] and times[-1] <= (k + 1) * SPAN
    assert bg.seek(100.0) is None
    assert bg.next_chunk(SPAN)[0][1][0] >= 100.0


def test_chunk_unchanged_by_later_calls_and_alive_after_background_deleted(settings_path):
    # The chunk is moved into Python: it must own its data, not view the driver's.
    bg = Background(settings_path)
    chunk = bg.next_chunk(SPAN)
    snapshot = [(channel, list(times)) for channel, times in chunk]
    first_times = chunk[0][1]
    bg.next_chunk(SPAN)
    bg.seek(0.0)
    bg.generate_metadata(0.0, 1.0)
    del bg
    gc.collect()
    assert [(channel, list(times)) for channel, times in chunk] == snapshot
    assert list(first_times) == snapshot[0][1]


def test_keyword_arguments_bind_by_name(settings_path):
    # Swapped keywords must still mean begin=2, end=3, and records come back
    # as a MetadataVector of Metadata.
    bg = Background(settings=settings_path)
    assert isinstance(bg.next_chunk(time_span=0.5), PEListVector)
    assert bg.seek(time=0.0) is None
    result = bg.generate_metadata(end=3.0, begin=2.0)
    assert isinstance(result, MetadataVector) and len(result) > 0
    assert all(m.primary is Metadata.PROTON and 2.0 <= m.time < 3.0 for m in result)


@pytest.mark.parametrize("path_type", [bytes, bytearray])
def test_bytes_settings_paths_behave_like_text(settings_path, path_type):
    expected = Background(settings_path).next_chunk(SPAN)
    assert Background(path_type(settings_path.encode())).next_chunk(SPAN) == expected


@pytest.mark.parametrize("call", [
    lambda path: Background(),
    lambda path: Background(1),
    lambda path: Background("\udc80"),
    lambda path: Background(pathlib.Path(path)),
    lambda path: Background(path).next_chunk("1"),
    lambda path: Background(path).next_chunk(1.0, 2.0),
    lambda path: Background(path).next_chunk(span=1.0),
    lambda path: Background(path).seek("0"),
    lambda path: Background(path).generate_metadata(0.0),
    lambda path: Background(path).generate_metadata(0.0, "1"),
    lambda path: Background(path).generate_metadata(start=0.0, end=1.0),
])
def test_wrong_arguments_raise_type_error(settings_path, call):
    with pytest.raises(TypeError, match="incompatible .* arguments"):
        call(settings_path)


@pytest.mark.parametrize("lib, error, message, cause", [
    (None, RuntimeError, "Failed to load yaml file {path}", RuntimeError),
    ({"model": "nope"}, IndexError, "Instance nope is not defined in {path}!", None),
    ({"num_channels": "many"}, ValueError, "access failed", RuntimeError),
])
def test_library_failures_map_to_python_exceptions(settings, write, tmp_path,
                                                   lib, error, message, cause):
    # lib None: no file at all. Otherwise the settings' "lib" entries are changed.
    if lib is None:
        path = str(tmp_path / "absent.yaml")
    else:
        settings["lib"].update(lib)
        path = write(settings)
    with pytest.raises(error) as info:
        Background(path)
    assert str(info.value) == message.format(path=path)
    # A loader or parser error underneath is chained as the cause, and ends the chain.
    assert type(info.value.__cause__) is (cause or type(None))
    assert info.value.__cause__ is None or info.value.__cause__.__cause__ is None


@pytest.mark.parametrize("call", [
    lambda bg: bg.next_chunk(SPAN),
    lambda bg: bg.seek(1.0),
    lambda bg: bg.generate_metadata(0.0, 1.0),
])
def test_background_without_a_driver_raises_instead_of_crashing(settings_path, tmp_path, call):
    # Made through __new__, or left behind by an __init__ that failed, the
    # object holds no driver.
    unborn = Background.__new__(Background)
    failed = Background.__new__(Background)
    with pytest.raises(RuntimeError, match="Failed to load yaml file"):
        failed.__init__(str(tmp_path / "absent.yaml"))
    for bg in (unborn, failed):
        with pytest.raises(RuntimeError, match="^Background is not initialised"):
            call(bg)


def test_settings_path_with_an_embedded_nul_is_refused(settings_path):
    # The part before the NUL names a valid settings file, which must not be
    # loaded in its place.
    with pytest.raises(ValueError, match="NUL"):
        Background(settings_path + "\0.orig")


DOCS = {
    "__init__": ("settings: str)",
        "Constructs a new Background from the given settings file.\n\n"
        "Initializes all generators and loads cached model files.\n\n"
        "Parameters\n----------\nsettings : str\n    Path of the settings file.\n\n"
        "Raises\n------\nRuntimeError\n    If an IO error occurs or if model/generator "
        "initialization throws."),
    "next_chunk": ("time_span: ",
        "Generates a chunk of background.\n\n"
        "Every call will give the chunk that immediately follows the previously returned "
        "chunk. The returned vector contains pairs of channel IDs and vectors of photo "
        "electron times. The vectors of p.e. times are guaranteed to be sorted and "
        "non-empty.\n\n"
        "Parameters\n----------\ntime_span : float\n    Time span of the chunk in seconds.\n\n"
        "Returns\n-------\nlist of tuple\n"
        "    A sorted list of (channel_id, p_e_times) where p_e_times is a sorted list of "
        "photo electron times in seconds.\n\n"
        "Raises\n------\nIndexError\n    If no more background is available."),
    "seek": ("time: ",
        "Sets the start time of the next call to `next_chunk()`.\n\n"
        "Parameters\n----------\ntime : float\n    Absolute start time in seconds.\n\n"
        "Returns\n-------\nNone"),
    "generate_metadata": ("begin: ",
        "Generates metadata for the photo electron lists generated by `next_chunk()`.\n\n"
        "Only the metadata in the given interval is generated. For all time intervals that "
        "can be sampled with `next_chunk()` the result is well defined.\n\n"
        "Parameters\n----------\n"
        "begin : float\n    Begin of interval of interest in seconds.\n"
        "end : float\n    End of interval of interest in seconds.\n\n"
        "Returns\n-------\nlist of Metadata\n    A list of event metadata.\n\n"
        "Raises\n------\nRuntimeError\n    If an IO error occurs.\n\n"
        "IndexError\n    If begin or end are outside the sampling interval."),
}


@pytest.mark.parametrize("name", DOCS)
def test_method_docstring(name):
    # pybind11 prepends the signature line; the text after it must be exact.
    first_argument, body = DOCS[name]
    signature, blank, rest = getattr(Background, name).__doc__.partition("\n\n")
    assert signature.startswith(f"{name}(self: vorizovedavuz.Background, {first_argument}")
    assert blank and rest.rstrip("\n") == body


def test_non_finite_times_raise_value_error_before_the_clock_moves(settings_path):
    bg, fresh = Background(settings_path), Background(settings_path)
    with pytest.raises(ValueError, match="^A chunk of nan s from 0 s does not end at a finite time!$"):
        bg.next_chunk(float("nan"))
    with pytest.raises(ValueError, match="^Seek time inf is not a finite time!$"):
        bg.seek(float("inf"))
    assert bg.next_chunk(SPAN) == fresh.next_chunk(SPAN)
