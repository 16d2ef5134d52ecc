"""Uses the whole public API with precise types; checked by mypy --strict."""

from __future__ import annotations

from dataclasses import dataclass, field

import kestrix


@dataclass
class Item:
    id: int = field(metadata={"type": "Attribute"})
    name: str = ""


def roundtrip(data: bytes) -> tuple[Item, bytes, list[int], str]:
    item: Item = kestrix.deserialize(data, Item)
    text: bytes = kestrix.serialize(item, indent=2)
    stream: kestrix.XmlIterator[Item] = kestrix.iterparse(data, Item, tag="Item")
    ids = [record.id for record in stream]
    return item, text, ids, kestrix.version()


def fault_is_base_exception(error: kestrix.PanicException) -> BaseException:
    return error
