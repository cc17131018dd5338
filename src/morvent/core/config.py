"""Loading and checking the migration configuration.

The configuration is one YAML file of flat ``key: value`` pairs (see
``examples/morvent.yaml``).  Everything is checked when the file is loaded,
before anything talks to AWS or the controller, and every problem found is
reported at once, one line each naming the file, the line and the key (a
:class:`ConfigError`): a typo in a key must never silently fall back to a
default.  The keys, their types, defaults and checks are one table,
``_KEYS``; :class:`Config` takes its fields from it.

The controller password is deliberately not a configuration key: the file
names an environment variable (``controller_password_env``) that holds it.

Which file: ``--config FILE``, else the file named by ``MORVENT_CONFIG``,
else ``morvent.yaml`` in the current folder (:func:`find_config`).
"""

from __future__ import annotations

import ipaddress
import logging
import math
import os
import re
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from morvent.core.backup import FILE_NAME_ROOM, S3_KEY_LIMIT, BackupDescriptor
from morvent.core.schema import (ConfigError, Document, Key, Problems, Schema, Where, excerpt,
                                 read_document, where_of)

__all__ = ["CONFIG_ENV", "CONTROLLER_CONNECT_TIMEOUT", "CONTROLLER_READ_TIMEOUT",
           "DEFAULT_CONFIG_FILE", "MAX_CONTROLLER_TIMEOUT", "SCHEMA", "SHA256_FINGERPRINT",
           "Config", "ConfigError", "ConfigFile", "as_config", "check_config",
           "config_from_mapping", "config_from_values", "default_work_dir", "find_config",
           "load_config"]

#: Seconds to wait for the controller to accept a connection.
CONTROLLER_CONNECT_TIMEOUT = 15.0
#: Seconds to wait for the controller's answer unless ``controller_timeout``
#: says otherwise: it answers a gateway creation only when the gateway is up.
CONTROLLER_READ_TIMEOUT = 900.0
#: The longest ``controller_timeout`` accepted: a day.
MAX_CONTROLLER_TIMEOUT = 86400.0
#: The configuration file looked for in the current folder.
DEFAULT_CONFIG_FILE = "morvent.yaml"
#: The environment variable that names the configuration file.
CONFIG_ENV = "MORVENT_CONFIG"


def default_work_dir() -> str:
    """Where local copies of the backups live unless ``work_dir`` says otherwise."""
    state = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"),
                                                              ".local", "state")
    return os.path.join(state, "morvent")


# ---------------------------------------------------------------------------
# Value checks.  Each takes the value (already of the right type) and returns
# None when it is fine, or a short description of what is wrong.

_VPC_ID = re.compile(r"vpc-[0-9a-f]{8,17}")
_REGION = re.compile(r"[a-z]{2}(-[a-z]{1,12}){1,3}-[0-9]{1,2}")
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
        return (f"{excerpt(value)} is not a VPC id (expected 'vpc-' followed by 8 to 17 lower-case "
                "hexadecimal digits)")
    return None


def _check_region(value: str) -> str | None:
    if not _REGION.fullmatch(value):
        return f"{excerpt(value)} is not an AWS region name (for example 'eu-central-1')"
    return None


def _check_gw_name(value: str) -> str | None:
    if not _GW_NAME.fullmatch(value):
        return (f"{excerpt(value)} is not a valid gateway name (1 to 50 letters, digits, '-' or '_', "
                "starting with a letter or digit)")
    return None


def _check_account_name(value: str) -> str | None:
    if not _ACCOUNT_NAME.fullmatch(value):
        return (f"{excerpt(value)} is not a valid account name (letters, digits, '-', '_' or '.', "
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
        return f"{excerpt(value)} is not an instance size (for example 't3.medium')"
    return None


def _check_controller(value: str) -> str | None:
    if "://" in value or "/" in value:
        return f"{excerpt(value)}: give the controller's address only, without 'https://' or a path"
    host, port = value, None
    if value.startswith("["):  # [IPv6]:port
        end = value.find("]")
        if end < 0:
            return f"{excerpt(value)} is not an address"
        host, rest = value[1:end], value[end + 1:]
        if rest:
            if not rest.startswith(":"):
                return f"{excerpt(value)} is not an address"
            port = rest[1:]
        try:
            ipaddress.IPv6Address(host)
        except ValueError:
            return f"{excerpt(value)} is not an address"
    else:
        if value.count(":") == 1:
            host, port = value.split(":")
        if not _HOSTNAME.fullmatch(host):
            return f"{excerpt(value)} is not a host name or address (optionally with ':port')"
    if port is not None and not (port.isdigit() and 0 < int(port) < 65536):
        return f"{excerpt(value)}: the port must be a number from 1 to 65535"
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
        return (f"{excerpt(value)} is not a valid S3 bucket name (3 to 63 lower-case letters, digits, "
                "'.' or '-', starting and ending with a letter or digit)")
    return None


def _check_prefix(value: str) -> str | None:
    parts = value.strip("/").split("/")
    if (not _PREFIX.fullmatch(value) or value.startswith("/")
            or (value.strip("/") and any(p in ("", ".", "..") for p in parts))):
        return (f"{excerpt(value)} is not a usable key prefix (letters, digits and !_.*'()-, folders "
                "separated by single '/', no leading '/', no '.' or '..')")
    return None


def _check_hs_mode(value: int) -> str | None:
    if value not in (0, 1, 2):
        return f"{excerpt(value)} is not a mode: use 0 (capped plan), 1 (first two only) or 2 (all)"
    return None


def _check_account_number(value: str) -> str | None:
    if not _ACCOUNT_NUMBER.fullmatch(value):
        return f"{excerpt(value)} is not an AWS account number (12 digits, in quotes)"
    return None


def _check_role_arn(value: str) -> str | None:
    if not _ROLE_ARN.fullmatch(value):
        return f"{excerpt(value)} is not an IAM role ARN (arn:aws:iam::<account>:role/<name>)"
    return None


def _check_url(value: str) -> str | None:
    if not _URL.fullmatch(value):
        return f"{excerpt(value)} is not an http:// or https:// URL"
    return None


def _check_timeout(value: float) -> str | None:
    if not math.isfinite(value) or value <= 0:
        return f"{excerpt(value)} is not a number of seconds above 0"
    if value > MAX_CONTROLLER_TIMEOUT:
        return (f"{excerpt(value)} seconds is more than a day; at most "
                f"{MAX_CONTROLLER_TIMEOUT:g} (a gateway creation takes minutes)")
    return None


#: A SHA-256 fingerprint: 64 hexadecimal digits, colons between pairs allowed.
SHA256_FINGERPRINT = re.compile(r"[0-9A-Fa-f]{64}|[0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){31}")


def _check_sha256(value: str) -> str | None:
    if not SHA256_FINGERPRINT.fullmatch(value):
        return (f"{value[:120]!r} is not a SHA-256 fingerprint (32 pairs of hexadecimal digits, "
                "colons between them allowed); `morvent trust-controller` writes it")
    return None


def _check_nonblank(value: str) -> str | None:
    if not value.strip() or value != value.strip():
        return f"{excerpt(value)} must not be blank or start or end with blanks"
    return None


_Key = Key

_KEYS: dict[str, _Key] = {
    "controller_ip": _Key(str, True, _check_controller, max_length=270),
    "controller_user": _Key(str, True, _check_nonblank, max_length=256),
    "controller_password_env": _Key(str, True, _check_env_name, max_length=256),
    "aws_account_name": _Key(str, True, _check_account_name, max_length=64),
    "region": _Key(str, True, _check_region, max_length=30),
    "vpc_id": _Key(str, True, _check_vpc_id, max_length=21),
    "s3_bucket": _Key(str, True, _check_bucket, max_length=63),
    "spoke_gw_name": _Key(str, True, _check_gw_name, max_length=50),
    "spoke_gw_size": _Key(str, False, _check_instance_type, max_length=64),
    "hs_mode": _Key(int, False, _check_hs_mode, default=0),
    "tag_route_table": _Key(bool, default=False),
    "enable_test": _Key(bool, default=False),
    "input_test_config": _Key(str, False, _check_nonblank, path=True),
    "output_test_config": _Key(str, False, _check_nonblank, path=True),
    "s3_prefix": _Key(str, False, _check_prefix, default="morvent"),
    # "" until loaded: then default_work_dir(), which depends on the environment.
    "work_dir": _Key(str, False, _check_nonblank, path=True, default=""),
    "aws_profile": _Key(str, False, _check_nonblank, max_length=256),
    "aws_endpoint_url": _Key(str, False, _check_url, max_length=2048),
    "aws_account_number": _Key(str, False, _check_account_number, digits=True, max_length=12),
    "aws_role_app": _Key(str, False, _check_role_arn, max_length=2048),
    "aws_role_ec2": _Key(str, False, _check_role_arn, max_length=2048),
    "controller_timeout": _Key(float, False, _check_timeout, default=CONTROLLER_READ_TIMEOUT),
    "controller_ca_bundle": _Key(str, False, _check_nonblank, path=True),
    "controller_cert_sha256": _Key(str, False, _check_sha256),
    "accept_address_changes": _Key(bool, default=False),
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

SCHEMA = Schema(_KEYS, _FORBIDDEN)


def _fields_from(keys: Mapping[str, Key]):
    """Make the decorated class a frozen dataclass with a field per key of
    ``keys`` (and ``source``), typed and defaulted as the table says."""
    def make(cls: type) -> type:
        cls.__annotations__ = {"source": str, **{name: key.annotation
                                                 for name, key in keys.items()}}
        for name, key in keys.items():
            if not key.required:
                setattr(cls, name, key.default)
        return dataclass(frozen=True, kw_only=True)(cls)
    return make


@_fields_from(_KEYS)
class Config:
    """A checked configuration: an attribute per key of ``_KEYS``, and ``source``,
    the file it was read from."""

    source: str

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


_PEM_CERTIFICATE = "-----BEGIN CERTIFICATE-----"


def _check_ca_bundle(path: str) -> str | None:
    """What is wrong with the CA bundle file ``path``, or None."""
    try:
        with open(path, encoding="ascii", errors="replace") as f:
            text = f.read(1 << 20)
    except FileNotFoundError:
        return f"file {excerpt(path, 200)} does not exist"
    except IsADirectoryError:
        return (f"{excerpt(path, 200)} is a folder; give the PEM file of the controller's CA "
                "certificate")
    except OSError as e:
        return f"file {excerpt(path, 200)} cannot be read: {e.strerror or e}"
    if _PEM_CERTIFICATE not in text:
        return f"file {excerpt(path, 200)} holds no PEM certificate ({_PEM_CERTIFICATE} ...)"
    return None


def _check_together(values: dict[str, Any], data: Mapping, top: Where,
                    problems: Problems) -> None:
    """What only several keys together, or the files they name, can get wrong."""
    def at(key: str) -> Where:
        return where_of(data, key, top)

    if values.get("enable_test"):
        for key in ("input_test_config", "output_test_config"):
            if data.get(key) is None:
                problems.add(at("enable_test"), key, "required when enable_test is true")
        path = values.get("input_test_config")
        if path is not None and not os.path.isfile(path):
            problems.add(at("input_test_config"), "input_test_config",
                         f"file {excerpt(path, 200)} does not exist")
    if "controller_ca_bundle" in values:
        problem = _check_ca_bundle(values["controller_ca_bundle"])
        if problem:
            problems.add(at("controller_ca_bundle"), "controller_ca_bundle", problem)
    parts = ("s3_bucket", "aws_account_name", "region", "vpc_id")
    if all(key in values for key in parts):
        prefix = values.get("s3_prefix", _KEYS["s3_prefix"].default).strip("/")
        des = BackupDescriptor.for_vpc(values["s3_bucket"], prefix, "", values["aws_account_name"],
                                       values["region"], values["vpc_id"])
        if des.longest_key > S3_KEY_LIMIT:
            room = S3_KEY_LIMIT - (des.longest_key - len(prefix.encode("utf-8")))
            problems.add(at("s3_prefix"), "s3_prefix",
                         f"too long for S3: with it, keys of the backup would be up to "
                         f"{des.longest_key:,} bytes (the backup folder's key and "
                         f"{FILE_NAME_ROOM} for its files), and S3 keys end at "
                         f"{S3_KEY_LIMIT:,}; use at most {max(room, 0):,} characters")


def check_config(data: Any, problems: Problems, source: str = "<configuration>",
                 base_dir: str | os.PathLike | None = None) -> dict[str, Any]:
    """The valid values of the configuration mapping ``data``; every problem
    goes to ``problems`` (for documents that hold configurations)."""
    values = SCHEMA.check(data, problems, source=source, base_dir=base_dir,
                          what="'key: value' lines at the top level")
    if isinstance(data, Mapping):
        _check_together(values, data, getattr(data, "where", Where(source)), problems)
    return values


def config_from_mapping(data: Any, source: str = "<configuration>",
                        base_dir: str | os.PathLike | None = None) -> Config:
    """Check the mapping ``data`` and return it as a :class:`Config`.

    ``source`` names the origin in error messages; relative paths are taken
    relative to ``base_dir`` (the current folder when None).  Every problem
    found is in the :class:`ConfigError` raised.
    """
    problems = Problems()
    values = check_config(data, problems, source, base_dir)
    problems.raise_if_any()
    for key, why in _RETIRED.items():
        if data.get(key):
            logging.getLogger(__name__).warning("%s: %s %s", source, key, why)
    return config_from_values(values, source)


def config_from_values(values: Mapping[str, Any], source: str) -> Config:
    """The :class:`Config` of ``values`` that :func:`check_config` found
    valid, without a problem: the prefix without its slashes, the default
    working folder when none is given."""
    values = dict(values)
    if "s3_prefix" in values:
        values["s3_prefix"] = values["s3_prefix"].strip("/")
    if not values.get("work_dir"):
        values["work_dir"] = default_work_dir()
    return Config(source=source, **values)


#: Command-line options that stand for a key: the key they set.
OPTION_KEYS = {"--profile": "aws_profile", "--region": "region"}


def load_config(path: str | os.PathLike,
                overrides: Mapping[str, Any] | None = None) -> Config:
    """Read and check the YAML configuration file ``path``.

    ``overrides``: values given on the command line, by option (``--region``)
    or key name, that take the place of the file's (None: not given).
    """
    source = os.fspath(path)
    problems = Problems()
    data = read_document(source, problems)
    problems.raise_if_any()
    given = {OPTION_KEYS.get(name, name): (name, value)
             for name, value in (overrides or {}).items() if value is not None}
    if given and isinstance(data, Document):
        layer = Document()
        for key, (name, value) in given.items():
            layer[key] = value
            layer.key_where[key] = Where(f"{name} on the command line")
        data = data.layered(layer)
    return config_from_mapping(data, source, base_dir=Path(source).resolve().parent)


@dataclass(frozen=True)
class ConfigFile:
    """The configuration file a command uses, and how it was chosen."""

    path: str
    #: "--config", CONFIG_ENV or "the current folder"
    found_by: str


def find_config(given: str | os.PathLike | None, environ: Mapping[str, str] | None = None,
                cwd: str | os.PathLike | None = None) -> ConfigFile:
    """The configuration file to use: ``given`` (--config), else the file that
    MORVENT_CONFIG names, else morvent.yaml in ``cwd`` (the current folder).

    A ConfigError names every place looked at when none holds one.  A file
    named by --config or MORVENT_CONFIG is used as it is (load_config says
    when it is missing); the search never goes past it to another file.
    """
    if given is not None:
        return ConfigFile(os.fspath(given), "--config")
    environ = os.environ if environ is None else environ
    named = environ.get(CONFIG_ENV, "")
    if named:
        return ConfigFile(named, CONFIG_ENV)
    folder = Path(cwd) if cwd is not None else Path.cwd()
    default = folder / DEFAULT_CONFIG_FILE
    if default.exists():
        return ConfigFile(str(default) if cwd is not None else DEFAULT_CONFIG_FILE,
                          "the current folder")
    raise ConfigError(
        "no configuration file", None,
        f"--config was not given, {CONFIG_ENV} is not set, and there is no "
        f"{DEFAULT_CONFIG_FILE} in {excerpt(str(folder), 200)}; give one with --config FILE "
        f"(examples/morvent.yaml shows every key)")


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
