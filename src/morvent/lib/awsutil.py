"""Small helpers shared by the AWS step modules.

The step modules (NAT gateways, route tables, sizing, egress checks) change a
production VPC, so they share one way to read the dry-run flag, to reach the
run's clients from a memento that was rebuilt in a later process, to wait for
EC2 with a bound, and to write JSON files without ever leaving half a file.
"""

from __future__ import annotations

import datetime
import json
import logging
import time
from typing import Any, Callable, Optional

from botocore.exceptions import ClientError

from morvent.core.files import write_atomically
from morvent.core.Globals import Globals


class WaitTimeout(TimeoutError):
    """An AWS resource did not reach the awaited state in time."""


class AwsStepError(RuntimeError):
    """An AWS step cannot go on; the message says why and what to check."""


def dry_run() -> bool:
    """True when the run must not change AWS (read at every call)."""
    return bool(Globals.dry_run)


def ec2_client():
    """The EC2 client of the current run's client manager.

    Mementos keep only identifiers, so that they can be rebuilt in a later
    process; they reach AWS through the manager that `execute` or `revert`
    put into ``Globals`` for that run.
    """
    manager = Globals.aws_client_manager
    if manager is None:
        raise AwsStepError(
            "no AWS client manager is set up (Globals.aws_client_manager is None)"
        )
    return manager.getEc2Client()


def run_setting(name: str, default: Any = None) -> Any:
    """A key of the configuration the run's client manager was made from.

    The step sequence hands its collaborators clients, not the
    configuration; the few that need a key of it (the sizing needs
    ``hs_mode``) read it here.  ``default`` outside a run.
    """
    config = getattr(Globals.aws_client_manager, "config", None)
    return getattr(config, name, default)


def error_code(exc: BaseException) -> str:
    """The AWS error code of a ``ClientError``, else an empty string."""
    if isinstance(exc, ClientError):
        return str(exc.response.get("Error", {}).get("Code", ""))
    return ""


def is_not_found(exc: BaseException) -> bool:
    """True for the EC2 errors that mean "no such resource"."""
    code = error_code(exc)
    return code.endswith("NotFound") or code.endswith(".NotFound")


def describe_interface(ec2, eni_id: str) -> Optional[dict]:
    """The network interface ``eni_id``, or None when EC2 no longer has it."""
    try:
        found = ec2.describe_network_interfaces(NetworkInterfaceIds=[eni_id])["NetworkInterfaces"]
    except ClientError as exc:
        if is_not_found(exc):
            return None
        raise
    return found[0] if found else None


def wait_until(
    check: Callable[[], Any],
    what: str,
    timeout: float,
    interval: float,
    logger: logging.Logger,
) -> Any:
    """Call ``check`` until it returns a true value, at most ``timeout`` seconds.

    Returns that value.  Every poll that finds the resource not ready yet logs
    a progress line, so the user can follow a wait that takes minutes.  Raises
    `WaitTimeout` naming ``what`` when the bound is reached.
    """
    start = time.monotonic()
    while True:
        result = check()
        if result:
            return result
        elapsed = time.monotonic() - start
        if elapsed >= timeout:
            raise WaitTimeout(
                f"timed out after {elapsed:.0f} s waiting for {what}"
            )
        logger.info("  waiting for %s (%.0f s of %.0f s)", what, elapsed, timeout)
        time.sleep(interval)


def json_safe(value: Any) -> Any:
    """``value`` with datetimes turned into ISO text, for json.dump."""
    if isinstance(value, dict):
        return {k: json_safe(v) for k, v in value.items() if k != "ResponseMetadata"}
    if isinstance(value, (list, tuple)):
        return [json_safe(v) for v in value]
    if isinstance(value, (datetime.datetime, datetime.date)):
        return value.isoformat()
    return value


def write_json_atomic(path: str, data: Any) -> None:
    """Write ``data`` as JSON to ``path``; a crash leaves the old or the new file."""
    text = json.dumps(json_safe(data), indent=2) + "\n"
    write_atomically(path, text.encode("utf-8"))


def utc_stamp(now: Optional[datetime.datetime] = None) -> str:
    """A compact UTC time stamp for file names, e.g. 20240131T120000Z."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    return now.strftime("%Y%m%dT%H%M%SZ")
