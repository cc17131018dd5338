"""Loading and checking the migration configuration.

The configuration is one YAML file of flat ``key: value`` pairs (see
``examples/morvent.yaml``).  Everything is checked when the file is loaded,
before anything talks to AWS or the controller, and the first problem found
is raised as a :class:`ConfigError` whose message is one line naming the file
and the key: a typo in a key must never silently fall back to a default.

The controller password is deliberately not a configuration key: the file
names an environment variable (``controller_password_env``) that holds it.
"""

from __future__ import annotations

import difflib
import ipaddress
import logging
import math
import os
import re
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import yaml

__all__ = ["CONTROLLER_CONNECT_TIMEOUT", "CONTROLLER_READ_TIMEOUT", "Config", "ConfigError",
           "as_config", "config_from_mapping", "default_work_dir", "load_config"]

#: Seconds to wait for the controller to accept a connection.
CONTROLLER_CONNECT_TIMEOUT = 15.0
#: Seconds to wait for the controller's answer unless ``controller_timeout``
#: says otherwise: it answers a gateway creation only when the gateway is up.
CONTROLLER_READ_TIMEOUT = 900.0


class ConfigError(Exception):
    """A configuration problem the user has to fix; ``str()`` is one line."""

    def __init__(self, source: str, key: str | None, problem: str):
        self.source = source
        self.key = key
        self.problem = problem
        where = f"{source}: {key}" if key is not None else source
        super().__init__(f"{where}: {problem}")


@dataclass(frozen=True)
class Config:
    """A checked configuration.  ``source`` is the file it was read from."""

    source: str
    controller_ip: str
    controller_user: str
    controller_password_env: str
    aws_account_name: str
    region: str
    vpc_id: str
    s3_bucket: str
    spoke_gw_name: str
    spoke_gw_size: str | None = None
    hs_mode: int = 0
    tag_route_table: bool = False
    enable_test: bool = False
    input_test_config: str | None = None
    output_test_config: str | None = None
    s3_prefix: str = "morvent"
    work_dir: str = ""
    aws_profile: str | None = None
    aws_endpoint_url: str | None = None
    aws_account_number: str | None = None
    aws_role_app: str | None = None
    aws_role_ec2: str | None = None
    controller_timeout: float = CONTROLLER_READ_TIMEOUT
    controller_ca_bundle: str | None = None
    accept_address_changes: bool = False

    @property
    def controller_request_timeout(self) -> tuple[float, float]:
        """(connect, read) seconds for every controller request."""
        read = self.controller_timeout
        return min(CONTROLLER_CONNECT_TIMEOUT, read), read

    @property
    def controller_verify(self) -> str | bool:
        """``verify=`` of every controller request: the CA bundle, or False
        (the controller's certificate is not checked)."""
        return self.controller_ca_bundle or False


def default_work_dir() -> str:
    """Where local copies of the backups live unless ``work_dir`` says otherwise."""
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"),
                                                              ".local", "state")
    return os.path.join(state, "morvent")


# ---------------------------------------------------------------------------
# Value checks.  Each takes the value (already of the right type) and returns
# None when it is fine, or a short description of what is wrong.

_VPC_ID = re.compile(r"vpc-[0-9a-f]{8,17}")
_REGION = re.compile(r"[a-z]{2}(-[a-z]+)+-[0-9]{1,2}")
_GW_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_-]{0,49}")
_ACCOUNT_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")
_ENV_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_INSTANCE_TYPE = re.compile(r"[a-z][a-z0-9-]*\.[a-z0-9-]+")
_HOSTNAME = re.compile(r"[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?")
_BUCKET = re.compile(r"[a-z0-9][a-z0-9.-]{1,61}[a-z0-9]")
_PREFIX = re.compile(r"[A-Za-z0-9!_.*'()/-]*")
_ACCOUNT_NUMBER = re.compile(r"[0-9]{12}")
_ROLE_ARN = re.compile(r"arn:aws[a-z-]*:iam::[0-9]{12}:role/[\w+=,.@/-]{1,512}")
_URL = re.compile(r"https?://[^\s/?#]+(/[^\s]*)?")


def _check_vpc_id(value: str) -> str | None:
    if not _VPC_ID.fullmatch(value):
        return (f"{value!r} is not a VPC id (expected 'vpc-' followed by 8 to 17 lower-case "
                "hexadecimal digits)")
    return None


def _check_region(value: str) -> str | None:
    if not _REGION.fullmatch(value):
        return f"{value!r} is not an AWS region name (for example 'eu-central-1')"
    return None


def _check_gw_name(value: str) -> str | None:
    if not _GW_NAME.fullmatch(value):
        return (f"{value!r} is not a valid gateway name (1 to 50 letters, digits, '-' or '_', "
                "starting with a letter or digit)")
    return None


def _check_account_name(value: str) -> str | None:
    if not _ACCOUNT_NAME.fullmatch(value):
        return (f"{value!r} is not a valid account name (letters, digits, '-', '_' or '.', "
                "at most 64)")
    return None


def _check_env_name(value: str) -> str | None:
    if not _ENV_NAME.fullmatch(value):
        # Not repeated: it may be the password itself, put here by mistake.
        return ("the value is not an environment variable name (letters, digits and '_'); "
                "name the variable that holds the password, not the password itself (the "
                "value is not shown here)")
    return None


def _check_instance_type(value: str) -> str | None:
    if not _INSTANCE_TYPE.fullmatch(value):
        return f"{value!r} is not an instance size (for example 't3.medium')"
    return None


def _check_controller(value: str) -> str | None:
    if "://" in value or "/" in value:
        return f"{value!r}: give the controller's address only, without 'https://' or a path"
    host, port = value, None
    if value.startswith("["):  # [IPv6]:port
        end = value.find("]")
        if end < 0:
            return f"{value!r} is not an address"
        host, rest = value[1:end], value[end + 1:]
        if rest:
            if not rest.startswith(":"):
                return f"{value!r} is not an address"
            port = rest[1:]
        try:
            ipaddress.IPv6Address(host)
        except ValueError:
            return f"{value!r} is not an address"
    else:
        if value.count(":") == 1:
            host, port = value.split(":")
        if not _HOSTNAME.fullmatch(host):
            return f"{value!r} is not a host name or address (optionally with ':port')"
    if port is not None and not (port.isdigit() and 0 < int(port) < 65536):
        return f"{value!r}: the port must be a number from 1 to 65535"
    return None


def _check_bucket(value: str) -> str | None:
    bad = (not _BUCKET.fullmatch(value) or ".." in value or ".-" in value or "-." in value
           or value.startswith("xn--") or value.endswith("-s3alias"))
    if not bad:
        try:
            ipaddress.IPv4Address(value)
            bad = True
        except ValueError:
            pass
    if bad:
        return (f"{value!r} is not a valid S3 bucket name (3 to 63 lower-case letters, digits, "
                "'.' or '-', starting and ending with a letter or digit)")
    return None


def _check_prefix(value: str) -> str | None:
    parts = value.strip("/").split("/")
    if (not _PREFIX.fullmatch(value) or value.startswith("/")
            or (value.strip("/") and any(p in ("", ".", "..") for p in parts))):
        return (f"{value!r} is not a usable key prefix (letters, digits and !_.*'()-, folders "
                "separated by single '/', no leading '/', no '.' or '..')")
    return None


def _check_hs_mode(value: int) -> str | None:
    if value not in (0, 1, 2):
        return f"{value!r} is not a mode: use 0 (capped plan), 1 (first two only) or 2 (all)"
    return None


def _check_account_number(value: str) -> str | None:
    if not _ACCOUNT_NUMBER.fullmatch(value):
        return f"{value!r} is not an AWS account number (12 digits, in quotes)"
    return None


def _check_role_arn(value: str) -> str | None:
    if not _ROLE_ARN.fullmatch(value):
        return f"{value!r} is not an IAM role ARN (arn:aws:iam::<account>:role/<name>)"
    return None


def _check_url(value: str) -> str | None:
    if not _URL.fullmatch(value):
        return f"{value!r} is not an http:// or https:// URL"
    return None


def _check_timeout(value: float) -> str | None:
    if not math.isfinite(value) or value <= 0:
        return f"{value!r} is not a number of seconds above 0"
    return None


def _check_nonblank(value: str) -> str | None:
    if not value.strip() or value != value.strip():
        return f"{value!r} must not be blank or start or end with blanks"
    return None


@dataclass(frozen=True)
class _Key:
    kind: type  # str, int, float (any number) or bool
    required: bool = False
    check: Callable[[Any], str | None] | None = None
    path: bool = False  # a file or folder, relative to the configuration file


_KEYS: dict[str, _Key] = {
    "controller_ip": _Key(str, True, _check_controller),
    "controller_user": _Key(str, True, _check_nonblank),
    "controller_password_env": _Key(str, True, _check_env_name),
    "aws_account_name": _Key(str, True, _check_account_name),
    "region": _Key(str, True, _check_region),
    "vpc_id": _Key(str, True, _check_vpc_id),
    "s3_bucket": _Key(str, True, _check_bucket),
    "spoke_gw_name": _Key(str, True, _check_gw_name),
    "spoke_gw_size": _Key(str, False, _check_instance_type),
    "hs_mode": _Key(int, False, _check_hs_mode),
    "tag_route_table": _Key(bool),
    "enable_test": _Key(bool),
    "input_test_config": _Key(str, False, _check_nonblank, path=True),
    "output_test_config": _Key(str, False, _check_nonblank, path=True),
    "s3_prefix": _Key(str, False, _check_prefix),
    "work_dir": _Key(str, False, _check_nonblank, path=True),
    "aws_profile": _Key(str, False, _check_nonblank),
    "aws_endpoint_url": _Key(str, False, _check_url),
    "aws_account_number": _Key(str, False, _check_account_number),
    "aws_role_app": _Key(str, False, _check_role_arn),
    "aws_role_ec2": _Key(str, False, _check_role_arn),
    "controller_timeout": _Key(float, False, _check_timeout),
    "controller_ca_bundle": _Key(str, False, _check_nonblank, path=True),
    "accept_address_changes": _Key(bool),
}

# Keys that did nothing and were retired: still read (stored configurations
# keep loading), with a warning when set.
_RETIRED = {
    "tag_route_table": "is no longer used and can be removed: it never tagged a route table "
                       "(the route tables are backed up into the backup folder either way)",
}

# Keys people reach for that must not be there, with what to do instead.
_FORBIDDEN = {
    "controller_password": "the password must not be in the configuration file: put it in an "
                           "environment variable and name that variable in "
                           "controller_password_env",
    "password": "the password must not be in the configuration file: put it in an environment "
                "variable and name that variable in controller_password_env",
    "dry_run": "a dry run is chosen on the command line (morvent execute --dry-run)",
}

_TYPE_WORDS = {str: "text", int: "a whole number", float: "a number", bool: "true or false"}


def _describe(value: Any) -> str:
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


def _coerce(source: str, key: str, rule: _Key, value: Any) -> Any:
    """Return ``value`` as the key's type, or raise a ConfigError."""
    if rule.kind is bool:
        if isinstance(value, bool):
            return value
    elif rule.kind is int:
        if isinstance(value, int) and not isinstance(value, bool):
            return value
    elif rule.kind is float:
        if isinstance(value, (int, float)) and not isinstance(value, bool):
            return float(value)
    elif key == "aws_account_number" and isinstance(value, int) and not isinstance(value, bool):
        # An unquoted number: fine when it reads back as 12 digits; a number
        # with a leading zero may have been read as octal, so refuse it.
        return str(value)
    elif isinstance(value, str):
        return value
    hint = ""
    if rule.kind is str and isinstance(value, (int, float, bool)):
        hint = " (put it in quotes)"
    elif rule.kind is float and isinstance(value, str):
        hint = " (a plain number, without quotes or units)"
    raise ConfigError(source, key,
                      f"expected {_TYPE_WORDS[rule.kind]}, got {_describe(value)}{hint}")


_PEM_CERTIFICATE = "-----BEGIN CERTIFICATE-----"


def _check_ca_bundle(path: str) -> str | None:
    """What is wrong with the CA bundle file ``path``, or None."""
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            text = f.read()
    except FileNotFoundError:
        return f"file {path} does not exist"
    except IsADirectoryError:
        return f"{path} is a folder; give the PEM file of the controller's CA certificate"
    except OSError as e:
        return f"file {path} cannot be read: {e.strerror or e}"
    if _PEM_CERTIFICATE not in text:
        return f"file {path} holds no PEM certificate ({_PEM_CERTIFICATE} ...)"
    return None


def config_from_mapping(data: Any, source: str = "<configuration>",
                        base_dir: str | os.PathLike | None = None) -> Config:
    """Check the mapping ``data`` and return it as a :class:`Config`.

    ``source`` names the origin in error messages; relative paths are taken
    relative to ``base_dir`` (the current folder when None).
    """
    if not isinstance(data, Mapping):
        raise ConfigError(source, None,
                          f"expected 'key: value' lines at the top level, got {_describe(data)}")
    for key in data:
        if not isinstance(key, str) or key not in _KEYS:
            if isinstance(key, str) and key in _FORBIDDEN:
                raise ConfigError(source, key, _FORBIDDEN[key])
            close = difflib.get_close_matches(str(key), list(_KEYS), n=1, cutoff=0.6)
            hint = f" (did you mean '{close[0]}'?)" if close else ""
            raise ConfigError(source, str(key), f"unknown key{hint}")
    for key, rule in _KEYS.items():
        if rule.required and data.get(key) is None:
            what = "has no value" if key in data else "is missing"
            raise ConfigError(source, key, f"required key {what}")

    for key, why in _RETIRED.items():
        if data.get(key):
            logging.getLogger(__name__).warning("%s: %s %s", source, key, why)

    base = Path(base_dir) if base_dir is not None else Path.cwd()
    values: dict[str, Any] = {}
    for key, rule in _KEYS.items():
        value = data.get(key)
        if value is None:
            continue
        value = _coerce(source, key, rule, value)
        if rule.check is not None:
            problem = rule.check(value)
            if problem:
                raise ConfigError(source, key, problem)
        if rule.path:
            value = str((base / os.path.expanduser(value)).resolve())
        values[key] = value

    if values.get("enable_test"):
        for key in ("input_test_config", "output_test_config"):
            if key not in values:
                raise ConfigError(source, key, "required when enable_test is true")
        if not os.path.isfile(values["input_test_config"]):
            raise ConfigError(source, "input_test_config",
                              f"file {values['input_test_config']} does not exist")
    if "controller_ca_bundle" in values:
        problem = _check_ca_bundle(values["controller_ca_bundle"])
        if problem:
            raise ConfigError(source, "controller_ca_bundle", problem)
    if "s3_prefix" in values:
        values["s3_prefix"] = values["s3_prefix"].strip("/")
    values.setdefault("work_dir", default_work_dir())
    return Config(source=source, **values)


class _UniqueKeyLoader(yaml.SafeLoader):
    """A safe loader that refuses a key given twice (YAML would keep the last)."""

    def construct_mapping(self, node, deep=False):
        seen: dict[Any, int] = {}
        for key_node, _ in node.value:
            key = self.construct_object(key_node, deep=True)
            line = key_node.start_mark.line + 1
            if isinstance(key, str) and key in seen:
                raise _DuplicateKey(key, seen[key], line)
            if isinstance(key, str):
                seen[key] = line
        return super().construct_mapping(node, deep=deep)


class _DuplicateKey(Exception):
    def __init__(self, key: str, first: int, second: int):
        super().__init__(key)
        self.key, self.first, self.second = key, first, second


def load_config(path: str | os.PathLike) -> Config:
    """Read and check the YAML configuration file ``path``."""
    source = os.fspath(path)
    try:
        with open(source, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        raise ConfigError(source, None, "no such file") from None
    except IsADirectoryError:
        raise ConfigError(source, None, "is a folder, not a configuration file") from None
    except UnicodeDecodeError:
        raise ConfigError(source, None, "is not UTF-8 text") from None
    except OSError as e:
        raise ConfigError(source, None, f"cannot be read: {e.strerror or e}") from None
    try:
        data = yaml.load(text, Loader=_UniqueKeyLoader)
    except _DuplicateKey as e:
        raise ConfigError(source, e.key,
                          f"given twice (lines {e.first} and {e.second})") from None
    except yaml.YAMLError as e:
        mark = getattr(e, "problem_mark", None)
        where = f"{source}:{mark.line + 1}:{mark.column + 1}" if mark else source
        problem = getattr(e, "problem", None) or str(e).splitlines()[0]
        raise ConfigError(where, None, f"not valid YAML: {problem}") from None
    if data is None:
        raise ConfigError(source, None, "the file is empty")
    return config_from_mapping(data, source, base_dir=Path(source).resolve().parent)


def as_config(config: Config | Mapping | str | os.PathLike) -> Config:
    """Accept what callers hand around as "the configuration".

    A :class:`Config` is used as it is, a mapping is checked as if read from a
    file, and a path is loaded.
    """
    if isinstance(config, Config):
        return config
    if isinstance(config, Mapping):
        return config_from_mapping(config)
    if isinstance(config, (str, os.PathLike)):
        return load_config(config)
    raise TypeError(f"expected a Config, a mapping or a file path, got {type(config).__name__}")

