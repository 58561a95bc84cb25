"""Values that fail where Python tests, compares or unpacks them, and the errors Python itself gives.

The command and login tests hold the native code to what the equivalent Python does with them."""
import pytest


class Boom(Exception):
    """Raised by the hostile values and doubles; nothing else in a run raises it."""


class BadBool:
    def __bool__(self):
        raise Boom("truth test")


class BadEq:
    def __eq__(self, other):
        raise Boom("comparison")

    __hash__ = object.__hash__


def python_error(fn):
    try:
        fn()
    except Exception as exc:
        return exc
    raise AssertionError("no error")


def three():
    yield "a"
    yield "b"
    yield "c"
    raise AssertionError("unpacking read past the third value")


# Makers of stored values that `user, pw = value` refuses.
UNPACK_FAILURES = [
    pytest.param(lambda: ("a", "b", "c"), id="3-tuple"),
    pytest.param(lambda: ("a",), id="1-tuple"),
    pytest.param(lambda: (), id="0-tuple"),
    pytest.param(lambda: 7, id="int"),
    pytest.param(lambda: None, id="none"),
    pytest.param(lambda: 2.5, id="float"),
    pytest.param(lambda: "abc", id="str3"),
    pytest.param(lambda: "a", id="str1"),
    pytest.param(three, id="generator"),
    pytest.param(lambda: ["a", "b", "c"], id="list3"),
    pytest.param(lambda: {"only-key": 1}, id="dict1"),
]


def unpack_error(make):
    """The error Python gives for `user, pw = make()`."""
    def python_unpack():
        user, pw = make()

    return python_error(python_unpack)
