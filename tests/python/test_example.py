"""The shipped example settings on the simulation files its maker, a C++
example program of the build tree, writes."""

import math
import pathlib
import resource
import shutil
import signal
import struct
import subprocess
import sys

from vorizovedavuz import Background, Metadata

ROOT = pathlib.Path(__file__).resolve().parents[2]
PROGRAMS = ROOT / "build" / "default" / "examples"


def completed(program, *arguments, **options):
    return subprocess.run([str(PROGRAMS / program), *map(str, arguments)], capture_output=True, **options)


def run(program, *arguments, **options):
    return completed(program, *arguments, **options).returncode


def first_pe_time(file_bytes):
    """Offset of the first PE's time: showers without PEs hold no data record."""
    at = 68
    while True:
        at += 8 + 72 + 8  # the shower record, then the PE tag and length words
        (count,) = struct.unpack_from("<I", file_bytes, at)
        at += 4
        if count:
            return at + 4 + 4  # behind the data record's length and the PE's channel


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a write past the limit fails instead
    resource.setrlimit(resource.RLIMIT_FSIZE, (100_000, 100_000))


def test_example_showers_arrive_at_the_flux_rate_from_files_make_showers_checks_as_the_provider_reads_them(tmp_path):
    for name in ("settings.yaml", "proton_flux.txt"):
        shutil.copy(ROOT / "examples" / name, tmp_path / name)
    data, cut = tmp_path / "data", tmp_path / "cut"
    assert run("make_showers", data, "1e3") == 0 and run("make_showers", "--check", data) == 0
    bg = Background(str(tmp_path / "settings.yaml"))
    assert len(bg.next_chunk(1e-3)) > 900
    # About 26.1 kHz: some 2611 showers in 0.1 s, Poisson spread 51.
    showers = bg.generate_metadata(0.0, 0.1)
    assert 2356 < len(showers) < 2866
    times = [shower.time for shower in showers]
    assert times == sorted(times) and 0.0 <= times[0] and times[-1] < 0.1
    assert {shower.primary for shower in showers} <= {Metadata.PROTON, Metadata.GAMMA}
    assert all(1e3 <= shower.energy <= 1e5 and shower.num_pe >= 0 for shower in showers)

    # Stopped by a file-size limit, a run leaves whole files only: those of 1e3 = 1000 channels.
    assert run("make_showers", cut, preexec_fn=limit_file_size) == 1 and run("make_showers", "--check", cut) == 1
    written = list(cut.rglob("*.xcd"))
    assert written and all(file.read_bytes() == (data / file.relative_to(cut)).read_bytes() for file in written)
    # The check refuses a whole file of too few showers and a stray damaged file; the
    # example then writes the files again, a truncated one too.
    gammas = data / "gammas"
    whole = (gammas / "showers_3.xcd").read_bytes()
    (gammas / "showers_3.xcd").write_bytes(whole[:68] + struct.pack("<iiI", -9, 4, 0))  # end record: 0 showers
    assert run("make_showers", "--check", data) == 1
    nan = bytearray(whole)
    struct.pack_into("<d", nan, first_pe_time(whole), math.nan)
    (gammas / "showers_3.xcd").write_bytes(nan)
    done = completed("make_showers", "--check", data, text=True)
    assert done.returncode == 1 and str(gammas / "showers_3.xcd") in done.stderr, done.stderr
    (gammas / "showers_3.xcd").write_bytes(whole)
    (gammas / "showers_99.xcd").write_bytes(whole[:-1])
    assert run("make_showers", "--check", data) == 1
    with open(data / "protons_run2" / "showers_5.xcd", "r+b") as file:
        file.truncate(1000)
    done = subprocess.run([sys.executable, str(ROOT / "examples" / "stream_background.py"), "settings.yaml",
                           "--seconds", "1e-3", "--no-replay"], cwd=tmp_path, capture_output=True, timeout=120)
    assert done.returncode == 0 and run("make_showers", "--check", data) == 0, done.stderr


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
    counts = ("2.5", "50x", "4294967297", "-1", "")
    assert [run("make_showers", tmp_path / "none", count) for count in counts] == [2] * len(counts)
    assert [run("prepare_replay", "none.yaml", "out", chunk, count)
            for chunk, count in [("1e-3", "50x"), ("1e-3", "2.5"), ("inf", "2"), ("1e999", "2"), ("1e-3", "2e2")]] \
        == [2, 2, 2, 2, 1]


def test_make_showers_takes_no_option_for_its_output_folder(tmp_path):
    for arguments, status in [(["--help"], 0), (["-h"], 0), (["--check"], 2), (["-x"], 2), (["--bogus", "out"], 2),
                              ([""], 2)]:
        done = completed("make_showers", *arguments, cwd=tmp_path, text=True, timeout=60)
        assert done.returncode == status and "usage:" in (done.stderr if status else done.stdout), arguments
    assert not list(tmp_path.iterdir())
