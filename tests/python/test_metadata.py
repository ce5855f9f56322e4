"""The Metadata record: construction, property conversions, text form."""

import gc

import pytest

from vorizovedavuz import Metadata, MetadataVector

ZERO_REPR = (
    "<Metadata(uid = 0, primary = GAMMA, energy = 0.000e+00 GeV, x = 0 m, y = 0 m, "
    "theta = 0.000, phi = 0.000, time = 0.000e+00 s, num_pe = 0, num_channels = 0)>")

FLOAT_FIELDS = ["energy", "x", "y", "theta", "phi", "time"]
INT32_FIELDS = ["num_pe", "num_channels"]


class TestDefaultRecord:
    def test_text_form(self):
        assert repr(Metadata()) == ZERO_REPR
        assert str(Metadata()) == ZERO_REPR

    def test_all_fields_zero(self):
        m = Metadata()
        assert m.uid == 0
        for name in FLOAT_FIELDS:
            assert getattr(m, name) == 0.0
            assert isinstance(getattr(m, name), float)
        for name in INT32_FIELDS:
            assert getattr(m, name) == 0

    def test_primary_zero_is_refused_but_the_record_stays_usable(self):
        m = Metadata()
        with pytest.raises(ValueError, match="0 is not a valid"):
            m.primary
        assert m.uid == 0 and m.energy == 0.0 and m.num_channels == 0
        assert repr(m) == ZERO_REPR

    def test_no_equality_of_its_own(self):
        m = Metadata()
        assert m == m
        assert Metadata() != Metadata()


class TestPrimary:
    def test_plain_int_is_refused_even_for_a_member_value(self):
        m = Metadata()
        with pytest.raises(TypeError):
            m.primary = 14
        with pytest.raises(TypeError):
            m.primary = 1
        with pytest.raises(ValueError):
            m.primary

    @pytest.mark.parametrize("member", [Metadata.PROTON, Metadata.Primary.PROTON])
    def test_member_is_stored_and_reads_back_as_member(self, member):
        m = Metadata()
        m.primary = member
        assert m.primary is Metadata.Primary.PROTON
        assert m.primary == 14

    def test_text_form_names_the_primary(self):
        m = Metadata()
        m.primary = Metadata.PROTON
        assert "primary = PROTON," in repr(m)
        m.primary = Metadata.GAMMA
        assert "primary = GAMMA," in repr(m)
        assert m.primary == 1


class TestIntegerRanges:
    @pytest.mark.parametrize("name", INT32_FIELDS)
    @pytest.mark.parametrize("value", [-1, -2**31, 2**31 - 1, True])
    def test_int32_accepts(self, name, value):
        m = Metadata()
        setattr(m, name, value)
        assert getattr(m, name) == value

    @pytest.mark.parametrize("name", INT32_FIELDS)
    @pytest.mark.parametrize("value", [2.0, 2**31, -2**31 - 1, "2", None])
    def test_int32_refuses_and_keeps_the_old_value(self, name, value):
        m = Metadata()
        setattr(m, name, 7)
        with pytest.raises(TypeError):
            setattr(m, name, value)
        assert getattr(m, name) == 7

    @pytest.mark.parametrize("value", [0, 2**64 - 1])
    def test_uid_accepts(self, value):
        m = Metadata()
        m.uid = value
        assert m.uid == value

    @pytest.mark.parametrize("value", [-1, 2**64, 1.0, "1"])
    def test_uid_refuses(self, value):
        m = Metadata()
        m.uid = 5
        with pytest.raises(TypeError):
            m.uid = value
        assert m.uid == 5


class TestFloatFields:
    @pytest.mark.parametrize("name", FLOAT_FIELDS)
    def test_accepts_int_and_float_like(self, name):
        class FloatLike:
            def __float__(self):
                return 2.5

        m = Metadata()
        setattr(m, name, 3)
        assert getattr(m, name) == 3.0
        setattr(m, name, FloatLike())
        assert getattr(m, name) == 2.5

    @pytest.mark.parametrize("name", FLOAT_FIELDS)
    def test_refuses_text(self, name):
        m = Metadata()
        with pytest.raises(TypeError):
            setattr(m, name, "1.0")


class TestTextForm:
    def test_every_field_formatted(self):
        m = Metadata()
        m.uid = 2**64 - 1
        m.primary = Metadata.PROTON
        m.energy = 1234.6
        m.x = 12.5001
        m.y = -7.6
        m.theta = 0.12345
        m.phi = 6.2831853
        m.time = 1.5e-3
        m.num_pe = -1
        m.num_channels = 2**31 - 1
        assert repr(m) == (
            "<Metadata(uid = 18446744073709551615, primary = PROTON, energy = 1.235e+03 GeV, "
            "x = 13 m, y = -8 m, theta = 0.123, phi = 6.283, time = 1.500e-03 s, "
            "num_pe = -1, num_channels = 2147483647)>")

    def test_small_negative_rounds_to_minus_zero(self):
        m = Metadata()
        m.x = -0.4
        assert "x = -0 m," in repr(m)

    def test_fixed_notation_has_no_exponent(self):
        m = Metadata()
        m.y = 1e20
        assert "y = 100000000000000000000 m," in repr(m)

    def test_non_finite_values(self):
        m = Metadata()
        m.energy = float("inf")
        m.time = float("nan")
        text = repr(m)
        assert "energy = inf GeV," in text
        assert "time = nan s," in text


def test_property_docstrings():
    expected = {
        "uid": "Unique ID of the shower.",
        "primary": "Type of primary particle (gamma = 1, proton = 14).",
        "energy": "Energy of the primary particle in GeV.",
        "x": "X position of the shower core in meters.",
        "y": "Y position of the shower core in meters.",
        "theta": "Zenith angle of the shower in radians.",
        "phi": "Azimuth angle of the shower in radians.",
        "time": "Arrival time of the shower in seconds.",
        "num_pe": "Number of photo electrons in the shower (-1 if unknown).",
        "num_channels":
            "Number of channels with photo electrons in the shower (-1 if unknown).",
    }
    for name, doc in expected.items():
        assert getattr(Metadata, name).__doc__ == doc


class TestMetadataVector:
    def make(self, count):
        vector = MetadataVector()
        for uid in range(count):
            m = Metadata()
            m.uid = uid
            vector.append(m)
        return vector

    def test_append_copies_the_record_in(self):
        m = Metadata()
        vector = MetadataVector([m])
        m.energy = 9.0
        assert vector[0].energy == 0.0

    def test_indexed_element_refers_to_the_stored_record(self):
        vector = self.make(3)
        vector[1].energy = 42.0
        assert vector[1].energy == 42.0
        assert [m.energy for m in vector] == [0.0, 42.0, 0.0]

    def test_element_keeps_the_vector_alive(self):
        vector = self.make(2)
        element = vector[-1]
        del vector
        gc.collect()
        assert element.uid == 1

    def test_slice_holds_copies(self):
        vector = self.make(3)
        part = vector[1:]
        assert isinstance(part, MetadataVector)
        part[0].energy = 5.0
        assert vector[1].energy == 0.0
        assert [m.uid for m in part] == [1, 2]

    def test_pop_moves_the_record_out(self):
        vector = self.make(2)
        popped = vector.pop()
        assert popped.uid == 1 and len(vector) == 1
        popped.energy = 3.0
        assert vector[0].energy == 0.0

    def test_no_value_comparisons(self):
        vector = self.make(1)
        for name in ("count", "remove", "__contains__"):
            assert not hasattr(MetadataVector, name)
        assert vector != self.make(1)

    def test_element_of_wrong_type(self):
        vector = self.make(1)
        with pytest.raises(TypeError):
            vector.append(1)
        with pytest.raises(RuntimeError):
            vector.extend([Metadata(), 1])
        assert len(vector) == 1
