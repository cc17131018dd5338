"""The IAM policy of examples/iam-policy.json against the AWS requests the tool sends.

`PolicyWatch` sits on a simulated cloud and writes down every request that
carries the tool's user agent (morvent/<version>; the harness's own clients
do not), with the IAM action and resource each one needs.  `problems()` says
which of them the policy would refuse; `unused()` which actions the policy
grants that no request needed.

Every world of the end-to-end, fault and kill tests carries a watch
(`watch(world)` in their fixtures), so a request the policy lacks fails the
test module that made it, on whichever xdist worker it ran.  The other side,
an action granted but never sent, needs every run kind in one process:
test_iam_policy.py drives them and checks both sides.
"""

from __future__ import annotations

import contextlib
import fnmatch
import json
import os
import re
import threading
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from urllib.parse import parse_qs, unquote

from morvent.core.backup import FILE_NAME_ROOM
from morvent.sim.cloud import AwsRequest

POLICY_FILE = Path(__file__).resolve().parent.parent / "examples" / "iam-policy.json"
#: The bucket, prefix and region the example policy is written for.
EXAMPLE = {"bucket": "prod-network-morvent-backups", "prefix": "morvent",
           "region": "eu-central-1"}

#: Actions the tool may send that the policy leaves out on purpose, and why.
#: The one place for them; everything else the tool sends must be granted.
NOT_GRANTED = {
    "ec2:DisassociateAddress":
        "asked only while a deleted NAT gateway's interface still holds its Elastic IP, "
        "which EC2 lets go of by itself; a refusal is taken as 'still being released'. "
        "Granting it would let the role take any address off any instance in the region",
}

_TOOL = re.compile(r"(^|\s)morvent/\d")
#: The credential scope's service -> the IAM action prefix.
_IAM_PREFIX = {"monitoring": "cloudwatch"}
#: S3 operations -> the IAM action each needs, and whether on an object.
_S3_ACTIONS = {
    "GetObject": ("s3:GetObject", True), "HeadObject": ("s3:GetObject", True),
    "PutObject": ("s3:PutObject", True), "DeleteObject": ("s3:DeleteObject", True),
    "DeleteObjects": ("s3:DeleteObject", True),
    "ListObjectsV2": ("s3:ListBucket", False), "ListObjects": ("s3:ListBucket", False),
    "HeadBucket": ("s3:ListBucket", False),
    "ListObjectVersions": ("s3:ListBucketVersions", False),
    "GetBucketVersioning": ("s3:GetBucketVersioning", False),
    "GetBucketLocation": ("s3:GetBucketLocation", False),
}


@dataclass(frozen=True)
class Need:
    """One permission a request needs: an action on a resource, with the
    condition keys the request sets."""

    action: str
    resource: str = "*"
    context: tuple[tuple[str, str], ...] = ()

    def __str__(self) -> str:
        where = "" if self.resource == "*" else f" on {self.resource}"
        context = "".join(f" ({k}={v!r})" for k, v in self.context)
        return f"{self.action}{where}{context}"


def needs(request: AwsRequest, region: str) -> list[Need]:
    """The permissions ``request`` needs (sent to ``region``)."""
    context = (("aws:RequestedRegion", region),)
    if request.service != "s3":
        prefix = _IAM_PREFIX.get(request.service, request.service)
        found = [Need(f"{prefix}:{request.operation}", "*", context)]
        if any(name.startswith("TagSpecification") for name in request.params):
            # Tags given to a resource as it is made need ec2:CreateTags too.
            found.append(Need(f"{prefix}:CreateTags", "*",
                              context + (("ec2:CreateAction", request.operation),)))
        return found
    bucket, _, key = request.path.lstrip("/").partition("/")
    fields = parse_qs(request.query, keep_blank_values=True)
    action, on_object = _S3_ACTIONS.get(request.operation, (f"s3:?{request.operation}", False))
    if "versionId" in fields and on_object:
        action += "Version"  # s3:GetObjectVersion, s3:DeleteObjectVersion
    if not on_object:
        condition = context + (("s3:prefix", fields.get("prefix", [""])[0]),)
        return [Need(action, f"arn:aws:s3:::{bucket}", condition)]
    keys = request.keys if request.operation == "DeleteObjects" else (unquote(key),)
    return [Need(action, f"arn:aws:s3:::{bucket}/{k}", context) for k in keys]


# -- the policy ----------------------------------------------------------------------------

def load_policy(bucket: str | None = None, prefix: str | None = None,
                region: str | None = None) -> dict:
    """examples/iam-policy.json, made for another bucket, prefix and region
    (as a user adapts it: in the S3 resources, the s3:prefix and region conditions)."""
    policy = json.loads(POLICY_FILE.read_text())
    bucket = bucket or EXAMPLE["bucket"]
    prefix = (prefix or EXAMPLE["prefix"]).strip("/")
    old_objects = f"arn:aws:s3:::{EXAMPLE['bucket']}/{EXAMPLE['prefix']}/"

    def resource(arn: str) -> str:
        if arn.startswith(old_objects):
            return f"arn:aws:s3:::{bucket}/{prefix}/" + arn[len(old_objects):]
        return arn.replace(f"arn:aws:s3:::{EXAMPLE['bucket']}", f"arn:aws:s3:::{bucket}")

    def value(key: str, text: str) -> str:
        if key == "s3:prefix" and text.startswith(EXAMPLE["prefix"] + "/"):
            return prefix + text[len(EXAMPLE["prefix"]):]
        if key == "aws:RequestedRegion" and region and text == EXAMPLE["region"]:
            return region
        return text

    for st in statements(policy):
        st["Resource"] = [resource(arn) for arn in _listed(st["Resource"])]
        for tests in st.get("Condition", {}).values():
            for key, wanted in tests.items():
                tests[key] = [value(key, text) for text in _listed(wanted)]
    return policy


def _listed(value: str | list[str]) -> list[str]:
    return [value] if isinstance(value, str) else list(value)


def statements(policy: dict) -> list[dict]:
    found = policy["Statement"]
    return [found] if isinstance(found, dict) else list(found)


def granted(policy: dict) -> set[str]:
    """Every action an Allow statement of ``policy`` names."""
    return {action for st in statements(policy) if st["Effect"] == "Allow"
            for action in _listed(st["Action"])}


def _condition_holds(condition: dict, context: dict[str, str]) -> bool:
    for operator, tests in condition.items():
        for key, wanted in tests.items():
            value = context.get(key)
            if value is None:
                return False
            if operator == "StringEquals":
                ok = value in _listed(wanted)
            elif operator == "StringLike":
                ok = any(fnmatch.fnmatchcase(value, pattern) for pattern in _listed(wanted))
            else:
                raise ValueError(f"the policy check does not know the operator {operator}")
            if not ok:
                return False
    return True


def _applies(st: dict, need: Need) -> bool:
    return (any(fnmatch.fnmatchcase(need.action.lower(), a.lower())
                for a in _listed(st["Action"]))
            and any(fnmatch.fnmatchcase(need.resource, r) for r in _listed(st["Resource"]))
            and _condition_holds(st.get("Condition", {}), dict(need.context)))


def allows(policy: dict, need: Need) -> bool:
    """Whether ``policy`` allows ``need`` (an explicit Deny wins)."""
    applying = [st for st in statements(policy) if _applies(st, need)]
    return (any(st["Effect"] == "Allow" for st in applying)
            and not any(st["Effect"] == "Deny" for st in applying))


# -- watching a simulated cloud ------------------------------------------------------------

class PolicyWatch:
    """Writes down the tool's requests to one simulated cloud and what they need."""

    def __init__(self, region: str) -> None:
        self.region = region
        #: Need -> the test that first sent it (PYTEST_CURRENT_TEST).
        self.seen: dict[Need, str] = {}
        #: Keys of files stored in a backup folder -> the test that stored them.
        self.stored: dict[str, str] = {}
        self._lock = threading.Lock()

    def __call__(self, moment: str, request: AwsRequest) -> None:
        if not _TOOL.search(request.user_agent):
            return
        test = os.environ.get("PYTEST_CURRENT_TEST", "?").rsplit(" ", 1)[0]
        if moment == "before":
            found = needs(request, self.region)
        elif request.operation in ("GetObject", "HeadObject") and \
                (request.status or "").startswith("404"):
            # S3 answers "no such key" (which the tool relies on, for the lock
            # above all) only to a caller that may list the bucket; to others
            # it answers 403, as if the object were there.
            bucket = request.path.lstrip("/").partition("/")[0]
            found = [Need("s3:ListBucket", f"arn:aws:s3:::{bucket}",
                          (("aws:RequestedRegion", self.region),))]
        else:
            return
        with self._lock:
            for need in found:
                self.seen.setdefault(need, test)
            if moment == "before" and request.operation == "PutObject":
                self.stored.setdefault(unquote(request.path.lstrip("/")), test)

    def actions(self) -> set[str]:
        return {need.action for need in self.seen}

    def problems(self, policy: dict) -> list[str]:
        """Every request the policy would refuse, and backup files longer than
        the room the configuration check keeps for them."""
        found = [f"{need} (first sent by {test})" for need, test in self.seen.items()
                 if need.action not in NOT_GRANTED and not allows(policy, need)]
        for key, test in self.stored.items():
            # <bucket>/<prefix>/<account>/<region>/<vpc>/<file>: prefixes in
            # the tests are one folder deep.
            name = "/".join(key.split("/")[5:])
            if len(name) > FILE_NAME_ROOM:
                found.append(f"the backup file {name} is longer than the {FILE_NAME_ROOM} "
                             f"characters the s3_prefix check keeps for it (stored by {test})")
        return sorted(found)

    def unused(self, policy: dict) -> set[str]:
        return granted(policy) - self.actions()


@contextlib.contextmanager
def watch(sim, bucket: str | None = None, prefix: str = "morvent") -> Iterator[PolicyWatch]:
    """Watch the tool's requests to ``sim``'s cloud while the block runs; at its
    end, fail when the policy (for ``bucket`` and ``prefix``, by default the
    simulated runs' own) would refuse one of them."""
    from morvent.sim.demo import BUCKET

    recorder = PolicyWatch(sim.region)
    sim.aws.add_interceptor(recorder)
    try:
        yield recorder
    finally:
        sim.aws.remove_interceptor(recorder)
    policy = load_policy(bucket or BUCKET, prefix, sim.region)
    problems = recorder.problems(policy)
    assert not problems, (f"{POLICY_FILE.name} does not allow what the tool sent:\n  "
                          + "\n  ".join(problems))
