"""The Metadata record: the Primary enum, property conversions, text form."""

import enum

import pytest

from vorizovedavuz import Metadata, MetadataVector

ZERO_REPR = (
    "<Metadata(uid = 0, primary = GAMMA, energy = 0.000e+00 GeV, x = 0 m, y = 0 m, "
    "theta = 0.000, phi = 0.000, time = 0.000e+00 s, num_pe = 0, num_channels = 0)>")


def test_primary_is_an_int_enum_with_members_exported_into_metadata():
    primary = Metadata.Primary
    assert issubclass(primary, enum.IntEnum)
    assert [(m.name, m.value) for m in primary] == [("GAMMA", 1), ("PROTON", 14)]
    assert Metadata.GAMMA is primary.GAMMA and Metadata.PROTON is primary.PROTON


def test_default_record_refuses_to_read_primary_but_has_a_text_form():
    # A zeroed record holds primary 0, which is no member; repr must not go
    # through the enum conversion.
    m = Metadata()
    with pytest.raises(ValueError):
        m.primary
    assert repr(m) == str(m) == ZERO_REPR


def test_primary_takes_members_only():
    m = Metadata()
    with pytest.raises(TypeError):
        m.primary = 14
    m.primary = Metadata.PROTON
    assert m.primary is Metadata.Primary.PROTON
    assert m.primary == 14


@pytest.mark.parametrize("name, value, text", [
    ("primary", Metadata.PROTON, "primary = PROTON,"),
    ("primary", Metadata.GAMMA, "primary = GAMMA,"),
    ("uid", 2**64 - 1, "uid = 18446744073709551615,"),
    ("energy", 1234.6, "energy = 1.235e+03 GeV,"),
    ("x", -0.4, "x = -0 m,"),            # rounds to a signed zero
    ("y", 1e20, "y = 100000000000000000000 m,"),  # fixed notation, no exponent
    ("theta", 0.12345, "theta = 0.123,"),
    ("time", 1.5e-3, "time = 1.500e-03 s,"),
    ("num_pe", -1, "num_pe = -1,"),
    ("num_channels", 2**31 - 1, "num_channels = 2147483647)>"),
])
def test_text_form_of_each_field(name, value, text):
    m = Metadata()
    setattr(m, name, value)
    assert text in repr(m)


@pytest.mark.parametrize("name, value, accepted", [
    ("num_pe", -2**31, True), ("num_pe", 2**31 - 1, True),
    ("num_pe", 2**31, False), ("num_pe", -2**31 - 1, False), ("num_pe", 2.0, False),
    ("num_channels", 2**31, False), ("num_channels", "2", False),
    ("uid", 0, True), ("uid", 2**64 - 1, True),
    ("uid", -1, False), ("uid", 2**64, False), ("uid", 1.0, False),
    ("energy", 3, True), ("energy", "1.0", False),
])
def test_integer_ranges_and_refused_types_keep_the_old_value(name, value, accepted):
    m = Metadata()
    setattr(m, name, 7)
    if accepted:
        setattr(m, name, value)
        assert getattr(m, name) == value
    else:
        with pytest.raises(TypeError):
            setattr(m, name, value)
        assert getattr(m, name) == 7


def test_metadata_vector_copies_in_and_indexes_the_stored_record():
    # Representative of the bound-vector element semantics for a class type.
    m = Metadata()
    vector = MetadataVector([m, Metadata()])
    m.energy = 9.0
    vector[1].energy = 42.0
    assert [record.energy for record in vector] == [0.0, 42.0]
