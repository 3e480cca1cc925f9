"""Why a decorated method runs what it runs: :func:`explain`.

``explain(obj, "run")`` fetches ``obj.run`` once, exactly as ``obj.run``
would (so it may import override modules, as a fetch does), without calling
it, and then retraces the fetch step by step: the decorator found, the
package root, the tokens and where each came from, the search paths, and
for each path whether it matched and why not.  The abstraction package
answers the same questions again from its cache; the token getter and the
builder are called once more.
"""

import difflib
import os
import sys
from typing import Any, List, NamedTuple, Optional, Sequence, Tuple

from .decorator import LookupDecorator, default_token_getter, from_device_token_getter

__all__ = ["explain", "Explanation", "Token", "Attempt"]

PACKAGE_ATTR = "_LookupDecorator__abstract_pkg"
_MISSING = object()


class Token(NamedTuple):
    """One token: the attribute's name, its value, and where it was read.

    ``source`` is ``"object"``, ``"device"`` (``obj.device``), or
    ``"getter"`` when a token getter of your own collected it (``name`` is
    then None).
    """

    name: Optional[str]
    value: Any
    source: str


class Attempt(NamedTuple):
    """What one search path gave.

    ``status`` is ``"matched"`` (the package returned a class: the search
    stops there; ``detail`` names it, and says when it lacks the method or
    inherits it), ``"missed"`` (the package has nothing there; ``detail``
    says what is missing), ``"raised"`` (the package raised an error that is
    not a miss: the fetch fails with it) or ``"not tried"`` (an earlier path
    ended the search).  For a match, ``found`` is what the package returned.
    """

    path: Any
    status: str
    detail: str
    found: Any = None


class Explanation:
    """The report of :func:`explain`; ``str()`` gives it as text.

    Fields (None where the fetch did not get that far):

    - ``cls``, ``name``: the object's class and the name fetched;
    - ``decorator``, ``defined_on``: the LookupDecorator found, and the class
      of the MRO whose namespace holds it;
    - ``root``: the name of the package root; ``package`` its abstraction
      package;
    - ``tokens``: a tuple of :class:`Token`; ``names_from``: where the token
      names came from;
    - ``paths``: the search paths the builder made, as a list;
    - ``attempts``: a tuple of :class:`Attempt`, one per search path;
    - ``implementation``: the function a call runs, ``generic`` whether it is
      the generic code (the root's own class);
    - ``error``: the exception the fetch raises;
    - ``notes``: known traps seen on the way, as sentences.
    """

    def __init__(self, cls: type, name: str) -> None:
        self.cls = cls
        self.name = name
        self.decorator = None  # type: Optional[LookupDecorator[Any]]
        self.defined_on = None  # type: Optional[type]
        self.root = None  # type: Optional[str]
        self.package = None  # type: Any
        self.tokens = None  # type: Optional[Tuple[Token, ...]]
        self.names_from = None  # type: Optional[str]
        self.paths = None  # type: Optional[List[Any]]
        self.attempts = ()  # type: Tuple[Attempt, ...]
        self.implementation = None  # type: Any
        self.generic = False
        self.error = None  # type: Optional[BaseException]
        self.notes = ()  # type: Tuple[str, ...]

    @property
    def ok(self) -> bool:
        """Whether the fetch succeeds."""
        return self.error is None and self.implementation is not None

    def __repr__(self) -> str:
        if self.error is not None:
            outcome = "raises %s" % type(self.error).__name__
        elif self.implementation is not None:
            outcome = "runs %s" % _function_name(self.implementation)
        else:
            outcome = "no lookup"
        return "<Explanation of %s.%s: %s>" % (self.cls.__qualname__, self.name, outcome)

    def __str__(self) -> str:
        lines = ["Fetching %r through a %s object:" % (self.name, _class_name(self.cls))]

        def row(label: str, text: str) -> None:
            lines.append("  %-13s%s" % (label, _indent(text, 15)))

        if self.decorator is not None and self.defined_on is not None:
            row("decorator", "LookupDecorator holding %s, found on %s" % (
                _held(self.decorator), _class_name(self.defined_on)))
        if self.root is not None:
            row("root", "%s, abstraction package %s" % (self.root, _safe_repr(self.package)))
        if self.tokens is not None:
            row("tokens", ", ".join(_token_text(token) for token in self.tokens) or "none")
            if self.names_from:
                row("", "names from %s" % self.names_from)
        if self.paths is not None:
            row("search paths", ", ".join(_safe_repr(path) for path in self.paths) or "none")
            width = max([len(_safe_repr(a.path)) for a in self.attempts] + [0]) + 2
            for attempt in self.attempts:
                lines.append("    %s%s%s" % (_safe_repr(attempt.path).ljust(width), attempt.status,
                                              ": " + _indent(attempt.detail, 6 + width)
                                              if attempt.detail else ""))
        if self.error is not None:
            row("result", "raises %s" % _exception_text(self.error))
        elif self.implementation is not None:
            row("result", "runs %s%s" % (_function_name(self.implementation),
                                        " (the generic code)" if self.generic else ""))
        if self.notes:
            lines.append("Notes:")
            lines.extend("  - " + _indent(note, 4) for note in self.notes)
        return "\n".join(lines)


def explain(obj: Any, name: str) -> Explanation:
    """Report what fetching ``obj.<name>`` does, and why.

    The method is fetched once, as ``getattr(obj, name)`` would, and not
    called; the steps of that fetch are then retraced to say which search
    path matched, why the others did not, and which known traps were seen.
    Returns an :class:`Explanation`; ``print()`` it for the report.
    """
    if not isinstance(name, str):
        raise TypeError("explain() takes the method's name as a str, not %s"
                        % type(name).__name__)
    cls = type(obj)
    report = Explanation(cls, name)
    notes = []  # type: List[str]
    try:
        _explain(obj, name, report, notes)
    finally:
        report.notes = tuple(dict.fromkeys(notes))
    return report


def _explain(obj: Any, name: str, report: Explanation, notes: List[str]) -> None:
    cls = report.cls
    decorator, defined_on = _find_decorator(obj, cls, name, notes)
    if decorator is None:
        return
    report.decorator, report.defined_on = decorator, defined_on
    held = getattr(decorator, "_method_name", None)
    if held is not None and held != name:
        notes.append("%s.%s is a LookupDecorator that holds the method %r, so fetching %r "
                     "runs %r: a decorator object holds one method; make one per method "
                     "(for example with functools.partial(LookupDecorator, ...))."
                     % (_class_name(defined_on), name, held, name, held))
    method = getattr(decorator, "_method", None)
    if isinstance(method, (classmethod, staticmethod, property)):
        notes.append("LookupDecorator over @%s is not supported: decorate a plain function."
                     % type(method).__name__)
    _held_method_notes(decorator, method, defined_on, name, notes)

    # The fetch itself: what the object's users get.
    try:
        wrapper = getattr(obj, name)
    except Exception as exc:
        report.error = exc
        wrapper = None
    else:
        report.implementation = getattr(wrapper, "__wrapped__", None)

    root = _find_root(cls, notes)
    if root is None:
        return
    report.root = root.__name__
    report.package = package = getattr(root, PACKAGE_ATTR, None)
    if package is None:
        return
    tokens = _tokens(obj, decorator, report, notes)
    if tokens is _MISSING:
        return
    try:
        kwargs = dict(decorator._builder_kwargs)
        report.paths = list(decorator._builder(tokens, **kwargs))
    except Exception:
        return
    report.attempts = tuple(_search(cls, decorator, root, package, report, notes))
    report.generic = (report.implementation is not None
                      and report.implementation is getattr(decorator, "_method", None))
    if report.implementation is not None and not report.generic:
        _super_note(obj, report.implementation, defined_on, name, notes)
    if defined_on is not cls:
        _moved_root_note(cls, defined_on, root, notes)
    if defined_on is not cls and (report.generic or report.error is not None):
        below = cls.__module__[len(root.__name__) + 1:]
        notes.append("%s inherits %r from %s, and the lookup is made for the object's own "
                     "class: overrides must be classes named %r, in %s of the token packages."
                     % (_class_name(cls), name, _class_name(defined_on),
                        cls.__qualname__.split(".")[0],
                        "the module %r" % below if below else "the __init__.py"))


def _find_decorator(obj: Any, cls: type, name: str, notes: List[str]) -> Tuple[Any, Any]:
    if isinstance(obj, type):
        notes.append("%s is a class: fetched through its class, a decorated method is the "
                     "plain function and nothing is looked up; explain an object of it."
                     % _class_name(obj))
    for klass in cls.__mro__:
        attr = vars(klass).get(name, _MISSING)
        if attr is _MISSING:
            continue
        inner = getattr(attr, "__func__", None) or getattr(attr, "fget", None)
        if isinstance(inner, LookupDecorator):
            notes.append("%s.%s is a LookupDecorator under @%s, which is not supported: "
                         "put LookupDecorator directly on a plain function."
                         % (_class_name(klass), name, type(attr).__name__))
            return None, None
        if not isinstance(attr, LookupDecorator):
            notes.append("%s.%s is %s, not a LookupDecorator: fetching it looks nothing up."
                         % (_class_name(klass), name, _a(attr)))
            return None, None
        own = getattr(obj, "__dict__", None)
        if isinstance(own, dict) and name in own:
            notes.append("the object's own attribute %r hides the decorated method of %s."
                         % (name, _class_name(klass)))
            return None, None
        return attr, klass
    notes.append("no class in the MRO of %s has an attribute %r." % (_class_name(cls), name))
    return None, None


def _find_root(cls: type, notes: List[str]) -> Any:
    """The package root of *cls*, found as a fetch finds it; None if there is none."""
    modname = getattr(cls, "__module__", None)
    module = sys.modules.get(modname) if isinstance(modname, str) else None
    if module is None:
        notes.append("the module of %s, %r, is not in sys.modules." % (cls.__qualname__, modname))
        return None
    if _is_package_init(module):
        return module
    names = module.__name__.split(".")
    namespaces = []
    for i in range(len(names) - 1, -1, -1):
        parent = sys.modules.get(".".join(names[:i]))
        if parent is not None and _is_package_init(parent):
            return parent
        if parent is not None and hasattr(parent, "__path__"):
            namespaces.append(parent.__name__)
    for namespace in namespaces:
        notes.append("%r is a namespace package (it has no __init__.py), which cannot be "
                     "a package root: add an __init__.py." % namespace)
    if modname == "__main__":
        notes.append("%s is defined in __main__ (a script, `python -m`, or the interactive "
                     "interpreter): define it in a module of a package and import it from "
                     "there." % cls.__qualname__)
    else:
        notes.append("module %r is in no regular package (a package with an __init__.py): "
                     "a decorated class must live in one." % modname)
    return None


def _is_package_init(module: Any) -> bool:
    file = getattr(module, "__file__", None)
    return isinstance(file, str) and file.endswith("__init__.py")


def _tokens(obj: Any, decorator: Any, report: Explanation, notes: List[str]) -> Any:
    """The tokens (the getter's result), with report.tokens filled in; _MISSING on error."""
    getter, attrs = decorator._getter, decorator._attrs
    try:
        values = getter(obj, attrs)
    except Exception:
        return _MISSING
    names = None  # type: Optional[List[Any]]
    if getter is default_token_getter:
        names = list(attrs)
    elif getter is from_device_token_getter:
        names, report.names_from = _device_order(obj, attrs)
    if (names is not None and isinstance(values, tuple) and len(values) == len(names)
            and all(isinstance(n, str) for n in names)):
        report.tokens = tuple(Token(n, v, "object" if _readable(obj, n) else "device")
                              for n, v in zip(names, values))
    else:
        try:
            report.tokens = tuple(Token(None, v, "getter") for v in values)
        except TypeError:
            report.tokens = (Token(None, values, "getter"),)
    if not report.tokens and getter is default_token_getter and not attrs:
        notes.append("the decorator names no token attributes (LookupDecorator() with no "
                     "names), so there are no tokens and every fetch runs the generic code: "
                     "name them, as in @LookupDecorator('os').")
    elif not report.tokens and getter is from_device_token_getter:
        notes.append("there are no tokens: the device lists no token names and from_device "
                     "was given no fallback names, so every fetch runs the generic code.")
    for index, token in enumerate(report.tokens):
        if token.value is None and index + 1 < len(report.tokens):
            notes.append("token %s is None: the tokens after it are not used."
                         % (token.name if token.name is not None else "#%d" % index))
            break
    return values


def _readable(obj: Any, name: str) -> bool:
    try:
        getattr(obj, name)
    except Exception:
        return False
    return True


def _device_order(obj: Any, defaults: Any) -> Tuple[Any, str]:
    """The token names a from_device getter uses, and where they come from."""
    try:
        device = getattr(obj, "device", None)
        custom = getattr(device, "custom", None) if device else None
        if custom:
            abstraction = getattr(custom, "abstraction", custom.get("abstraction", None))
            order = abstraction.get("order", None) if abstraction else None
            if order:
                return list(order), "device.custom's abstraction order"
        fallback = list(defaults)
    except Exception:
        return None, "the device's settings"
    why = ("the object has no device" if not device else
           "device.custom is missing or empty" if not custom else
           "device.custom lists no abstraction order")
    return fallback, "the fallback names given to from_device (%s)" % why


def _search(cls: type, decorator: Any, root: Any, package: Any, report: Explanation,
            notes: List[str]) -> List[Attempt]:
    relpath = tuple(cls.__module__.split("."))
    target, *rest = cls.__qualname__.split(".")
    attempts = []  # type: List[Attempt]
    done = False
    for path in report.paths or ():
        if done:
            attempts.append(Attempt(path, "not tried", ""))
            continue
        try:
            found = package.lookup(relpath, path, target)
        except LookupError as exc:
            why = _miss_reason(exc)
            attempts.append(Attempt(path, "missed", why))
            _miss_notes(path, why, cls, target, root, package, report, notes)
            continue
        except Exception as exc:
            attempts.append(Attempt(path, "raised", _exception_text(exc)))
            done = True
            continue
        done = True
        attempts.append(Attempt(path, "matched", _match_detail(found, rest, decorator), found))
    return attempts


def _match_detail(found: Any, rest: Sequence[str], decorator: Any) -> str:
    if not found:
        return "the abstraction package returned %s, which is false" % _safe_repr(found)
    where = found
    for attr in rest:
        nested = getattr(where, attr, _MISSING)
        if nested is _MISSING:
            return "%s, which lacks the nested class %r" % (_class_name(where), attr)
        where = nested
    method_name = getattr(decorator, "_method_name", None)
    if not isinstance(method_name, str) or getattr(where, method_name, _MISSING) is _MISSING:
        return "%s, which lacks the method %r" % (_class_name(where), method_name)
    if isinstance(where, type) and method_name not in vars(where):
        owner = next((k for k in where.__mro__[1:] if method_name in vars(k)), None)
        if owner is not None:
            return "%s, which inherits %r from %s" % (_class_name(where), method_name,
                                                      _class_name(owner))
    return _class_name(where)


def _miss_reason(exc: LookupError) -> str:
    if len(exc.args) == 1 and isinstance(exc.args[0], str):
        return exc.args[0]
    return _exception_text(exc)


def _miss_notes(path: Any, why: str, cls: type, target: str, root: Any, package: Any,
                report: Explanation, notes: List[str]) -> None:
    if not isinstance(path, tuple) or not all(isinstance(p, str) for p in path):
        return
    if "has no token package" in why:
        for entry in getattr(root, "__path__", None) or ():
            if not isinstance(entry, str):
                continue
            for depth in range(1, len(path) + 1):
                directory = os.path.join(entry, *path[:depth])
                if not os.path.isdir(directory):
                    break
                if not path[depth - 1].isidentifier():
                    notes.append("%s is named %r, which is not a Python identifier, so it is not "
                                 "a token package: token values name packages, and must be "
                                 "identifiers (%r, for one)."
                                 % (directory, path[depth - 1], _identifier(path[depth - 1])))
                    return
                if not os.path.exists(os.path.join(directory, "__init__.py")):
                    notes.append("%s is a directory without __init__.py, so it is not a token "
                                 "package: add an empty __init__.py there." % directory)
                    return
                if depth == len(path) and path not in (getattr(package, "token_paths", None) or (path,)):
                    notes.append("%s looks like the token package %r, which the abstraction package "
                                 "has not learned: it learned its token packages before that directory "
                                 "was there. Call importlib.invalidate_caches() (or "
                                 "invalidate_caches() of the package) and fetch again."
                                 % (directory, ".".join(path)))
                    return
        bad = next((p for p in path if not p.isidentifier()), None)
        if bad is not None:
            notes.append("the token value %r%s is not a Python identifier, so no token package "
                         "can be named after it: token values name packages, and must be "
                         "identifiers." % (bad, _read_from(bad, report)))
            return
        known = [p for p in (getattr(package, "token_paths", None) or ())
                 if isinstance(p, tuple) and len(p) == len(path) and p[:-1] == path[:-1]]
        close = difflib.get_close_matches(path[-1], [p[-1] for p in known], n=3)
        if close:
            notes.append("there is no token package %r%s; did you mean %s?" % (
                ".".join(path), _read_from(path[-1], report),
                " or ".join(repr(".".join(path[:-1] + (c,))) for c in close)))
    elif "has no attribute %r" % target in why:
        modname = why.split("'")[1] if why.count("'") >= 2 else None
        module = sys.modules.get(modname) if modname else None
        defined = getattr(report.defined_on, "__name__", None)
        if module is not None and defined and defined != target and hasattr(module, defined):
            notes.append("%s defines %r but not %r: the lookup is made by the object's own "
                         "class name (%s is a subclass of %s); define %r there too."
                         % (modname, defined, target, cls.__qualname__, defined, target))
        elif module is not None:
            classes = sorted(n for n, v in list(vars(module).items())
                             if isinstance(v, type) and getattr(v, "__module__", None) == modname)
            notes.append("%s defines %s, and the lookup looks for the class %r there (the name "
                         "of the object's class): an override of %s must have that name."
                         % (modname, ("the class " if len(classes) == 1 else "the classes ")
                            + ", ".join(map(repr, classes)) if classes else "no class", target,
                            target))


def _held_method_notes(decorator: Any, method: Any, defined_on: Any, name: str,
                       notes: List[str]) -> None:
    if method is not None:
        return
    attrs = getattr(decorator, "_attrs", None)
    where = "%s.%s" % (_class_name(defined_on), name)
    if (isinstance(attrs, tuple) and len(attrs) == 1 and callable(attrs[0])
            and not isinstance(attrs[0], str)):
        notes.append("%s is a LookupDecorator used without parentheses: @LookupDecorator took "
                     "the function for a token name, and holds no method. Write "
                     "@LookupDecorator('os'), with the names of the token attributes." % where)
    else:
        notes.append("%s is a LookupDecorator that holds no method: apply it to the method, "
                     "as in @LookupDecorator('os') above its def." % where)


def _super_note(obj: Any, implementation: Any, defined_on: Any, name: str,
                notes: List[str]) -> None:
    """An override that calls super() fails: self is not an instance of its class."""
    code = getattr(implementation, "__code__", None)
    freevars = getattr(code, "co_freevars", ())
    if code is None or "super" not in code.co_names or "__class__" not in freevars:
        return
    try:
        owner = implementation.__closure__[freevars.index("__class__")].cell_contents
    except (AttributeError, IndexError, TypeError, ValueError):
        return
    if not isinstance(owner, type) or isinstance(obj, owner):
        return
    generic = getattr(defined_on, "__name__", "the generic class")
    notes.append("the override %s calls super(), which raises TypeError when it runs: self is "
                 "%s, not an instance of the override class %s. Call the generic code "
                 "through the generic class instead (%s.%s(self, ...))."
                 % (_function_name(implementation), _a_class(type(obj)), _class_name(owner),
                    generic, name))


def _moved_root_note(cls: type, defined_on: Any, root: Any, notes: List[str]) -> None:
    """A subclass outside the package of the class that holds the decorator."""
    own = _find_root(defined_on, []) if isinstance(defined_on, type) else None
    if own is None or own is root:
        return
    notes.append("%s is in the package %r, which is therefore the package root: the lookup "
                 "searches %s's token packages, not those of %r, where %s holds the decorator. "
                 "Put the overrides under %s, or define the subclass in %s."
                 % (_class_name(cls), root.__name__, root.__name__, own.__name__,
                    _class_name(defined_on), root.__name__, own.__name__))


def _identifier(value: str) -> str:
    text = "".join(c if (c.isalnum() or c == "_") else "_" for c in value)
    return text if text.isidentifier() else "_" + text


def _a_class(cls: type) -> str:
    return "a %s object" % _class_name(cls)


def _read_from(value: str, report: Explanation) -> str:
    for token in report.tokens or ():
        if token.value == value and token.name is not None:
            return " (%s = %r, read from the %s)" % (token.name, value, token.source)
    return ""


def _token_text(token: Token) -> str:
    if token.name is None:
        return _safe_repr(token.value)
    return "%s = %s (from the %s)" % (token.name, _safe_repr(token.value), token.source)


def _held(decorator: Any) -> str:
    method = getattr(decorator, "_method", None)
    qualname = getattr(method, "__qualname__", None)
    return qualname if isinstance(qualname, str) else _safe_repr(method)


def _function_name(func: Any) -> str:
    module = getattr(func, "__module__", None)
    qualname = getattr(func, "__qualname__", None)
    if isinstance(module, str) and isinstance(qualname, str):
        return "%s.%s" % (module, qualname)
    return _safe_repr(func)


def _class_name(cls: Any) -> str:
    module = getattr(cls, "__module__", None)
    qualname = getattr(cls, "__qualname__", None) or getattr(cls, "__name__", "?")
    if module in (None, "builtins"):
        return str(qualname)
    return "%s.%s" % (module, qualname)


def _exception_text(exc: BaseException) -> str:
    text = _safe_str(exc)
    return "%s: %s" % (type(exc).__name__, text) if text else type(exc).__name__


def _a(value: Any) -> str:
    name = type(value).__name__
    return ("an " if name[:1] in "aeiou" else "a ") + name


def _indent(text: str, width: int) -> str:
    return text.replace("\n", "\n" + " " * width)


def _safe_repr(value: Any) -> str:
    try:
        return repr(value)
    except Exception:
        return "<%s object>" % type(value).__name__


def _safe_str(value: Any) -> str:
    try:
        return str(value)
    except Exception:
        return "<%s object>" % type(value).__name__
