import pytest

from orvex.abstract.magic import default_builder


@pytest.mark.parametrize(
    "tokens, kwargs, expected",
    [
        (("alpha", "m2"), {}, [("alpha", "m2"), ("alpha",), ()]),
        (("alpha", None, "x"), {}, [("alpha",), ()]),
        ((None, "x"), {}, [()]),
        ((), {}, [()]),
        (["a", "b", "c"], {}, [("a", "b", "c"), ("a", "b"), ("a",), ()]),
        (iter(("a", "b")), {}, [("a", "b"), ("a",), ()]),
        (("a", "b"), {"mandatory": 1}, [("a", "b"), ("a",)]),
        (("a", "b"), {"mandatory": 2}, [("a", "b")]),
        (("a", "b"), {"mandatory": 3}, []),
        (("a", None, "c"), {"mandatory": 2}, []),
        ((), {"mandatory": 1}, []),
    ],
)
def test_search_paths(tokens, kwargs, expected):
    assert default_builder(tokens, **kwargs) == expected


@pytest.mark.parametrize(
    "tokens, kwargs, exc, match",
    [
        (("a", 3), {}, TypeError, r"token 3 .* not int"),
        (("a", None, b"x"), {}, TypeError, r"token b'x' .* not bytes"),
        (("a",), {"mandatory": "1"}, TypeError, r"mandatory .* not str"),
        (("a",), {"mandatory": True}, TypeError, r"mandatory .* not bool"),
        (("a",), {"mandatory": 1.0}, TypeError, r"mandatory .* not float"),
        (("a",), {"mandatory": -1}, ValueError, r"mandatory must be >= 0"),
        (("a",), {"depth": 1}, TypeError, r"depth"),
    ],
)
def test_bad_arguments(tokens, kwargs, exc, match):
    with pytest.raises(exc, match=match):
        default_builder(tokens, **kwargs)


def test_function_object():
    import inspect

    assert default_builder.__module__ == "orvex.abstract.magic"
    assert str(inspect.signature(default_builder)) == "(tokens, *, mandatory=0)"
    assert default_builder.__doc__.startswith("Return the search paths for *tokens*, most specific first.")


def test_results_are_the_callers_own():
    first = default_builder(("alpha", "m2"), mandatory=1)
    first.append("changed")
    assert default_builder(("alpha", "m2"), mandatory=1) == [("alpha", "m2"), ("alpha",)]
    assert default_builder(("alpha", "m2"), mandatory=1) is not default_builder(("alpha", "m2"), mandatory=1)
    # remembered answers never excuse what a call must refuse
    for _ in range(2):
        with pytest.raises(TypeError, match="mandatory .* not bool"):
            default_builder(("alpha", "m2"), mandatory=True)
        with pytest.raises(TypeError, match=r"token \('alpha', 'm2'\) .* not tuple"):
            default_builder((("alpha", "m2"), 1))
