"""Dict filters: equality and $in per key, all keys must hold."""

import pytest
from langchain_sorvid.filters import compile_filter

META = {"color": "red", "n": 3, "tags": ["a"], "none": None}


@pytest.mark.parametrize(
    ("spec", "expected"),
    [
        ({}, True),
        ({"color": "red"}, True),
        ({"color": "blue"}, False),
        ({"n": {"$in": [1, 3]}}, True),
        ({"n": {"$in": (1, 2)}}, False),
        ({"color": "red", "n": {"$in": [4]}}, False),
        ({"missing": None}, False),  # a missing key is not a None value
        ({"none": None}, True),
        ({"tags": ["a"]}, True),  # list values compare whole
        ({"tags": {"$in": [["a"], ["b"]]}}, True),
    ],
)
def test_dict_filter(spec, expected):
    assert compile_filter(spec)(META) is expected


@pytest.mark.parametrize(
    ("spec", "error"),
    [
        ({"n": {"$gt": 1}}, ValueError),
        ({"n": {"$in": "abc"}}, ValueError),
        ({"n": {"$in": 3}}, ValueError),
        (3, TypeError),
    ],
)
def test_bad_filters_are_refused_up_front(spec, error):
    with pytest.raises(error):
        compile_filter(spec)
