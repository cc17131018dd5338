"""Changing one key of a configuration file in place.

The file is the operator's: its comments, order and layout stay as they are.
A top-level ``key: value`` line is replaced, or the key is added at the end;
the new text must read as a valid configuration holding that value before it
replaces the file (atomically, keeping the file's permissions).
"""

from __future__ import annotations

import os
import re

import yaml

from morvent.core.config import ConfigError, config_from_mapping
from morvent.core.files import write_atomically


def set_value(path: str, key: str, value: str, comment: str | None = None) -> None:
    """Set the top-level ``key`` of the YAML configuration ``path`` to the text ``value``.

    ``comment`` goes on a line of its own above a key that is added.  Raises
    OSError when the file cannot be read or written, ConfigError when the
    result would not be a valid configuration (the file is left as it was).
    """
    target = os.path.realpath(path)
    with open(target, encoding="utf-8") as f:
        text = f.read()
    line = f'{key}: "{value}"'
    existing = re.compile(rf"^{re.escape(key)}[ \t]*:.*$", re.MULTILINE)
    if existing.search(text):
        new_text = existing.sub(lambda _: line, text, count=1)
    else:
        if text and not text.endswith("\n"):
            text += "\n"
        new_text = text + (f"# {comment}\n" if comment else "") + line + "\n"
    try:
        checked = config_from_mapping(yaml.safe_load(new_text), path,
                                      base_dir=os.path.dirname(target))
    except yaml.YAMLError as e:
        raise ConfigError(path, None, f"would not be valid YAML with {key} set: {e}") from None
    if getattr(checked, key) != value:
        raise ConfigError(path, key, "does not read back as written")
    mode = os.stat(target).st_mode & 0o7777
    write_atomically(target, new_text.encode("utf-8"))
    os.chmod(target, mode)
