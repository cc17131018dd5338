"""Helpers for tests that store mementos of their own, and records the tool writes."""

from __future__ import annotations

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
