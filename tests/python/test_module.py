"""The module itself, the Metadata record and the bound vector types."""

import enum
import gc
import pathlib
import sys

import pytest

import vorizovedavuz
from vorizovedavuz import DoubleVector, Metadata, MetadataVector, PEListVector

CLASSES = {"Background", "DoubleVector", "Metadata", "MetadataVector", "PEListVector"}


def test_module_is_the_installed_extension_with_its_docstring_and_five_classes():
    # A stale build or the checkout shadowing the wheel would test the wrong code.
    location = pathlib.Path(vorizovedavuz.__file__).resolve()
    assert location.suffix == ".so" and pathlib.Path(__file__).parents[2] not in location.parents
    assert vorizovedavuz.__doc__ == "Python bindings for the NELM Background Library"
    assert set(dir(vorizovedavuz)) - {"__doc__", "__file__", "__loader__", "__name__", "__package__",
                                      "__spec__"} == CLASSES
    # MetadataVector is global only if Metadata was registered before it.
    local = {name for name in CLASSES if any(
        key.startswith("__pybind11_module_local_") for key in vars(getattr(vorizovedavuz, name)))}
    assert local == {"DoubleVector", "PEListVector"}


def test_reimport_after_removal_from_sys_modules_gives_the_same_module():
    # The extension does not support re-initialisation: a second import must
    # hand back the cached module, not build new, incompatible classes.
    original = sys.modules.pop("vorizovedavuz")
    try:
        import vorizovedavuz as again
        assert again is original
    finally:
        sys.modules["vorizovedavuz"] = original


def test_records_start_zeroed_even_without_init_primary_takes_members_only_and_the_text_form_of_every_field():
    assert issubclass(Metadata.Primary, enum.IntEnum)
    assert [(m.name, m.value) for m in Metadata.Primary] == [("GAMMA", 1), ("PROTON", 14)]
    assert Metadata.PROTON is Metadata.Primary.PROTON
    # Made through __new__ alone, a record is zeroed as well (not what the heap held), and so is its copy.
    for m in (Metadata(), Metadata.__new__(Metadata), MetadataVector([Metadata.__new__(Metadata)])[0]):
        assert not any(getattr(m, f) for f in ("uid", "num_pe", "num_channels", "energy", "x", "y", "theta", "phi", "time"))
        with pytest.raises(ValueError):
            m.primary  # a zeroed record holds 0, which is no member, yet has a text form
        assert repr(m) == str(m) == ("<Metadata(uid = 0, primary = GAMMA, energy = 0.000e+00 GeV, x = 0 m, y = 0 m, "
                                     "theta = 0.000, phi = 0.000, time = 0.000e+00 s, num_pe = 0, num_channels = 0)>")
        with pytest.raises(TypeError):
            m.primary = 14
    m.primary = Metadata.PROTON
    assert m.primary is Metadata.PROTON
    # Every field distinct, so a field shown in another's place or left out shows.
    for name, value in [("uid", 2**64 - 1), ("energy", 1234.6), ("x", -0.4), ("y", 1e20), ("theta", 0.12345),
                        ("phi", 2.71828), ("time", 1.5e-3), ("num_pe", -1), ("num_channels", 2**31 - 1)]:
        setattr(m, name, value)
    assert repr(m) == ("<Metadata(uid = 18446744073709551615, primary = PROTON, energy = 1.235e+03 GeV, x = -0 m, "
                       "y = 100000000000000000000 m, theta = 0.123, phi = 2.718, time = 1.500e-03 s, num_pe = -1, "
                       "num_channels = 2147483647)>")


def pe_list(*entries):
    return PEListVector([(channel, DoubleVector(times)) for channel, times in entries])


def test_vectors_compare_by_value_and_pe_list_times_alias_the_stored_vector():
    assert DoubleVector([1, 2.5]) == DoubleVector([1.0, 2.5]) != DoubleVector([2.5, 1])
    vector = pe_list((3, [0.5]), (4, [1.0]), (5, []))
    element = vector[0]
    assert type(element) is tuple and type(element[1]) is DoubleVector
    element[1].append(0.75)
    iterated = [times for _, times in vector]  # iteration aliases like indexing
    iterated[2].append(9.0)
    assert list(vector[2][1]) == [9.0]
    channel, popped = vector.pop(1)
    popped.append(2.0)
    assert channel == 4 and vector == pe_list((3, [0.5, 0.75]), (5, [9.0]))
    del vector
    gc.collect()  # the aliases keep the list alive, the popped times are owned
    assert list(element[1]) == [0.5, 0.75] and list(popped) == [1.0, 2.0]
    # Times taken by iteration keep the chunk alive too.
    chunk = pe_list((1, [4.0]))
    times = next(iter(chunk))[1]
    del chunk
    gc.collect()
    assert list(times) == [4.0]
    # The times must already be a DoubleVector: no implicit list conversion.
    with pytest.raises(RuntimeError):
        PEListVector([(3, [0.5])])
