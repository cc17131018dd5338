"""Many simulated VPCs at once: a fleet for rehearsals and benchmarks.

``plan_fleet`` lays the fleet out (deterministic from a seed): VPC
``vpc001``, ``vpc002``, ... each with a zone count drawn from a range,
optionally spread over two regions and two AWS accounts.  ``build_fleet``
makes the VPCs in the simulated cloud (one NAT gateway per zone, traffic
figures for the sizing), and ``write_fleet`` writes the fleet manifest
(``fleet.yaml``: what the VPCs share under ``defaults``, what differs per
VPC) and each VPC's own configuration beside it (``vpcs/KEY.yaml``).

Two accounts on one simulated cloud and one controller: moto keeps AWS
accounts apart by the access key of each request, so the second account
(``210987654321``) is reached with the keys of a role assumed there
(``AwsEndpoint.add_account``), written to an AWS credentials file as the
profile ``morvent-sim-b``; its VPCs, Elastic IPs and bucket are its own.
On the controller the accounts are two cloud accounts (``morvent-sim-a`` and
``morvent-sim-b``) with their account numbers, and the controller makes
each gateway in the account of its cloud account, as a real one does.

The regions are us-east-1 (six zones) and us-west-2, which has four zones
in the simulation: a VPC there has at most four.
"""

from __future__ import annotations

import os
import random
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import yaml

from .cloud import DEFAULT_ACCOUNT
from .demo import BUCKET, PASSWORD_ENV, WRITTEN_BY, ZONE_PEAK
from .world import World, build_world

#: The fleet manifest written beside the VPCs' configurations.
FLEET_FILE = "fleet.yaml"
#: The folder of the VPCs' own configurations.
VPC_FOLDER = "vpcs"
#: The AWS credentials file holding the second account's profile.
CREDENTIALS_FILE = "aws-credentials"
#: Most VPCs a simulated fleet has.
MAX_VPCS = 500
#: Days of traffic figures per NAT gateway (the sizing takes the busiest hour).
TRAFFIC_DAYS = 1


@dataclass(frozen=True)
class Region:
    name: str
    zones: int           # availability zones of the region in the simulation


@dataclass(frozen=True)
class Account:
    """A simulated AWS account and its cloud account on the controller."""

    name: str            # the controller's cloud account (aws_account_name)
    number: str
    profile: str | None  # the AWS profile whose keys reach it (None: the default keys)
    bucket: str


REGIONS = (Region("us-east-1", 6), Region("us-west-2", 4))
ACCOUNTS = (Account("morvent-sim-a", DEFAULT_ACCOUNT, None, BUCKET),
            Account("morvent-sim-b", "210987654321", "morvent-sim-b", f"{BUCKET}-b"))


@dataclass(frozen=True)
class Planned:
    """One VPC of a fleet as laid out, before it is built."""

    key: str
    index: int
    region: Region
    account: Account
    zones: int

    @property
    def spoke(self) -> str:
        """Its spoke gateway name (keys are of one width: none starts with another)."""
        return f"{self.key}-egress"

    @property
    def cidr(self) -> str:
        return f"10.{self.index % 256}.0.0/16"


@dataclass
class SimVpc:
    """One VPC of a built fleet."""

    planned: Planned
    world: World

    @property
    def key(self) -> str:
        return self.planned.key

    @property
    def vpc_id(self) -> str:
        return self.world.vpc_id


def plan_fleet(count: int, *, seed: int = 1, zones: tuple[int, int] = (2, 6),
               regions: int = 1, accounts: int = 1) -> list[Planned]:
    """The layout of a fleet of ``count`` VPCs: the same for the same arguments.

    Zone counts are drawn from ``zones`` (inclusive) and capped by the
    region's zones; VPC i goes to region i mod ``regions`` and account
    (i div ``regions``) mod ``accounts``, so every pair has its share.
    """
    if not 1 <= count <= MAX_VPCS:
        raise ValueError(f"a simulated fleet has 1 to {MAX_VPCS} VPCs")
    low, high = zones
    if not 2 <= low <= high <= REGIONS[0].zones:
        raise ValueError(f"zones per VPC: 2 to {REGIONS[0].zones}, the smaller first")
    if not 1 <= regions <= len(REGIONS) or not 1 <= accounts <= len(ACCOUNTS):
        raise ValueError(f"at most {len(REGIONS)} regions and {len(ACCOUNTS)} accounts")
    draw = random.Random(seed)
    width = max(3, len(str(count)))
    planned = []
    for i in range(count):
        region = REGIONS[i % regions]
        account = ACCOUNTS[(i // regions) % accounts]
        planned.append(Planned(f"vpc{i + 1:0{width}d}", i, region, account,
                               min(draw.randint(low, high), region.zones)))
    return planned


def build_fleet(sim: Any, planned: list[Planned],
                progress: Callable[[int, int], None] | None = None) -> list[SimVpc]:
    """Build the VPCs of ``planned`` in the simulated world ``sim`` (a
    SimulatedWorld), with each account's bucket; ``progress(done, total)``
    after each VPC."""
    for account in {p.account for p in planned}:
        sim.aws.add_account(account.number)
        s3 = sim.aws.client("s3", account=account.number)
        s3.create_bucket(Bucket=account.bucket)
    built = []
    for n, p in enumerate(planned, 1):
        ec2 = sim.aws.client("ec2", p.region.name, p.account.number)
        cloudwatch = sim.aws.client("cloudwatch", p.region.name, p.account.number)
        world = build_world(ec2, cloudwatch, zones=p.zones, vpc_cidr=p.cidr, name=p.key,
                            peaks=[ZONE_PEAK] * p.zones, days=TRAFFIC_DAYS)
        built.append(SimVpc(p, world))
        if progress is not None:
            progress(n, len(planned))
    return built


def manifest_data(sim: Any, fleet: list[SimVpc], work_dir: str = "work") -> dict[str, Any]:
    """The fleet manifest of ``fleet``: what the VPCs share, then each VPC's own keys."""
    first = fleet[0].planned
    defaults = {
        "controller_ip": sim.controller_ip,
        "controller_cert_sha256": sim.controller.cert_sha256,
        "controller_user": sim.username,
        "controller_password_env": PASSWORD_ENV,
        "aws_endpoint_url": sim.aws.url,
        "aws_account_name": first.account.name,
        "aws_account_number": first.account.number,
        "region": first.region.name,
        "s3_bucket": first.account.bucket,
        "work_dir": work_dir,
    }
    vpcs = []
    for vpc in fleet:
        p = vpc.planned
        entry: dict[str, Any] = {"name": p.key, "vpc_id": vpc.vpc_id, "spoke_gw_name": p.spoke}
        if p.region != first.region:
            entry["region"] = p.region.name
        if p.account != first.account:
            entry.update(aws_account_name=p.account.name, aws_account_number=p.account.number,
                         s3_bucket=p.account.bucket)
        if p.account.profile:
            entry["aws_profile"] = p.account.profile
        vpcs.append(entry)
    return {"defaults": defaults, "vpcs": vpcs}


def write_fleet(sim: Any, fleet: list[SimVpc], folder: str, *,
                by: str = "morvent sim") -> tuple[str, dict[str, str]]:
    """Write ``fleet.yaml`` and each VPC's configuration (``vpcs/KEY.yaml``)
    into ``folder``, and the credentials of the second account when a VPC
    is in it; (the manifest's path, {key: configuration path})."""
    from morvent.fleet.manifest import load_manifest, write_vpc_configs

    path = os.path.join(folder, FLEET_FILE)
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"{WRITTEN_BY} {by} for {len(fleet)} simulated VPCs.\n")
        yaml.safe_dump(manifest_data(sim, fleet), f, sort_keys=False)
    profiles = {vpc.planned.account for vpc in fleet if vpc.planned.account.profile}
    if profiles:
        write_credentials(sim, profiles, os.path.join(folder, CREDENTIALS_FILE))
    # Each VPC's configuration as the manifest says it: what a fleet runner
    # hands each VPC's command.
    configs = write_vpc_configs(load_manifest(path), os.path.join(folder, VPC_FOLDER),
                                written_by=by)
    return path, configs


def write_credentials(sim: Any, accounts: set[Account], path: str) -> str:
    """An AWS shared credentials file with a profile per account in ``accounts``."""
    lines = [f"# {WRITTEN_BY[2:]} morvent sim: keys of the simulated accounts "
             "(good while the simulator runs)."]
    for account in sorted(accounts, key=lambda a: a.name):
        keys = sim.aws.add_account(account.number)
        lines += ["", f"[{account.profile}]"] + [f"{k} = {v}" for k, v in keys.items()]
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")
    return path
