"""The fleet manifest: read, checked as one, and each VPC's configuration written out."""

import dataclasses
from pathlib import Path

import botocore.exceptions
import pytest

from morvent.cli import main
from morvent.core.config import ConfigError, load_config
from morvent.fleet.aws_check import check_in_aws
from morvent.fleet.manifest import load_manifest, write_vpc_config, write_vpc_configs

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "fleet.yaml"

DEFAULTS = """\
defaults:
  controller_ip: 10.0.0.1
  controller_user: admin
  controller_password_env: FLEET_PW
  aws_account_name: acct
  region: eu-central-1
  s3_bucket: fleet-backups
"""


def vpc(n, spoke=None, **keys):
    """A VPC entry of the manifest, its keys one per line."""
    lines = [f"  - vpc_id: vpc-{n:017x}", f"    spoke_gw_name: {spoke or f'egress-{n}'}"]
    lines += [f"    {key}: {value}" for key, value in keys.items()]
    return "\n".join(lines) + "\n"


def manifest(tmp_path, *entries, defaults=DEFAULTS, files=None):
    for name, text in (files or {}).items():
        (tmp_path / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / name).write_text(text)
    path = tmp_path / "fleet.yaml"
    path.write_text(defaults + "vpcs:\n" + "".join(entries))
    return path


def problems(path):
    with pytest.raises(ConfigError) as info:
        load_manifest(path)
    return str(info.value).splitlines()


INCLUDED = """\
controller_ip: 10.0.0.1
controller_user: admin
controller_password_env: FLEET_PW
aws_account_name: old-acct
region: eu-west-1
s3_bucket: old-backups
vpc_id: vpc-00000000000000009
spoke_gw_name: legacy-egress
"""

# entries, other files, [(line, key, words)] every problem expected
CASES = {
    "a problem of the defaults once, though two VPCs use them": (
        [vpc(1), vpc(2)], {}, DEFAULTS + "  regon: x\n", [(8, "regon", "did you mean 'region'")]),
    "the same VPC twice, once in another region": (
        [vpc(1), vpc(1, "other", region="us-east-1")], {}, DEFAULTS,
        [(11, "vpc_id", "is also the VPC at fleet.yaml:9 (there in eu-central-1, here in "
                        "us-east-1)")]),
    "a name twice": (
        [vpc(1, name="a"), vpc(2, name="a")], {}, DEFAULTS,
        [(14, "name", "'a' is also the name of the VPC at fleet.yaml:9")]),
    "a name that is another VPC's id": (
        [vpc(1), vpc(2, name="vpc-00000000000000001")], {}, DEFAULTS,
        [(13, "name", "is the VPC id of the VPC at fleet.yaml:9")]),
    "one spoke name for two VPCs on one controller, the port written out": (
        [vpc(1, "egress"), vpc(2, "egress", controller_ip="10.0.0.1:443")], {}, DEFAULTS,
        [(12, "spoke_gw_name", "also the spoke gateway name of the VPC at fleet.yaml:9")]),
    "one spoke name on two controllers": (
        [vpc(1, "egress"), vpc(2, "egress", controller_ip="10.0.0.2")], {}, DEFAULTS, []),
    "a spoke name that starts with another": (
        [vpc(1, "egress-b", name="b"), vpc(2, "egress", name="a")], {}, DEFAULTS,
        [(13, "spoke_gw_name", "'egress-b', the spoke_gw_name of b (fleet.yaml:9), starts "
                               "with 'egress'")]),
    "a spoke name that is another's HA gateway name": (
        [vpc(1, "egress"), vpc(2, "egress-hagw-2")], {}, DEFAULTS,
        [(12, "spoke_gw_name", "is the name the controller gives an HA gateway of 'egress'")]),
    "a spoke name whose HA gateway names are too long": (
        [vpc(1, "x" * 44)], {}, DEFAULTS,
        [(10, "spoke_gw_name", "would have up to 51, and a gateway name has at most 50")]),
    "an entry that is not a mapping, one without its keys": (
        ["  - vpc-00000000000000001\n", "  - name: lonely\n"], {}, DEFAULTS,
        [(9, None, "expected a VPC"), (10, "vpc_id", "required key is missing"),
         (10, "spoke_gw_name", "required key is missing")]),
    "a password, a bad name, a bad value": (
        [vpc(1, name="'no good'", password="hunter2", hs_mode=7)], {}, DEFAULTS,
        [(11, "name", "not a usable name"), (12, "password", "must not be in the "),
         (13, "hs_mode", "is not a mode")]),
    "an include of a missing file": (
        ["  - include: nothere.yaml\n"], {}, DEFAULTS,
        [(9, "include", "nothere.yaml': no such file")]),
    "an included file's problems at its own lines, and its VPC in the fleet's checks": (
        ["  - include: sub/vpc.yaml\n", vpc(9, "legacy")], {"sub/vpc.yaml": INCLUDED + "hs_mod: 1\n"},
        DEFAULTS, [("sub/vpc.yaml", 9, "hs_mod", "did you mean 'hs_mode'"),
                   (10, "vpc_id", "is also the VPC at fleet.yaml:9")]),
    "no VPC, and no defaults needed to say so": (
        [], {}, "", [(1, "vpcs", "lists no VPC")]),
}


@pytest.mark.parametrize("entries, files, defaults, expected", CASES.values(), ids=CASES)
def test_every_problem_at_once_at_its_file_and_line(tmp_path, entries, files, defaults,
                                                    expected):
    path = manifest(tmp_path, *entries, defaults=defaults, files=files)
    if not expected:
        assert len(load_manifest(path)) == len(entries)
        return
    if entries == []:
        path.write_text("vpcs: []\n")
    found = problems(path)
    assert len(found) == len(expected), "\n".join(found)
    for line, want in zip(found, expected):
        *place, key, words = want
        where = f"{tmp_path / place[0]}:{place[1]}" if len(place) == 2 else f"{path}:{place[0]}"
        assert line.startswith(f"{where}: " + (f"{key}: " if key else "")), line
        assert words.replace("fleet.yaml:", f"{path}:") in line, line


def test_layers_keys_paths_and_origins(tmp_path, monkeypatch):
    monkeypatch.setenv("FLEET_PW", "secret-pw")
    path = manifest(tmp_path, vpc(1, name="a", s3_prefix="team-a", work_dir="state/a"),
                    vpc(2, region="us-east-1"),
                    "  - include: sub/vpc.yaml\n    aws_profile: legacy\n",
                    defaults=DEFAULTS + "  s3_prefix: fleet\n  work_dir: state\n",
                    files={"sub/vpc.yaml": INCLUDED + "work_dir: here\n"})
    fleet = load_manifest(path)
    a, second, legacy = fleet
    assert fleet.keys() == ["a", "vpc-00000000000000002", "vpc-00000000000000009"]
    assert fleet.regions == ["eu-central-1", "us-east-1", "eu-west-1"]
    # The entry's keys over the defaults, paths from the file each is written in.
    assert (a.config.s3_prefix, a.config.work_dir) == ("team-a", str(tmp_path / "state/a"))
    assert (second.config.s3_prefix, second.region) == ("fleet", "us-east-1")
    assert second.config.work_dir == str(tmp_path / "state")
    assert (str(a.where), str(a.at("region")), str(a.at("name"))) == \
        (f"{path}:11", f"{path}:6", f"{path}:13")
    # An included file as it reads on its own: no default prefix moves its
    # backups; the key beside include: on top.
    assert (legacy.config.s3_prefix, legacy.config.aws_account_name) == ("morvent", "old-acct")
    assert legacy.config.aws_profile == "legacy"
    assert legacy.config.work_dir == str(tmp_path / "sub" / "here")
    assert legacy.include == str(tmp_path / "sub" / "vpc.yaml")
    assert str(legacy.at("vpc_id")) == f"{tmp_path / 'sub' / 'vpc.yaml'}:7"

    # Each VPC's configuration written out reads back the same, without the password.
    written = write_vpc_configs(fleet, tmp_path / "out")
    for v in fleet:
        text = Path(written[v.key]).read_text()
        assert "secret-pw" not in text and "$FLEET_PW" in text
        assert dataclasses.replace(load_config(written[v.key]), source=v.config.source) == \
            v.config


def test_the_example_manifest_reads(tmp_path):
    fleet = load_manifest(EXAMPLE)
    assert len(fleet) == 3 and len(fleet.regions) == 2
    path = write_vpc_config(fleet["shared-us"], tmp_path / "one.yaml")
    assert load_config(path).aws_profile == "shared-services"


class FakeEc2:
    """EC2 of one region: the VPCs it holds, or the error every look-up gets."""

    def __init__(self, vpcs=(), error=None):
        self.vpcs, self.error = set(vpcs), error

    def describe_vpcs(self, VpcIds):
        if self.error:
            raise botocore.exceptions.ClientError({"Error": {"Code": self.error,
                                                             "Message": "no"}}, "DescribeVpcs")
        if VpcIds[0] not in self.vpcs:
            raise botocore.exceptions.ClientError(
                {"Error": {"Code": "InvalidVpcID.NotFound", "Message": "gone"}}, "DescribeVpcs")
        return {"Vpcs": [{"VpcId": VpcIds[0]}]}


def test_each_vpc_looked_up_in_its_region(tmp_path):
    one, two, three, four = (f"vpc-{n:017x}" for n in (1, 2, 3, 4))
    clouds = {"eu-central-1": FakeEc2([one, three]), "us-east-1": FakeEc2([]),
              "ap-south-1": FakeEc2(error="UnauthorizedOperation")}
    fleet = load_manifest(manifest(tmp_path, vpc(1), vpc(2), vpc(3, region="us-east-1"),
                                   vpc(4, region="ap-south-1")))
    found, unchecked = check_in_aws(fleet, client=lambda config: clouds[config.region])
    assert [str(p) for p in found] == [
        f"{fleet[two].at('region')}: region: {two} is not in eu-central-1, nor in us-east-1 "
        "(looked up): a VPC id of another region or account, or a VPC that is gone",
        f"{fleet[three].at('region')}: region: {three} is not in us-east-1 but in "
        "eu-central-1 (looked up)"]
    assert [str(p) for p in unchecked] == [
        f"{fleet[four].at('region')}: region: could not look {four} up in ap-south-1: "
        "UnauthorizedOperation: no"]


def test_the_check_command(tmp_path, capsys):
    good = manifest(tmp_path, vpc(1), vpc(2))
    assert main(["fleet", "check", "--manifest", str(good), "--write", str(tmp_path / "c")]) == 0
    out = capsys.readouterr().out
    assert "2 VPC(s) in 1 region(s), 1 account(s), 1 controller(s): checked" in out
    assert sorted(p.name for p in (tmp_path / "c").iterdir()) == \
        ["vpc-00000000000000001.yaml", "vpc-00000000000000002.yaml"]
    bad = manifest(tmp_path, vpc(1), vpc(1))
    assert main(["fleet", "check", "-m", str(bad)]) == 2
    err = capsys.readouterr().err.splitlines()
    assert err == [f"morvent: error: {bad}:11: vpc_id: vpc-00000000000000001 is also the VPC "
                   f"at {bad}:9; list each VPC once"]
