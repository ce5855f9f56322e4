"""The shipped example settings: cosmic-ray showers stream beside the dark
counts and come back as metadata."""

import pathlib

from vorizovedavuz import Background, Metadata

SETTINGS = pathlib.Path(__file__).resolve().parents[2] / "examples" / "settings.yaml"


def test_example_showers_arrive_at_a_few_khz_with_their_metadata():
    bg = Background(str(SETTINGS))
    assert len(bg.next_chunk(1e-3)) > 0
    # About 4.9 kHz: some 490 showers in 0.1 s, Poisson spread 22.
    showers = bg.generate_metadata(0.0, 0.1)
    assert 380 < len(showers) < 600
    times = [shower.time for shower in showers]
    assert times == sorted(times) and 0.0 <= times[0] and times[-1] < 0.1
    assert all(shower.primary == Metadata.PROTON and 1e3 <= shower.energy <= 1e6 for shower in showers)
