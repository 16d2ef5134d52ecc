"""kestrix: bind XML documents to typed Python models and back, in native code.

``deserialize(source, target_type)`` builds an instance of a model class (a
pydantic-style class with ``model_fields`` or a dataclass) from XML bytes;
``serialize(obj, indent=None)`` writes such an instance back as XML bytes;
``iterparse(source, target_type, tag=None)`` yields one instance per matching
element of a large document. ``load(source, cls)``, ``iterload(source, cls,
tag=None)`` and ``dump(obj, target, indent=None)`` do the same with paths,
binary files and streams of any size; ``dump_records(records, target, root)``
writes an iterable of instances inside one root element in bounded memory.
``serialize``, ``dump`` and ``dump_records`` share the writing options
``encoding``, ``xml_declaration``, ``standalone``, ``doctype`` and
``short_empty_elements``. ``@xml_element(name, namespace=...,
prefixes=...)`` declares the element (and namespace) a class is written as;
fields annotated ``QName`` hold prefixed names resolved to their namespace.
"""

from ._diagnose import ModelWarning
from ._kestrix import PanicException, XmlIterator
from .api import deserialize, iterparse, serialize, version
from .element import ElementDeclaration, xml_element
from .files import dump, dump_records, iterload, load
from .nodes import Comment, Element, ProcessingInstruction
from .qname import QName

__version__ = version()

__all__ = [
    "Comment",
    "Element",
    "ElementDeclaration",
    "ModelWarning",
    "PanicException",
    "ProcessingInstruction",
    "QName",
    "XmlIterator",
    "deserialize",
    "dump",
    "dump_records",
    "iterload",
    "iterparse",
    "load",
    "serialize",
    "version",
    "xml_element",
]
