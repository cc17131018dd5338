"""Checking YAML documents against a table of keys: every problem at once, each at file:line.

A configuration, and any other document the tool reads (a list of VPCs
sharing defaults, files it includes), is a YAML mapping of known keys.
Reading one takes two steps:

- :func:`read_document` parses a file into plain Python values whose
  mappings are :class:`Document` objects: dicts that remember where each of
  their keys was written (file and line, from the YAML node marks) and which
  keys were given twice;
- :meth:`Schema.check` checks a mapping against a table of :class:`Key`
  rules (type, required, default, value check) and returns the values
  converted to their key's type.

Neither stops at the first problem: both add to a :class:`Problems`
collection, and :meth:`Problems.raise_if_any` raises one
:class:`ConfigError` holding all of them, one line each in the order of the
file, so that a file is fixed in one round.

Values are quoted in messages with :func:`excerpt`, short and escaped: a
careless or hostile file may hold a megabyte of text or terminal control
characters in any value.

A document of several configurations sharing defaults, some of them in files
of their own, is checked the same way, every problem at its file and line::

    problems = Problems()
    doc = read_document(path, problems)
    SCHEMA.check(doc["defaults"], problems, require=False)     # config.SCHEMA
    for n, entry in enumerate(doc["vpcs"]):
        if "include" in entry:
            entry = read_document(folder / entry["include"], problems)
        check_config(doc["defaults"].layered(entry), problems, path)
    problems.raise_if_any()
"""

from __future__ import annotations

import difflib
import os
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import yaml

__all__ = ["ConfigError", "Document", "DocumentList", "Key", "MAX_DOCUMENT_BYTES",
           "MAX_TEXT_LENGTH", "Problem", "Problems", "Schema", "Where", "describe", "excerpt",
           "read_document"]

#: A document larger than this is refused unread: a configuration is a few kilobytes.
MAX_DOCUMENT_BYTES = 4 << 20
#: The longest text value a key takes unless its rule says less.
MAX_TEXT_LENGTH = 4096
#: Characters of a value quoted in a message.
EXCERPT_LENGTH = 40


def excerpt(value: Any, limit: int = EXCERPT_LENGTH) -> str:
    """``value`` for a message: quoted and escaped, and cut after ``limit``
    characters, with its length, when longer."""
    text = value if isinstance(value, str) else _plain(value)
    if len(text) <= limit:
        return repr(text) if isinstance(value, str) else text
    cut = repr(text[:limit]) if isinstance(value, str) else text[:limit]
    return f"{cut}... ({len(text):,} characters)"


def _plain(value: Any) -> str:
    try:
        return repr(value)
    except ValueError:  # an integer with more digits than Python prints
        return f"a number of about {value.bit_length() * 3 // 10:,} digits"


def describe(value: Any) -> str:
    """What kind of value ``value`` is, in a user's words."""
    if value is None:
        return "nothing"
    if isinstance(value, bool):
        return "true or false"
    if isinstance(value, int):
        return "a number"
    if isinstance(value, float):
        return "a decimal number"
    if isinstance(value, str):
        return "text"
    if isinstance(value, Mapping):
        return "a mapping"
    if isinstance(value, list):
        return "a list"
    return type(value).__name__


# -- where things were written -----------------------------------------------------------

@dataclass(frozen=True)
class Where:
    """A place in a document: its file (or what else it came from) and a line."""

    source: str
    line: int | None = None
    column: int | None = None

    def __str__(self) -> str:
        if self.line is None:
            return self.source
        return f"{self.source}:{self.line}" + (f":{self.column}" if self.column else "")


class Document(dict):
    """A mapping read from YAML that knows where each of its keys was written."""

    def __init__(self, items: Mapping | Iterable = (), where: Where | None = None):
        super().__init__(items)
        #: Where the mapping itself is (its file, without a line at the top level).
        self.where = where or Where("<document>")
        #: Where each key was written (keys missing here: at ``where``).
        self.key_where: dict[Any, Where] = {}
        #: (key, first place, second place) of every key given twice.
        self.duplicates: list[tuple[Any, Where, Where]] = []

    def at(self, key: Any) -> Where:
        """Where ``key`` was written."""
        return self.key_where.get(key, self.where)

    def layered(self, *others: Mapping) -> "Document":
        """This mapping with the keys of ``others`` on top (the last wins), each
        key still knowing where it was written: shared defaults under an entry,
        or command-line options over a file."""
        merged = Document(self, self.where)
        merged.key_where.update(self.key_where)
        merged.duplicates.extend(self.duplicates)
        for other in others:
            for key, value in other.items():
                merged[key] = value
                merged.key_where[key] = where_of(other, key, merged.where)
            merged.duplicates.extend(getattr(other, "duplicates", ()))
        return merged


class DocumentList(list):
    """A list read from YAML that knows where it and each of its items were written."""

    def __init__(self, items: Iterable = (), where: Where | None = None):
        super().__init__(items)
        self.where = where or Where("<document>")
        self.item_where: list[Where] = []

    def at(self, index: int) -> Where:
        return self.item_where[index] if index < len(self.item_where) else self.where


def where_of(data: Any, key: Any, default: Where) -> Where:
    """Where ``key`` of the mapping ``data`` was written, ``default`` when unknown."""
    return data.at(key) if isinstance(data, Document) else getattr(data, "where", default)


# -- problems -----------------------------------------------------------------------------

@dataclass(frozen=True)
class Problem:
    where: Where
    key: str | None
    text: str

    def __str__(self) -> str:
        return f"{self.where}: {self.key}: {self.text}" if self.key is not None \
            else f"{self.where}: {self.text}"


class ConfigError(Exception):
    """Problems of a document the user has to fix; ``str()`` is one line per problem.

    ``source``, ``key`` and ``problem`` describe the first of ``problems``.
    """

    def __init__(self, source: str, key: str | None = None, problem: str = "", *,
                 line: int | None = None, problems: Iterable[Problem] | None = None):
        found = list(problems) if problems is not None else \
            [Problem(Where(source, line), key, problem)]
        if not found:
            raise ValueError("a ConfigError needs a problem")
        self.problems = found
        first = found[0]
        self.source, self.key, self.problem = first.where.source, first.key, first.text
        self.line = first.where.line
        super().__init__("\n".join(str(p) for p in found))


class Problems:
    """What is wrong with one or more documents, collected as it is found."""

    def __init__(self) -> None:
        self.found: list[Problem] = []

    def add(self, where: Where, key: Any, text: str) -> None:
        self.found.append(Problem(where, None if key is None else key_name(key), text))

    def __bool__(self) -> bool:
        return bool(self.found)

    def __len__(self) -> int:
        return len(self.found)

    def __iter__(self) -> Iterator[Problem]:
        return iter(self.ordered())

    def ordered(self) -> list[Problem]:
        """File by file (in the order first met), by line; problems without a line last."""
        files = {p.where.source: n for n, p in reversed(list(enumerate(self.found)))}
        return sorted(self.found, key=lambda p: (files[p.where.source], p.where.line is None,
                                                 p.where.line or 0))

    def raise_if_any(self) -> None:
        if self.found:
            raise ConfigError("", problems=self.ordered())


def key_name(key: Any) -> str:
    """A key as a message names it: as written when it is a short plain name."""
    if isinstance(key, str) and len(key) <= 64 and key.isprintable():
        return key
    return excerpt(key)


# -- reading YAML with its marks --------------------------------------------------------

_BaseLoader: Any = getattr(yaml, "CSafeLoader", yaml.SafeLoader)
_MERGE = "tag:yaml.org,2002:merge"


class _Loader(_BaseLoader):  # type: ignore[misc, valid-type]
    """The safe loader, building Documents and DocumentLists."""

    source = "<document>"

    def where(self, node: yaml.Node) -> Where:
        return Where(self.source, node.start_mark.line + 1)


def _construct_mapping(loader: _Loader, node: yaml.MappingNode) -> Iterator[Document]:
    doc = Document(where=loader.where(node))
    yield doc
    explicit = {id(key) for key, _ in node.value if key.tag != _MERGE}
    loader.flatten_mapping(node)  # "<<: *defaults" entries first, explicit keys after
    given: set = set()
    for key_node, value_node in node.value:
        key = loader.construct_object(key_node, deep=True)
        try:
            hash(key)
        except TypeError:
            raise yaml.constructor.ConstructorError(
                "while reading a mapping", node.start_mark, "found a key that is not text",
                key_node.start_mark) from None
        where = loader.where(key_node)
        if id(key_node) in explicit:
            if key in given:
                # YAML would keep the last value without a word; report it.
                doc.duplicates.append((key, doc.key_where[key], where))
                continue
            given.add(key)
        doc[key] = loader.construct_object(value_node, deep=True)
        doc.key_where[key] = where


def _construct_sequence(loader: _Loader, node: yaml.SequenceNode) -> Iterator[DocumentList]:
    items = DocumentList(where=loader.where(node))
    yield items
    for child in node.value:
        items.append(loader.construct_object(child, deep=True))
        items.item_where.append(loader.where(child))


_Loader.add_constructor("tag:yaml.org,2002:map", _construct_mapping)
_Loader.add_constructor("tag:yaml.org,2002:seq", _construct_sequence)


def parse_document(text: str, source: str, problems: Problems) -> Any:
    """The YAML ``text`` read from ``source``, with its marks; None (and a
    problem) when it is not valid YAML or holds nothing."""
    loader = _Loader(text)
    loader.source = source
    try:
        data = loader.get_single_data()
    except yaml.MarkedYAMLError as e:
        mark = e.problem_mark or e.context_mark
        where = Where(source, mark.line + 1, mark.column + 1) if mark else Where(source)
        problem = e.problem or e.context or "unreadable"
        problems.add(where, None, f"not valid YAML: {_short(problem)}")
        return None
    except yaml.YAMLError as e:
        problems.add(Where(source), None, f"not valid YAML: {_short(str(e))}")
        return None
    except (ValueError, OverflowError) as e:
        # What the safe loader's own conversions refuse: a number of
        # thousands of digits, a date such as 2024-13-45.
        problems.add(Where(source), None, f"not valid YAML: {_short(str(e))}")
        return None
    except RecursionError:
        problems.add(Where(source), None, "not valid YAML: nested too deeply")
        return None
    finally:
        loader.dispose()
    if data is None:
        problems.add(Where(source), None, "the file is empty")
    elif isinstance(data, Document):
        data.where = Where(source)  # the top level is the file itself
    return data


def _short(text: str, limit: int = 120) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[:limit] + "..."


def read_document(path: str | os.PathLike, problems: Problems) -> Any:
    """Read the YAML file ``path``; None (and a problem) when it cannot be read,
    is not valid YAML or holds nothing."""
    source = os.fspath(path)
    where = Where(source)
    try:
        with open(source, "rb") as f:
            raw = f.read(MAX_DOCUMENT_BYTES + 1)
    except FileNotFoundError:
        problems.add(where, None, "no such file")
        return None
    except IsADirectoryError:
        problems.add(where, None, "is a folder, not a file")
        return None
    except OSError as e:
        problems.add(where, None, f"cannot be read: {e.strerror or e}")
        return None
    if len(raw) > MAX_DOCUMENT_BYTES:
        problems.add(where, None, f"is larger than {MAX_DOCUMENT_BYTES >> 20} MiB; "
                                  "a configuration is a few kilobytes")
        return None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        problems.add(where, None, "is not UTF-8 text")
        return None
    return parse_document(text, source, problems)


# -- keys and their rules -----------------------------------------------------------------

Check = Callable[[Any], "str | None"]

_TYPE_WORDS = {str: "text", int: "a whole number", float: "a number", bool: "true or false",
               dict: "a mapping", list: "a list"}


@dataclass(frozen=True)
class Key:
    """The rule of one key: its type, whether it must be given, what its value
    must satisfy (``check`` returns None or what is wrong), and its default.

    ``path``: a file or folder, taken relative to the document's folder.
    ``max_length``: the longest text accepted (checked before ``check``, so a
    check never sees a megabyte); MAX_TEXT_LENGTH when None.
    ``digits``: an unquoted whole number is taken as the text of its digits.
    """

    kind: type  # str, int, float (any number), bool, dict or list
    required: bool = False
    check: Check | None = None
    path: bool = False
    default: Any = None
    max_length: int | None = None
    digits: bool = False

    @property
    def annotation(self) -> Any:
        """The type of the value once checked."""
        return self.kind if self.required or self.default is not None else self.kind | None

    def convert(self, value: Any) -> tuple[Any, str | None]:
        """(the value as the key's type, None), or (None, what is wrong)."""
        kind = self.kind
        number = isinstance(value, (int, float)) and not isinstance(value, bool)
        if kind is bool and isinstance(value, bool):
            return value, None
        if kind is int and number and isinstance(value, int):
            return value, None
        if kind is float and number:
            return float(value), None
        if kind is str and isinstance(value, str):
            return value, None
        if kind is str and self.digits and number and isinstance(value, int):
            return str(value), None
        if kind is dict and isinstance(value, Mapping) or kind is list and isinstance(value, list):
            return value, None
        hint = ""
        if kind is str and isinstance(value, (int, float, bool)):
            hint = " (put it in quotes)"
        elif kind is float and isinstance(value, str):
            hint = " (a plain number, without quotes or units)"
        return None, f"expected {_TYPE_WORDS[kind]}, got {describe(value)}{hint}"


class Schema:
    """A table of keys and the keys that must not be there (with what to do instead)."""

    def __init__(self, keys: Mapping[str, Key], forbidden: Mapping[str, str] | None = None):
        self.keys = dict(keys)
        self.forbidden = dict(forbidden or {})

    def check(self, data: Any, problems: Problems, *, source: str = "<document>",
              base_dir: str | os.PathLike | None = None, require: bool = True,
              what: str = "'key: value' lines") -> dict[str, Any]:
        """The valid values of the mapping ``data`` as their keys' types; every
        problem goes to ``problems``.

        ``require``: required keys must be there (False for a partial mapping,
        such as shared defaults).  Paths are made absolute from ``base_dir``
        (the current folder when None).  ``what`` names the expected content
        when ``data`` is not a mapping.
        """
        top = getattr(data, "where", Where(source))
        if not isinstance(data, Mapping):
            problems.add(top, None, f"expected {what}, got {describe(data)}")
            return {}
        for key, first, second in getattr(data, "duplicates", ()):
            at = f"lines {first.line} and {second.line}" if first.source == second.source \
                else f"{first} and {second}"
            problems.add(second, key, f"given twice ({at})")
        meant = set()
        for key in data:
            if isinstance(key, str) and key in self.keys:
                continue
            if isinstance(key, str) and key in self.forbidden:
                problems.add(where_of(data, key, top), key, self.forbidden[key])
                continue
            close = difflib.get_close_matches(str(key), list(self.keys), n=1, cutoff=0.6) \
                if isinstance(key, str) and len(key) <= 64 else []
            if close and close[0] not in data:
                meant.add(close[0])
            hint = f" (did you mean '{close[0]}'?)" if close else ""
            problems.add(where_of(data, key, top), key, f"unknown key{hint}")
        if require:
            for name, rule in self.keys.items():
                if rule.required and data.get(name) is None and name not in meant:
                    # A key written without a value is found at its line.
                    at = where_of(data, name, top) if name in data else top
                    problems.add(at, name, "required key has no value" if name in data
                                 else "required key is missing")

        base = Path(base_dir) if base_dir is not None else Path.cwd()
        values: dict[str, Any] = {}
        for name, rule in self.keys.items():
            value = data.get(name)
            if value is None:
                continue
            value, problem = rule.convert(value)
            if problem is None and isinstance(value, str):
                limit = rule.max_length or MAX_TEXT_LENGTH
                if len(value) > limit:
                    problem = f"{excerpt(value)} is too long (at most {limit:,} characters)"
            if problem is None and rule.check is not None:
                problem = rule.check(value)
            if problem is not None:
                problems.add(where_of(data, name, top), name, problem)
                continue
            if rule.path:
                # Relative to the folder of the file the key was written in
                # (a mapping layered from several files has keys of each).
                written = where_of(data, name, top).source
                folder = base if written == top.source else Path(written).resolve().parent
                value = str((folder / os.path.expanduser(value)).resolve())
            values[name] = value
        return values
