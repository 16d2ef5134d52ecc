"""Uses the whole public API with precise types; checked by mypy --strict."""

from __future__ import annotations

import io
import pathlib
from dataclasses import dataclass, field

import kestrix


@dataclass
class Item:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""


@kestrix.xml_element("entry", namespace="urn:example", prefixes={"x": "urn:x"})
@dataclass
class Entry:
    key: str = field(metadata={"type": "Attribute", "namespace": "urn:x"})


def declared(data: bytes) -> tuple[Entry, str | None, dict[str, str]]:
    entry: Entry = kestrix.deserialize(data, Entry)
    declaration: kestrix.ElementDeclaration = Entry.__kestrix_element__  # type: ignore[attr-defined]
    return entry, declaration.namespace, declaration.prefixes


def roundtrip(data: bytes) -> tuple[Item, bytes, list[int], str]:
    item: Item = kestrix.deserialize(data, Item)
    text: bytes = kestrix.serialize(item, indent=2)
    stream: kestrix.XmlIterator[Item] = kestrix.iterparse(data, Item, tag="Item")
    ids = [record.id for record in stream]
    kinds: kestrix.XmlIterator[Item | Entry] = kestrix.iterparse(data, (Item, Entry), (None, "e"))
    ids += [record.id for record in kinds if isinstance(record, Item)]
    return item, text, ids, kestrix.version()


def fault_is_base_exception(error: kestrix.PanicException) -> BaseException:
    return error


def files(path: str, out: io.BytesIO) -> list[Item]:
    with open(path, "rb") as handle:
        item: Item = kestrix.load(handle, Item)
    kestrix.dump(item, out, indent=2)
    kestrix.dump(item, pathlib.Path(path), indent=None)
    records: kestrix.XmlIterator[Item] = kestrix.iterload(pathlib.Path(path), Item, tag="Item")
    both: kestrix.XmlIterator[Item | Entry] = kestrix.iterload(pathlib.Path(path), (Item, Entry))
    items = [record for record in both if isinstance(record, Item)]
    return [kestrix.load(out.getvalue(), Item), *records, *items, *kestrix.iterload(memoryview(b""), Item)]


def writing_options(items: list[Item], out: io.BytesIO) -> tuple[bytes, int]:
    text: bytes = kestrix.serialize(items[0], encoding="ISO-8859-1", xml_declaration=True, standalone=True,
                                    doctype="<!DOCTYPE Item>", short_empty_elements=True)
    kestrix.dump(items[0], out, 2, encoding="UTF-16", xml_declaration=None)
    count: int = kestrix.dump_records(iter(items), out, "items", attributes={"v": "1"},
                                      namespaces={"": "urn:x"}, indent=1, encoding="windows-1252")
    return text, count
