"""A Griffe extension for the API reference (mkdocs.yml): the compiled
modules' docstrings on their stubs.

The reference reads the signatures and types of ``qx_limiter`` and
``qx_limiter_tools._native`` from their stubs (``src/qx_limiter-stubs``,
``src/qx_limiter_tools/_native.pyi``), which say little more than a line
each; the full texts are compiled into the modules (``src/python/docstrings.hpp``,
``src/tools/docstrings.hpp`` and the properties' texts in
``src/binding/limiter_properties.hpp``). This extension gives every object
that a stub describes the docstring of the installed object, so that the
reference shows what ``help()`` shows, and there is one text to keep up to
date. The modules must be installed where ``mkdocs`` runs.
"""

from __future__ import annotations

import importlib
import inspect
import re
from typing import Any

import griffe

# A property's text starts with its type ("int: Frames held back..."); the
# stub gives the type already.
_TYPE_PREFIX = re.compile(r"^[A-Za-z_][\w.\[\], |]*:\s+")


class RuntimeDocstrings(griffe.Extension):
    """Docstrings from the installed modules for the objects of stubs."""

    def on_package(self, *, pkg: griffe.Module, loader: griffe.GriffeLoader, **kwargs: Any) -> None:
        self._fill(pkg, loader)

    def _fill(self, obj: griffe.Object, loader: griffe.GriffeLoader) -> None:
        for member in list(obj.members.values()):
            if member.is_alias:
                continue
            assert isinstance(member, griffe.Object)
            if member.is_module:
                self._fill(member, loader)
                continue
            if _from_stub(member) and not member.name.startswith("__"):
                text = _runtime_doc(member)
                if text:
                    if "property" in member.labels:
                        text = _TYPE_PREFIX.sub("", text, count=1)
                    member.docstring = griffe.Docstring(
                        text,
                        parent=member,
                        parser=loader.docstring_parser,
                        parser_options=loader.docstring_options,
                    )
            if member.is_class:
                assert isinstance(member, griffe.Class)
                if _from_stub(member):
                    _construct_with_init(member)
                self._fill(member, loader)
        if obj.is_module and _from_stub(obj):
            text = _runtime_doc(obj)
            if text:
                obj.docstring = griffe.Docstring(
                    text,
                    parent=obj,
                    parser=loader.docstring_parser,
                    parser_options=loader.docstring_options,
                )


def _construct_with_init(cls: griffe.Class) -> None:
    """A compiled class is made by ``__new__``, which its stub declares; the
    reference shows a class's signature from ``__init__``, so it gets one
    with ``__new__``'s parameters."""
    new = cls.members.get("__new__")
    if "__init__" in cls.members or not isinstance(new, griffe.Function):
        return
    parameters = list(new.parameters)
    if parameters and parameters[0].name == "cls":
        parameters[0] = griffe.Parameter("self", kind=parameters[0].kind)
    init = griffe.Function(
        "__init__",
        lineno=new.lineno,
        endlineno=new.endlineno,
        parameters=griffe.Parameters(*parameters),
        returns="None",
    )
    cls.set_member("__init__", init)


def _from_stub(obj: griffe.Object) -> bool:
    path = obj.filepath
    return not isinstance(path, list) and path.suffix == ".pyi"


def _runtime_doc(obj: griffe.Object) -> str | None:
    """The installed object's docstring, cleaned as ``help()`` shows it."""
    module = obj if obj.is_module else obj.module
    try:
        target: Any = importlib.import_module(module.path)
    except ImportError as error:
        raise RuntimeError(
            f"the reference takes {module.path}'s docstrings from the installed module, "
            f"which cannot be imported ({error}); install it first "
            f"(pip install --no-build-isolation --no-deps .)"
        ) from error
    if obj is not module:
        for name in obj.path[len(module.path) + 1 :].split("."):
            target = inspect.getattr_static(target, name, None)
            if target is None:
                return None
    text = getattr(target, "__doc__", None)
    if not isinstance(text, str):
        return None
    return inspect.cleandoc(text)
