"""
Native reader of CCSDS OMM documents (XML, KVN, JSON, CSV) into element-set records.
"""

import numpy


MAX_DOCUMENT: int = 2147483648

def read(data: bytes | bytearray | memoryview, form: str) -> tuple[numpy.ndarray, int, dict[int, str], dict[str, tuple[numpy.ndarray, list[str]]], list[tuple[int, str, str]]]:
    """
    Read one OMM document of `form` ("xml", "kvn", "json" or "csv"): (records, n, names,
    extras, rejected). records: n records of astrokite.elements.records.RECORD; names: the last
    OBJECT_NAME of each catalogue number; extras: the other fields, each as (int32 codes per
    record, -1 where a record lacks it; the distinct texts); rejected: (line or message number,
    text, reason) per message no record could be made of. A document that is not of the form,
    or is larger than MAX_DOCUMENT bytes, raises ValueError.
    """
