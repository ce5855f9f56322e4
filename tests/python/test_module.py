"""The module itself: where it is loaded from, what it defines, re-import."""

import enum
import os
import pathlib
import subprocess
import sys

import vorizovedavuz

REPO_ROOT = pathlib.Path(__file__).resolve().parents[2]
CLASSES = {"Background", "DoubleVector", "Metadata", "MetadataVector", "PEListVector"}


def test_module_is_the_installed_extension_not_the_build_tree():
    location = pathlib.Path(vorizovedavuz.__file__).resolve()
    assert location.suffix == ".so"
    assert location.name.startswith("vorizovedavuz.")
    assert REPO_ROOT not in location.parents


def test_imports_from_any_directory_without_environment(tmp_path):
    env = {key: value for key, value in os.environ.items()
           if key not in {"PYTHONPATH", "LD_LIBRARY_PATH", "PYTHONHOME"}}
    result = subprocess.run(
        [sys.executable, "-c", "import vorizovedavuz; print(vorizovedavuz.__doc__)"],
        cwd=tmp_path, env=env, capture_output=True, text=True, check=False)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "Python bindings for the NELM Background Library\n"


def test_docstring():
    assert vorizovedavuz.__doc__ == "Python bindings for the NELM Background Library"


def test_defines_exactly_the_five_classes_and_nothing_else():
    names = set(dir(vorizovedavuz))
    assert {name for name in names if not name.startswith("__")} == CLASSES
    assert names - CLASSES == {
        "__doc__", "__file__", "__loader__", "__name__", "__package__", "__spec__"}
    for name in CLASSES:
        cls = getattr(vorizovedavuz, name)
        assert isinstance(cls, type)
        assert cls.__module__ == "vorizovedavuz"
        assert cls.__doc__ is None


def test_primary_is_a_native_int_enum_nested_in_metadata():
    primary = vorizovedavuz.Metadata.Primary
    assert issubclass(primary, enum.IntEnum)
    assert primary.__name__ == "Primary"
    assert primary.__qualname__ == "Metadata.Primary"
    assert primary.__module__ == "vorizovedavuz"
    assert [(member.name, member.value) for member in primary] == [("GAMMA", 1), ("PROTON", 14)]
    assert vorizovedavuz.Metadata.GAMMA is primary.GAMMA
    assert vorizovedavuz.Metadata.PROTON is primary.PROTON


def test_pybind11_conduit_on_every_class_but_the_enum():
    for name in CLASSES:
        assert hasattr(getattr(vorizovedavuz, name), "_pybind11_conduit_v1_")
    assert not hasattr(vorizovedavuz.Metadata.Primary, "_pybind11_conduit_v1_")


def test_only_the_vectors_of_unregistered_elements_are_module_local():
    # pybind11 marks a module-local class with a __pybind11_module_local_*
    # attribute; MetadataVector is global only if Metadata came first.
    def is_local(cls):
        return any(key.startswith("__pybind11_module_local_") for key in vars(cls))

    local = {name for name in CLASSES if is_local(getattr(vorizovedavuz, name))}
    assert local == {"DoubleVector", "PEListVector"}


def test_reimport_after_removal_from_sys_modules_gives_the_same_module():
    original = sys.modules.pop("vorizovedavuz")
    try:
        import vorizovedavuz as again
        assert again is original
        assert again.Metadata is original.Metadata
        assert again.Background is original.Background
        assert again.Metadata.Primary is original.Metadata.Primary
    finally:
        sys.modules["vorizovedavuz"] = original


def test_refuses_other_interpreter_versions():
    # Another interpreter is not at hand; the check and its message must at
    # least be compiled in, for exactly this interpreter's major.minor.
    binary = pathlib.Path(vorizovedavuz.__file__).read_bytes()
    assert (b"Python version mismatch: module was compiled for Python %s, "
            b"but the interpreter version is incompatible: %s.") in binary
    assert f"{sys.version_info.major}.{sys.version_info.minor}".encode() + b"\0" in binary
