"""DoubleVector and PEListVector: text form, equality, element aliasing and
ownership, and how unconvertible elements fail."""

import gc

import pytest

from vorizovedavuz import DoubleVector, PEListVector


def pe_list(*entries):
    return PEListVector([(channel, DoubleVector(times)) for channel, times in entries])


@pytest.mark.parametrize("values, text", [
    ([], "DoubleVector[]"),
    ([1, 2.5], "DoubleVector[1, 2.5]"),
    # The default stream form: six significant digits, signed zero, inf.
    ([1 / 3, 1e-7, 123456789.0, -0.0, float("inf")],
     "DoubleVector[0.333333, 1e-07, 1.23457e+08, -0, inf]"),
])
def test_double_vector_text_form(values, text):
    assert repr(DoubleVector(values)) == text


def test_double_vector_equality_is_by_value_and_nan_never_equal():
    assert DoubleVector([1, 2.5]) == DoubleVector([1.0, 2.5])
    assert DoubleVector([1, 2.5]) != DoubleVector([2.5, 1])
    nan = DoubleVector([float("nan")])
    assert not nan == nan
    assert nan != nan


def test_failed_list_operations_leave_the_vector_unchanged():
    # One representative check of the generic list behaviour.
    vector = DoubleVector([1, 2, 3])
    with pytest.raises(IndexError):
        vector[3]
    with pytest.raises(TypeError):
        vector.append("x")
    assert list(vector) == [1.0, 2.0, 3.0]


def test_pe_list_element_is_a_tuple_whose_times_alias_the_stored_vector():
    vector = pe_list((3, [0.5]), (4, [1.0]))
    element = vector[0]
    assert type(element) is tuple and element[0] == 3 and type(element[1]) is DoubleVector
    element[1].append(0.75)
    assert vector == pe_list((3, [0.5, 0.75]), (4, [1.0]))
    # The alias keeps the list alive rather than dangling.
    del vector
    gc.collect()
    assert list(element[1]) == [0.5, 0.75]


def test_pe_list_popped_times_are_owned():
    vector = pe_list((3, [0.5]), (4, [1.0]))
    channel, times = vector.pop(0)
    assert channel == 3
    times.append(2.0)
    assert vector == pe_list((4, [1.0]))
    del vector
    gc.collect()
    assert list(times) == [0.5, 2.0]


def test_pe_list_refuses_plain_lists_of_times():
    # The times must already be a DoubleVector: no implicit list conversion.
    # Through the iterable constructor the failure is a RuntimeError, through
    # append a TypeError.
    with pytest.raises(RuntimeError):
        PEListVector([(3, [0.5])])
    vector = pe_list((1, [0.0]))
    with pytest.raises(TypeError):
        vector.append((3, [0.5]))
    assert vector == pe_list((1, [0.0]))
