# python/kestrix/_hints.py: the resolved annotations of a model class.
"""The type hints kestrix compiles a class from.

``typing.get_type_hints`` resolves string annotations, but before Python 3.11
it leaves a string inside a builtin generic as it is: ``list["Item"]`` stays
``list['Item']``, and its items would bind as text. Here such strings are
resolved too, in the namespace of the class's module and of the class itself.
"""

import sys
import typing

_RESOLVES_INNER_STRINGS = sys.version_info >= (3, 11)


def type_hints(cls):
    """``typing.get_type_hints(cls)``, with strings inside generics resolved."""
    hints = typing.get_type_hints(cls)
    if _RESOLVES_INNER_STRINGS:
        return hints
    module = sys.modules.get(cls.__module__)
    namespace = dict(vars(module)) if module is not None else {}
    local = dict(vars(cls))
    for name, hint in hints.items():
        try:
            hints[name] = _resolve(hint, namespace, local)
        except Exception:  # an unresolvable name stays as get_type_hints left it
            pass
    return hints


def _resolve(hint, namespace, local):
    if isinstance(hint, str):
        return _resolve(eval(hint, namespace, local), namespace, local)
    args = getattr(hint, "__args__", None)
    if not isinstance(args, tuple) or not args or typing.get_origin(hint) is typing.Literal:
        return hint
    resolved = tuple(_resolve(arg, namespace, local) for arg in args)
    if all(new is old for new, old in zip(resolved, args)):
        return hint
    import types

    if isinstance(hint, types.GenericAlias):
        return types.GenericAlias(hint.__origin__, resolved)
    if isinstance(hint, types.UnionType) or typing.get_origin(hint) is typing.Union:
        return typing.Union[resolved]
    copy_with = getattr(hint, "copy_with", None)
    return copy_with(resolved) if copy_with is not None else hint
