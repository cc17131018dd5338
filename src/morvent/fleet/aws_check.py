"""Is each VPC of a fleet where its manifest says?  Asked of AWS, read-only.

A VPC id says nothing of its region: only EC2 knows whether ``vpc-...`` is
in ``eu-central-1``.  :func:`check_in_aws` asks it (``DescribeVpcs``, which
the tool's IAM policy grants in the configured region), with each VPC's own
credentials (its ``aws_profile``, else the usual chain).  A VPC not found in
its region is looked for in the other regions of the manifest, so the
problem can say where it is.  Nothing is changed anywhere.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import botocore.exceptions

from morvent.core.config import Config, ConfigError
from morvent.core.schema import Problem, Problems
from morvent.fleet.manifest import Fleet, FleetVpc
from morvent.lib.aws_cred import AwsClientManager

__all__ = ["WORKERS", "check_in_aws"]

#: VPCs looked up at once: each look-up is one small read.
WORKERS = 8
_NOT_FOUND = ("InvalidVpcID.NotFound", "InvalidVpcID.Malformed")


class _Unknown(Exception):
    """The look-up itself failed (credentials, permissions, the endpoint)."""


def _found(config: Config, client: Callable[[Config], Any]) -> bool:
    """Whether EC2 of ``config.region`` knows ``config.vpc_id``."""
    try:
        answer = client(config).describe_vpcs(VpcIds=[config.vpc_id])
    except botocore.exceptions.ClientError as e:
        code = e.response.get("Error", {}).get("Code", "")
        if code in _NOT_FOUND:
            return False
        raise _Unknown(f"{code}: {e.response.get('Error', {}).get('Message', e)}") from None
    except (botocore.exceptions.BotoCoreError, ConfigError) as e:
        raise _Unknown(" ".join(str(e).split())) from None
    return any(v.get("VpcId") == config.vpc_id for v in answer.get("Vpcs", []))


def _ec2(config: Config) -> Any:
    return AwsClientManager(config).client("ec2")


def _check_one(vpc: FleetVpc, regions: list[str],
               client: Callable[[Config], Any]) -> tuple[str | None, str | None]:
    """(problem, why unchecked) of one VPC; both None when it is in its region."""
    config = vpc.config
    whose = f" with profile {config.aws_profile}" if config.aws_profile else ""
    try:
        if _found(config, client):
            return None, None
    except _Unknown as e:
        return None, f"could not look {config.vpc_id} up in {config.region}{whose}: {e}"
    elsewhere, unseen = [], []
    for region in regions:
        if region == config.region:
            continue
        try:
            if _found(dataclasses.replace(config, region=region), client):
                elsewhere.append(region)
        except _Unknown:
            unseen.append(region)
    if elsewhere:
        return (f"{config.vpc_id} is not in {config.region} but in {', '.join(elsewhere)} "
                f"(looked up{whose})"), None
    others = [r for r in regions if r != config.region and r not in unseen]
    also = f", nor in {', '.join(others)}" if others else ""
    return (f"{config.vpc_id} is not in {config.region}{also} (looked up{whose}): a VPC "
            "id of another region or account, or a VPC that is gone"), None


def check_in_aws(fleet: Fleet, *, workers: int = WORKERS,
                 client: Callable[[Config], Any] = _ec2) -> tuple[list[Problem], list[Problem]]:
    """(problems, unchecked) of the VPCs of ``fleet``, each at the line of its region.

    A problem: the VPC is not in its region (and where it is, when another
    region of the manifest has it).  Unchecked: the look-up failed (no
    credentials, access denied, no answer); those VPCs may be right or wrong.
    ``client(config)`` gives the EC2 client of a configuration (tests).
    """
    regions = fleet.regions
    with ThreadPoolExecutor(max_workers=max(1, workers)) as pool:
        results = list(pool.map(lambda vpc: _check_one(vpc, regions, client), fleet.vpcs))
    problems, unchecked = Problems(), Problems()
    for vpc, (problem, why) in zip(fleet.vpcs, results):
        if problem:
            problems.add(vpc.at("region"), "region", problem)
        if why:
            unchecked.add(vpc.at("region"), "region", why)
    return problems.ordered(), unchecked.ordered()
