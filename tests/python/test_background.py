"""The Background class: chunks and metadata as Python objects, argument
matching, and the way library failures reach Python.

Each test writes its own settings file into its tmp_path. The files are JSON,
which is valid YAML, so the tests need no YAML library of their own.
"""

import gc
import json
import pathlib

import pytest

from vorizovedavuz import Background, DoubleVector, Metadata, MetadataVector, PEListVector

NUM_CHANNELS = 10
DARK_RATE = 1000.0
NUM_SHOWERS = 10


def base_settings():
    """Dark counts on NUM_CHANNELS channels, one PE each; a mock provider for
    metadata and shower generators."""
    mock = {"class": "MockProvider", "theta_max": 0.5, "r_max": 100.0, "e_max": 1000.0,
            "e_min": 10.0, "index": -2.0, "num_showers": NUM_SHOWERS}
    return {
        "lib": {"provider": "mock", "generator": "npe", "model": "dark",
                "num_channels": NUM_CHANNELS, "start_time": 0.0, "meta_gen_type": 1},
        "providers": {"mock": mock},
        "generators": {"npe": {"class": "NPEGenerator", "num_pe": 1},
                       "showers": {"class": "ProviderGenerator", "provider": "mock"}},
        "models": {
            "dark": {"class": "DarkCountModel", "gen_type": 0, "seed": 1,
                     "num_channels": NUM_CHANNELS, "rate": DARK_RATE},
            # Events whose ids, as shower UIDs, address the mock provider's showers.
            "showers": {"class": "DarkCountModel", "gen_type": 1, "seed": 2,
                        "num_channels": NUM_SHOWERS, "rate": 50.0},
        },
        "fluxes": {},
    }


@pytest.fixture
def settings():
    """A fresh settings document that a test may change before writing it."""
    return base_settings()


@pytest.fixture
def write_settings(tmp_path):
    """Writes a settings document into tmp_path and returns its path as str."""

    def write(document, name="settings.yaml"):
        path = tmp_path / name
        path.write_text(json.dumps(document, indent=1))
        return str(path)

    return write


@pytest.fixture
def settings_path(settings, write_settings):
    return write_settings(settings)


SPAN = 1e-3


def as_lists(chunk):
    return [(channel, list(times)) for channel, times in chunk]


def check_chunk(chunk, t0, t1, low_inclusive=True):
    assert isinstance(chunk, PEListVector)
    channels = [channel for channel, _ in chunk]
    assert channels == sorted(set(channels))
    for channel, times in chunk:
        assert type(channel) is int and type(times) is DoubleVector
        assert 0 <= channel < NUM_CHANNELS
        assert len(times) > 0
        assert list(times) == sorted(times)
        assert times[-1] <= t1
        assert times[0] >= t0 if low_inclusive else times[0] > t0


class TestChunks:
    def test_consecutive_chunks_cover_consecutive_spans(self, settings_path):
        bg = Background(settings_path)
        for k in range(5):
            check_chunk(bg.next_chunk(SPAN), k * SPAN, (k + 1) * SPAN)

    def test_first_chunk_starts_at_start_time(self, settings, write_settings):
        settings["lib"]["start_time"] = 5.0
        chunk = Background(write_settings(settings)).next_chunk(SPAN)
        assert len(chunk) > 0
        check_chunk(chunk, 5.0, 5.0 + SPAN)

    def test_rate_over_one_second(self, settings_path):
        chunk = Background(settings_path).next_chunk(1.0)
        total = sum(len(times) for _, times in chunk)
        expected = DARK_RATE * NUM_CHANNELS
        assert abs(total - expected) < 5 * expected ** 0.5
        assert len(chunk) == NUM_CHANNELS

    def test_equal_settings_give_equal_chunks(self, settings_path):
        first, second = Background(settings_path), Background(settings_path)
        for _ in range(3):
            assert first.next_chunk(SPAN) == second.next_chunk(SPAN)

    def test_zero_span_gives_empty_chunk(self, settings_path):
        chunk = Background(settings_path).next_chunk(0.0)
        assert isinstance(chunk, PEListVector) and len(chunk) == 0

    def test_times_later_than_the_chunk_end_come_in_later_chunks(self, settings, write_settings):
        # Mock shower k puts its PE k seconds after the event on channel 0.
        settings["lib"].update(generator="showers", model="showers")
        bg = Background(write_settings(settings))
        total = 0
        for k in range(15):
            chunk = bg.next_chunk(1.0)
            check_chunk(chunk, float(k), k + 1.0, low_inclusive=k == 0)
            total += sum(len(times) for _, times in chunk)
        assert total > 0

    def test_seek_moves_the_next_chunk_and_returns_none(self, settings_path):
        bg = Background(settings_path)
        bg.next_chunk(SPAN)
        assert bg.seek(100.0) is None
        check_chunk(bg.next_chunk(SPAN), 100.0, 100.0 + SPAN)

    @pytest.mark.parametrize("time", [float("nan"), float("inf"), -1e300])
    def test_seek_never_raises(self, settings_path, time):
        assert Background(settings_path).seek(time) is None


class TestChunkOwnership:
    def test_chunk_unchanged_by_later_calls(self, settings_path):
        bg = Background(settings_path)
        chunk = bg.next_chunk(SPAN)
        snapshot = as_lists(chunk)
        copy = PEListVector(chunk)
        bg.next_chunk(SPAN)
        bg.seek(0.0)
        bg.next_chunk(SPAN)
        bg.generate_metadata(0.0, 1.0)
        assert as_lists(chunk) == snapshot
        assert chunk == copy

    def test_chunk_alive_after_background_deleted(self, settings_path):
        bg = Background(settings_path)
        chunk = bg.next_chunk(SPAN)
        snapshot = as_lists(chunk)
        first_times = chunk[0][1]
        del bg
        gc.collect()
        assert as_lists(chunk) == snapshot
        assert list(first_times) == snapshot[0][1]

    def test_element_of_chunk_aliases_and_pop_owns(self, settings_path):
        chunk = Background(settings_path).next_chunk(SPAN)
        channel, times = chunk[0]
        times.append(1e9)
        assert chunk[0][1][-1] == 1e9
        popped_channel, popped = chunk.pop(0)
        assert popped_channel == channel
        popped.append(2e9)
        assert all(t[-1] != 2e9 for _, t in chunk)

    def test_metadata_result_unchanged_by_later_calls(self, settings, write_settings):
        settings["lib"]["model"] = "showers"
        bg = Background(write_settings(settings))
        result = bg.generate_metadata(0.0, 1.0)
        snapshot = [repr(m) for m in result]
        bg.generate_metadata(0.0, 1.0)
        bg.next_chunk(1.0)
        del bg
        gc.collect()
        assert [repr(m) for m in result] == snapshot


class TestMetadataRequests:
    def test_records_of_the_selected_type(self, settings, write_settings):
        settings["lib"]["model"] = "showers"
        result = Background(write_settings(settings)).generate_metadata(begin=2.0, end=3.0)
        assert isinstance(result, MetadataVector)
        assert len(result) > 0
        for m in result:
            assert isinstance(m, Metadata)
            assert m.uid < NUM_SHOWERS
            assert m.primary is Metadata.PROTON
            assert (m.num_pe, m.num_channels) == (1, 1)
            assert 2.0 <= m.time < 3.0

    def test_events_of_other_types_give_no_records(self, settings_path):
        result = Background(settings_path).generate_metadata(0.0, 1.0)
        assert isinstance(result, MetadataVector) and len(result) == 0

    def test_missing_meta_gen_type_fails_only_metadata(self, settings, write_settings):
        del settings["lib"]["meta_gen_type"]
        bg = Background(write_settings(settings))
        with pytest.raises(IndexError, match="^Key meta_gen_type not found!$"):
            bg.generate_metadata(0.0, 1.0)
        check_chunk(bg.next_chunk(SPAN), 0.0, SPAN)


class TestArguments:
    def test_keywords(self, settings_path):
        bg = Background(settings=settings_path)
        assert isinstance(bg.next_chunk(time_span=0.5), PEListVector)
        assert bg.seek(time=0.0) is None
        assert isinstance(bg.generate_metadata(begin=0.0, end=10.0), MetadataVector)
        assert isinstance(bg.generate_metadata(end=10.0, begin=0.0), MetadataVector)

    def test_int_and_index_objects_are_floats(self, settings_path):
        class Index:
            def __index__(self):
                return 1

        expected = Background(settings_path).next_chunk(1.0)
        assert Background(settings_path).next_chunk(1) == expected
        assert Background(settings_path).next_chunk(Index()) == expected

    @pytest.mark.parametrize("path_type", [bytes, bytearray])
    def test_bytes_paths_behave_like_text(self, settings_path, path_type):
        expected = Background(settings_path).next_chunk(SPAN)
        bg = Background(path_type(settings_path.encode()))
        assert bg.next_chunk(SPAN) == expected

    @pytest.mark.parametrize("call", [
        lambda bg: bg.next_chunk("1"),
        lambda bg: bg.next_chunk(None),
        lambda bg: bg.next_chunk(),
        lambda bg: bg.next_chunk(1.0, 2.0),
        lambda bg: bg.next_chunk(span=1.0),
        lambda bg: bg.seek("0"),
        lambda bg: bg.generate_metadata(0.0),
        lambda bg: bg.generate_metadata(0.0, "1"),
        lambda bg: bg.generate_metadata(start=0.0, end=1.0),
    ])
    def test_mismatched_method_arguments(self, settings_path, call):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call(Background(settings_path))

    @pytest.mark.parametrize("args", [
        (), (None,), (1,), ("\udc80",), ("a", "b")])
    def test_mismatched_settings_argument(self, args):
        with pytest.raises(TypeError, match="__init__"):
            Background(*args)

    def test_path_object_is_refused(self, settings_path):
        with pytest.raises(TypeError):
            Background(pathlib.Path(settings_path))


class TestLibraryFailures:
    def test_missing_file(self, tmp_path):
        path = str(tmp_path / "absent.yaml")
        with pytest.raises(RuntimeError) as info:
            Background(path)
        assert str(info.value) == f"Failed to load yaml file {path}"
        assert isinstance(info.value.__cause__, RuntimeError)
        assert info.value.__cause__.__cause__ is None

    def test_unparsable_file_chains_the_parser_error(self, tmp_path):
        path = tmp_path / "broken.yaml"
        path.write_text("lib: [unclosed\n")
        with pytest.raises(RuntimeError, match="^Failed to load yaml file") as info:
            Background(str(path))
        assert type(info.value.__cause__) is RuntimeError
        assert info.value.__context__ is info.value.__cause__

    def test_undefined_instance(self, settings, write_settings):
        settings["lib"]["model"] = "nope"
        path = write_settings(settings)
        with pytest.raises(IndexError) as info:
            Background(path)
        assert str(info.value) == f"Instance nope is not defined in {path}!"

    def test_unknown_class(self, settings, write_settings):
        settings["models"]["dark"]["class"] = "DarkModel"
        with pytest.raises(IndexError, match="^Class DarkModel cannot be instantiated by this factory!$"):
            Background(write_settings(settings))

    def test_missing_key(self, settings, write_settings):
        del settings["lib"]["num_channels"]
        with pytest.raises(IndexError, match="^Key num_channels not found!$"):
            Background(write_settings(settings))

    def test_failed_conversion_chains_the_parser_error(self, settings, write_settings):
        settings["lib"]["num_channels"] = "many"
        with pytest.raises(ValueError, match="^access failed$") as info:
            Background(write_settings(settings))
        assert type(info.value.__cause__) is RuntimeError
        assert info.value.__cause__.__cause__ is None

    def test_negative_channel_count(self, settings, write_settings):
        settings["lib"]["num_channels"] = -1
        with pytest.raises(ValueError):
            Background(write_settings(settings))

    def test_bad_generator_parameter(self, settings, write_settings):
        settings["generators"]["npe"] = {
            "class": "AfterpulseGenerator", "num_pe_mean": 1.0, "delay_std": 1e-7,
            "delay_mean": 1e-6, "probability": 0.0, "seed": 1, "base_generator": "single"}
        settings["generators"]["single"] = {"class": "NPEGenerator", "num_pe": 1}
        with pytest.raises(ValueError) as info:
            Background(write_settings(settings))
        assert str(info.value) == ("Illegal argument passed to AfterpulseGenerator: "
                                   "probability, delay and number of PEs have to be positive!")

    def test_channel_beyond_the_array(self, settings, write_settings):
        settings["lib"]["num_channels"] = 5
        bg = Background(write_settings(settings))
        with pytest.raises(IndexError, match=r"^Generated data for channel [5-9], "
                                             r"but only 5 channels in array!$"):
            bg.next_chunk(1.0)

    def test_unknown_shower_passes_the_provider_message_on(self, settings, write_settings):
        settings["lib"].update(generator="showers", model="showers")
        settings["models"]["showers"]["num_channels"] = NUM_SHOWERS + 5
        bg = Background(write_settings(settings))
        with pytest.raises(IndexError) as info:
            bg.next_chunk(1.0)
        # The provider's checked vector access names the UID and the count.
        assert f"(which is {NUM_SHOWERS})" in str(info.value)
        assert info.value.__cause__ is None

    @pytest.mark.parametrize("hook", [13076069, "not a number"])
    def test_unusable_time_hint_hook_is_ignored(self, settings, write_settings, hook):
        settings["lib"]["time_hint_hook"] = hook
        check_chunk(Background(write_settings(settings)).next_chunk(SPAN), 0.0, SPAN)


def doc_body(method):
    signature, blank, body = method.__doc__.partition("\n\n")
    assert blank
    return signature, body.rstrip("\n")


class TestDocstrings:
    def test_init(self):
        signature, body = doc_body(Background.__init__)
        assert signature.startswith("__init__(self: vorizovedavuz.Background, settings: str)")
        assert body == (
            "Constructs a new Background from the given settings file.\n\n"
            "Initializes all generators and loads cached model files.\n\n"
            "Parameters\n----------\nsettings : str\n    Path of the settings file.\n\n"
            "Raises\n------\nRuntimeError\n"
            "    If an IO error occurs or if model/generator initialization throws.")

    def test_next_chunk(self):
        signature, body = doc_body(Background.next_chunk)
        assert signature.startswith("next_chunk(self: vorizovedavuz.Background, time_span: ")
        assert body == (
            "Generates a chunk of background.\n\n"
            "Every call will give the chunk that immediately follows the previously returned "
            "chunk. The returned vector contains pairs of channel IDs and vectors of photo "
            "electron times. The vectors of p.e. times are guaranteed to be sorted and "
            "non-empty.\n\n"
            "Parameters\n----------\ntime_span : float\n    Time span of the chunk in seconds.\n\n"
            "Returns\n-------\nlist of tuple\n"
            "    A sorted list of (channel_id, p_e_times) where p_e_times is a sorted list of "
            "photo electron times in seconds.\n\n"
            "Raises\n------\nIndexError\n    If no more background is available.")

    def test_seek(self):
        signature, body = doc_body(Background.seek)
        assert signature.startswith("seek(self: vorizovedavuz.Background, time: ")
        assert body == (
            "Sets the start time of the next call to `next_chunk()`.\n\n"
            "Parameters\n----------\ntime : float\n    Absolute start time in seconds.\n\n"
            "Returns\n-------\nNone")

    def test_generate_metadata(self):
        signature, body = doc_body(Background.generate_metadata)
        assert signature.startswith("generate_metadata(self: vorizovedavuz.Background, begin: ")
        assert body == (
            "Generates metadata for the photo electron lists generated by `next_chunk()`.\n\n"
            "Only the metadata in the given interval is generated. For all time intervals that "
            "can be sampled with `next_chunk()` the result is well defined.\n\n"
            "Parameters\n----------\n"
            "begin : float\n    Begin of interval of interest in seconds.\n"
            "end : float\n    End of interval of interest in seconds.\n\n"
            "Returns\n-------\nlist of Metadata\n    A list of event metadata.\n\n"
            "Raises\n------\nRuntimeError\n    If an IO error occurs.\n\n"
            "IndexError\n    If begin or end are outside the sampling interval.")
