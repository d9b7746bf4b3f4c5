"""Objects for hostile-caller tests, shared by the in-process properties and the child scripts."""
import ctypes

# Calls `fn` with `kw` as the keyword dict itself (no copy), as
# _thread.start_new_thread and C callers do; plain f(**kw) would copy it.
call_kw = ctypes.pythonapi.PyObject_Call
call_kw.restype = ctypes.py_object
call_kw.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]


class Hostile(Exception):
    pass


class Probe:
    """Answers every protocol with `behaviour`: raise, a wrong type, or clearing its container."""

    def __init__(self, behaviour, container):
        self.behaviour, self.container = behaviour, container

    def _answer(self, good):
        if self.behaviour == "raise":
            raise Hostile()
        if self.behaviour == "clear":
            self.container.clear()
            return good
        return self.behaviour  # a value of the wrong type

    def __getitem__(self, i):
        if i:
            raise IndexError
        return self._answer("t")

    def __len__(self): return self._answer(1)
    def __iter__(self): return iter([self._answer("t")])
    def __float__(self): return self._answer(0.5)
    def __index__(self): return self._answer(2)
    def __int__(self): return self._answer(2)
    def __str__(self): return self._answer("s")
    def keys(self): return self._answer(["k"])

def raises(exc, fn, *args):
    """True when fn(*args) raises `exc`; any other outcome fails."""
    try:
        fn(*args)
    except exc:
        return True
    raise AssertionError(f"{fn} did not raise {exc.__name__}")


def tolerated(exc, fn):
    """fn()'s result, or None when it raises `exc`."""
    try:
        return fn()
    except exc:
        return None
