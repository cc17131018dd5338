"""Records as the tool writes them, mementos of the tests' own, and locks of other runs."""

from __future__ import annotations

import json
import os
import subprocess
import sys

from morvent.commands import records


def allow_kinds(monkeypatch, *classes, **fields) -> None:
    """Let the histories store and read mementos of ``classes`` (state: any object whose
    ``fields`` -- name=tuple of types -- are there)."""
    for cls in classes:
        monkeypatch.setitem(records.MEMENTO_KINDS, f"{cls.__module__}.{cls.__qualname__}",
                            records.Fields(fields))


def natgw_record(zone: str, **changes) -> dict:
    """A NAT gateway record as the discovery writes it, for zone "a", "b", ..."""
    n = ord(zone) - 97
    return {"subnet_id": f"subnet-{zone}", "subnet_cidr": f"10.0.{n}.0/24",
            "initial_size": "t3.small", "size": "t3.small", "nat_gw_id": f"nat-{zone}",
            "private_ip": f"10.0.{n}.5", "eip": f"198.51.100.{n + 1}", **changes}


def deletion_state(zone: str, **changes) -> dict:
    """The state of a NAT gateway deletion's undo record, as the tool writes it."""
    record = natgw_record(zone)
    return {"vpc_id": "vpc-0123456789abcdef0", "subnet_id": record["subnet_id"],
            "subnet_cidr": record["subnet_cidr"], "nat_gw_id": record["nat_gw_id"],
            "eip": record["eip"], "allocation_id": f"eipalloc-{zone}",
            "secondary_allocation_ids": [], "private_ip": record["private_ip"],
            "network_interface_ids": [], "tags": [], "routes": [], "made_in_dry_run": False,
            **changes}


def write_lock(s3_client, des, **owner) -> dict:
    """A lock record as another run leaves it, with its heartbeat; returns it."""
    record = {"id": os.urandom(8).hex(), "host": "ops-1", "pid": 1, "user": "bob", "time": "T",
              "command": "morvent execute", "heartbeat": "T", "renew_every": 30, **owner}
    s3_client.put_object(Bucket=des.bucket, Key=des.lock_key, Body=json.dumps(record).encode())
    return record


def gone_pid() -> int:
    """The id of a process that has ended."""
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid
