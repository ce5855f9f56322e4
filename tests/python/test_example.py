"""The shipped example settings on the simulation files its maker, a C++
example program of the build tree, writes."""

import pathlib
import shutil
import subprocess
import sys

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


def test_example_refuses_bad_input_in_one_line_and_prepare_replay_reads_whole_numbers_only(tmp_path):
    for name in ("settings.yaml", "proton_flux.txt"):
        shutil.copy(ROOT / "examples" / name, tmp_path / name)
    text = (tmp_path / "settings.yaml").read_text()
    (tmp_path / "far.yaml").write_text(text.replace("start_time: 0.0", "start_time: 1.0e+10"))
    (tmp_path / "list.yaml").write_text("[1, 2]\n")
    (tmp_path / "data").write_text("a file where the simulation directories belong")
    for arguments, said in [(["none.yaml"], "not a regular file"), (["."], "not a regular file"),
                            (["list.yaml"], "not a mapping"), (["settings.yaml", "--chunk", "1e-300"], "chunks"),
                            (["far.yaml", "--chunk", "1e-7", "--seconds", "1"], "would not advance"),
                            (["settings.yaml", "--seconds", "1e-3"], "make_showers failed")]:
        done = subprocess.run([sys.executable, str(ROOT / "examples" / "stream_background.py"), *arguments],
                              cwd=tmp_path, capture_output=True, text=True, timeout=120)
        assert done.returncode != 0 and said in done.stderr and len(done.stderr.splitlines()) == 1, done.stderr
    prepare = [str(ROOT / "build" / "default" / "examples" / "prepare_replay"), "none.yaml", "out", "1e-3"]
    assert [subprocess.run(prepare + [count], capture_output=True).returncode for count in ("50x", "2.5", "2e2")] == [2, 2, 1]
