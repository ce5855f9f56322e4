"""The shipped example settings on the simulation files its maker, a C++
example program of the build tree, writes."""

import pathlib
import shutil
import subprocess

from vorizovedavuz import Background, Metadata

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_example_showers_arrive_at_the_flux_rate_with_their_metadata(tmp_path):
    for name in ("settings.yaml", "proton_flux.txt"):
        shutil.copy(ROOT / "examples" / name, tmp_path / name)
    subprocess.run([str(ROOT / "build" / "default" / "examples" / "make_showers"), str(tmp_path / "data")],
                   check=True)
    bg = Background(str(tmp_path / "settings.yaml"))
    assert len(bg.next_chunk(1e-3)) > 900
    # About 26.1 kHz: some 2611 showers in 0.1 s, Poisson spread 51.
    showers = bg.generate_metadata(0.0, 0.1)
    assert 2356 < len(showers) < 2866
    times = [shower.time for shower in showers]
    assert times == sorted(times) and 0.0 <= times[0] and times[-1] < 0.1
    assert {shower.primary for shower in showers} <= {Metadata.PROTON, Metadata.GAMMA}
    assert all(1e3 <= shower.energy <= 1e5 and shower.num_pe >= 0 for shower in showers)
