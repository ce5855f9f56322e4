"""DoubleVector and PEListVector: text form, equality, element aliasing and
ownership, failures that leave the vector unchanged."""

import gc

import pytest

from vorizovedavuz import DoubleVector, PEListVector

SLICE_SIZE_MESSAGE = "Left and right hand size of slice assignment have different sizes!"


class TestDoubleVectorText:
    def test_short_default_stream_form(self):
        assert repr(DoubleVector([1, 2.5])) == "DoubleVector[1, 2.5]"

    def test_empty(self):
        assert repr(DoubleVector()) == "DoubleVector[]"

    def test_six_significant_digits(self):
        vector = DoubleVector([1 / 3, 1e-7, 123456789.0, -0.0, float("inf")])
        assert repr(vector) == "DoubleVector[0.333333, 1e-07, 1.23457e+08, -0, inf]"


class TestDoubleVectorValues:
    def test_equality_by_value(self):
        assert DoubleVector([1, 2.5]) == DoubleVector([1.0, 2.5])
        assert DoubleVector([1, 2.5]) != DoubleVector([2.5, 1])
        assert DoubleVector([1]) != DoubleVector([1, 1])

    def test_nan_is_never_equal(self):
        vector = DoubleVector([float("nan")])
        assert not vector == vector
        assert vector != vector
        assert float("nan") not in vector

    def test_count_remove_contains(self):
        vector = DoubleVector([1, 2, 1])
        assert vector.count(1) == 2
        assert 2.0 in vector
        vector.remove(1)
        assert list(vector) == [2.0, 1.0]
        with pytest.raises(ValueError):
            vector.remove(7)
        assert list(vector) == [2.0, 1.0]

    def test_accepts_float_like_elements(self):
        class Index:
            def __index__(self):
                return 4

        vector = DoubleVector([True, 3])
        vector.append(Index())
        assert list(vector) == [1.0, 3.0, 4.0]
        assert all(isinstance(x, float) for x in vector)


class TestListFailures:
    def test_bad_index_and_empty_pop(self):
        vector = DoubleVector([1.0])
        with pytest.raises(IndexError):
            vector[1]
        with pytest.raises(IndexError):
            vector[-2]
        with pytest.raises(IndexError):
            DoubleVector().pop()
        with pytest.raises(IndexError):
            vector.insert(3, 0.0)
        assert list(vector) == [1.0]

    def test_slice_assignment_of_unequal_length(self):
        vector = DoubleVector([1, 2, 3])
        with pytest.raises(RuntimeError, match=f"^{SLICE_SIZE_MESSAGE}$"):
            vector[0:2] = DoubleVector([9])
        assert list(vector) == [1.0, 2.0, 3.0]
        vector[0:2] = DoubleVector([8, 9])
        assert list(vector) == [8.0, 9.0, 3.0]

    def test_direct_element_that_does_not_convert_is_a_type_error(self):
        vector = DoubleVector([1.0])
        for call in (lambda: vector.append("x"), lambda: vector.insert(0, None),
                     lambda: vector.__setitem__(0, "1")):
            with pytest.raises(TypeError):
                call()
        assert list(vector) == [1.0]

    def test_iterable_element_that_does_not_convert_rolls_back(self):
        vector = DoubleVector([1.0])
        with pytest.raises(RuntimeError):
            vector.extend([2.0, "x", 3.0])
        assert list(vector) == [1.0]
        with pytest.raises(RuntimeError):
            DoubleVector([1.0, None])


def pe_list(*entries):
    return PEListVector([(channel, DoubleVector(times)) for channel, times in entries])


class TestPEListVectorElements:
    def test_element_is_channel_and_double_vector(self):
        vector = pe_list((3, [0.5]))
        channel, times = vector[0]
        assert type(vector[0]) is tuple
        assert (channel, type(times)) == (3, DoubleVector)
        assert times == DoubleVector([0.5])

    def test_indexed_times_alias_the_stored_vector(self):
        vector = pe_list((3, [0.5]), (4, [1.0]))
        _, times = vector[0]
        times.append(0.75)
        assert vector[0][1] == DoubleVector([0.5, 0.75])
        for _, times in vector:
            times.append(9.0)
        assert vector == pe_list((3, [0.5, 0.75, 9.0]), (4, [1.0, 9.0]))

    def test_indexed_times_keep_the_list_alive(self):
        vector = pe_list((3, [0.5, 1.5]))
        times = vector[0][1]
        del vector
        gc.collect()
        assert list(times) == [0.5, 1.5]

    def test_popped_times_are_owned(self):
        vector = pe_list((3, [0.5]), (4, [1.0]))
        channel, times = vector.pop(0)
        assert channel == 3
        times.append(2.0)
        assert vector == pe_list((4, [1.0]))
        del vector
        gc.collect()
        assert list(times) == [0.5, 2.0]

    def test_slice_holds_copies(self):
        vector = pe_list((3, [0.5]), (4, [1.0]))
        part = vector[:1]
        part[0][1].append(7.0)
        assert vector[0][1] == DoubleVector([0.5])

    def test_equality_compares_channel_then_times(self):
        assert pe_list((3, [0.5])) == pe_list((3, [0.5]))
        assert pe_list((3, [0.5])) != pe_list((4, [0.5]))
        assert pe_list((3, [0.5])) != pe_list((3, [0.5, 0.5]))
        assert (3, DoubleVector([0.5])) in pe_list((3, [0.5]))
        assert pe_list((3, [0.5]), (3, [0.5])).count((3, DoubleVector([0.5]))) == 2

    def test_no_text_form_of_its_own(self):
        assert repr(PEListVector()).startswith("<vorizovedavuz.PEListVector object at ")


class TestPEListVectorStoring:
    def test_any_two_item_sequence_with_double_vector(self):
        vector = PEListVector()
        vector.append([5, DoubleVector([1.0])])
        assert vector[0][0] == 5

    def test_plain_list_of_times_does_not_convert(self):
        with pytest.raises(RuntimeError):
            PEListVector([(3, [0.5])])
        vector = pe_list((1, [0.0]))
        with pytest.raises(TypeError):
            vector.append((3, [0.5]))
        assert vector == pe_list((1, [0.0]))

    @pytest.mark.parametrize("element", [
        (2**31, DoubleVector()), (1.0, DoubleVector()), (1,), (1, DoubleVector(), 2)])
    def test_channel_range_and_arity(self, element):
        with pytest.raises(TypeError):
            PEListVector().append(element)

    def test_stored_times_are_copied_in(self):
        times = DoubleVector([0.5])
        vector = PEListVector([(3, times)])
        times.append(1.0)
        assert vector[0][1] == DoubleVector([0.5])
