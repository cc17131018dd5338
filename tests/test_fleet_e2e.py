"""Fleets on the simulated world: every VPC through its own processes.

One simulated controller and cloud for the module, with the VPCs of every
test built at once (2 zones each, gateway creations that take a little
time); each test runs `morvent fleet ...` in a process of its own on its
own VPCs, as an operator or a CI job does.
"""

import dataclasses
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import yaml

import morvent
from morvent.run.plan import NOTHING_TO_REVERT
from morvent.sim import SimulatedWorld
from morvent.sim.demo import PASSWORD_ENV
from morvent.sim.fleet import build_fleet, manifest_data, plan_fleet

PACKAGE_ROOT = str(Path(morvent.__file__).resolve().parents[1])
PATIENCE = 240
CHANGES = 4
CREATE_SECONDS = 0.3
#: The VPCs of each test: (prefix, count).
FLEETS = {"fault": 6, "two": 4, "term": 3}


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    folder = tmp_path_factory.mktemp("fleets")
    with SimulatedWorld() as sim:
        planned = []
        for prefix, count in FLEETS.items():
            planned += [dataclasses.replace(p, key=f"{prefix}{p.key}", index=len(planned) + n)
                        for n, p in enumerate(plan_fleet(count, zones=(2, 2)))]
        built = build_fleet(sim, planned)
        for action in ("create_multicloud_primary_gateway", "create_multicloud_ha_gateway"):
            sim.controller.set_latency(CREATE_SECONDS, action)
        env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        env.update(sim.environ(), PYTHONPATH=PACKAGE_ROOT, NO_PROXY="127.0.0.1,localhost",
                   AWS_CONFIG_FILE=str(folder / "none"),
                   AWS_SHARED_CREDENTIALS_FILE=str(folder / "none"))
        env.pop("AWS_ENDPOINT_URL")
        env[PASSWORD_ENV] = sim.password
        manifests = {}
        for prefix in FLEETS:
            vpcs = [v for v in built if v.key.startswith(prefix)]
            path = folder / f"{prefix}.yaml"
            data = manifest_data(sim, vpcs, work_dir=str(folder / "work"))
            path.write_text(yaml.safe_dump(data, sort_keys=False))
            manifests[prefix] = (path, {v.key: v.vpc_id for v in vpcs})
        yield sim, env, manifests, folder


def fleet(env, folder, *argv, wait=True):
    yes = ["--yes"] if argv[0] in ("execute", "revert") else []
    command = [sys.executable, "-m", "morvent", "fleet", *map(str, argv), *yes,
               "--output", "json"]
    process = subprocess.Popen(command, env=env, cwd=folder, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return finish(process) if wait else process


def finish(process):
    out, err = process.communicate(timeout=PATIENCE)
    doc = json.loads(out) if out.strip() else None
    return process.returncode, doc, err


def results(doc):
    return {row["key"]: row["result"] for row in doc["vpcs"]}


def creations(sim, vpc_id):
    return [r for r in sim.requests if r.action == "create_multicloud_primary_gateway"
            and r.fields.get("vpc_id") == vpc_id and r.status == 200]


def s3_objects(sim, prefix):
    s3 = sim.aws.client("s3")
    return [o["Key"] for o in s3.list_objects_v2(
        Bucket="morvent-demo-backups", Prefix=prefix).get("Contents", [])]


def test_a_faulted_vpc_the_tolerance_the_report_and_a_rerun(world):
    sim, env, manifests, folder = world
    path, ids = manifests["fault"]
    sim.inject("enable_snat", vpc_id=ids["faultvpc003"])
    status, doc, err = fleet(env, folder, "execute", "-m", path, "--max-concurrent", "2",
                             "--failure-tolerance", "0", "--controller-slots", "2",
                             "--report", folder / "fault.md")
    assert status == 1, err
    # Strict with a tolerance of 0: one at a time, whatever was asked; nothing
    # starts after 003 fails.
    assert "strict failure tolerance of 0: one VPC at a time (raise --failure-tolerance, " \
        "or use --tolerance-mode soft, to run up to 2 at once)" in err
    assert doc["concurrency"] == {"requested": 2, "effective": 1, "peak": 1}
    assert results(doc) == {"faultvpc001": "done", "faultvpc002": "done",
                            "faultvpc003": "failed", "faultvpc004": "not-started",
                            "faultvpc005": "not-started", "faultvpc006": "not-started"}
    rows = {row["key"]: row for row in doc["vpcs"]}
    assert rows["faultvpc003"]["exit_status"] == 1
    assert "rolled back" in rows["faultvpc003"]["why"]
    assert any("enable_snat" in e for e in rows["faultvpc003"]["errors"])
    assert rows["faultvpc005"]["why"] == "the failure tolerance was passed (1 failed, 0 allowed)"
    assert rows["faultvpc001"]["egress"] == {"kept": 2, "changed": 0, "unknown": 0}
    assert rows["faultvpc001"]["zones"] == 2 and rows["faultvpc001"]["log"].startswith("s3://")
    assert doc["totals"] == {"done": 2, "failed": 1, "not-started": 3}
    ticket = (folder / "fault.md").read_text()
    assert "| faultvpc003 | us-east-1 | failed | 2 | kept |" in ticket
    assert "## What failed" in ticket and "2 done, 1 failed, 3 not-started" in ticket
    assert "at most 1 at once (strict failure tolerance; 2 asked)" in ticket
    stored = [p.split("/", 3)[3] for p in doc["stored"]]
    assert stored and set(stored) <= set(s3_objects(sim, "morvent/fleet-reports/fault/"))

    # The plan of a revert, VPC by VPC as `morvent plan --revert` says it: 001 and
    # 002 to put back, 003 rolled back, 004-006 never migrated.
    status, doc, err = fleet(env, folder, "plan", "-m", path, "--revert", "--max-concurrent",
                             "3", "--detailed-exitcode")
    assert status == CHANGES, err
    assert doc["plan_of"] == "revert"
    assert results(doc) == {"faultvpc001": "ready", "faultvpc002": "ready",
                            **{f"faultvpc00{n}": "nothing-to-do" for n in range(3, 7)}}
    rows = {row["key"]: row for row in doc["vpcs"]}
    assert all(_ready_to_revert(rows[key]) for key in ("faultvpc001", "faultvpc002"))
    single = subprocess.run(
        [sys.executable, "-m", "morvent", "plan", "--revert", "--config",
         os.path.join(doc["run_dir"], "configs", "faultvpc005.yaml"), "--output", "json"],
        env=env, cwd=folder, capture_output=True, text=True, timeout=PATIENCE)
    assert single.returncode == 0, single.stderr
    alone = json.loads(single.stdout)
    assert (rows["faultvpc005"]["why"], rows["faultvpc005"]["exit_status"]) == \
        (NOTHING_TO_REVERT, 0)
    assert rows["faultvpc005"]["counts"] == alone["counts"]
    assert alone["steps"] == [] and alone["changes"] is False

    # Soft keeps the whole concurrency.
    status, doc, err = fleet(env, folder, "execute", "-m", path, "--max-concurrent", "3",
                             "--tolerance-mode", "soft")
    assert status == 0, err
    assert "strict failure tolerance" not in err
    assert doc["concurrency"]["effective"] == 3
    assert results(doc) == {"faultvpc001": "done-earlier", "faultvpc002": "done-earlier",
                            "faultvpc003": "done", "faultvpc004": "done",
                            "faultvpc005": "done", "faultvpc006": "done"}
    # Once each; faultvpc003's first primary was deleted by its rollback.
    assert {key: len(creations(sim, vpc)) for key, vpc in ids.items()} == \
        {key: 2 if key == "faultvpc003" else 1 for key in ids}
    status, doc, err = fleet(env, folder, "status", "-m", path, "--max-concurrent", "3",
                             "--detailed-exitcode")
    assert status == 0, err
    assert {row["stage"] for row in doc["vpcs"]} == {"replaced: every step done"}
    # Every VPC ready to revert, with its counts and the fleet's totals.
    status, doc, err = fleet(env, folder, "plan", "-m", path, "--revert", "--max-concurrent",
                             "6", "--report", folder / "back.md")
    assert status == 0, err
    assert set(results(doc).values()) == {"ready"}
    assert all(_ready_to_revert(row) for row in doc["vpcs"])
    assert doc["plan_totals"]["nat_gateways_to_put_back"] == 12
    assert "12 NAT gateway(s) to put back, 12 spoke gateway(s) to delete" in err
    assert "# morvent fleet plan --revert:" in (folder / "back.md").read_text()


def _ready_to_revert(row):
    """A 2-zone VPC's row of `fleet plan --revert` after its migration."""
    counts = row["counts"]
    return (row["exit_status"] == 0 and row["changes"] and row["zones"] == 2
            and counts["to_do"] == counts["steps"] > 0
            and counts["nat_gateways_to_put_back"] == counts["spoke_gateways_to_delete"] == 2
            and row["why"] == row["summary"])


def test_two_runners_on_one_manifest_and_shards(world):
    sim, env, manifests, folder = world
    path, ids = manifests["two"]
    runners = [fleet(env, folder, "execute", "-m", path, "--max-concurrent", "2",
                     "--tolerance-mode", "soft", "--run-dir", folder / f"runner{n}",
                     wait=False) for n in (1, 2)]
    ended = [finish(p) for p in runners]
    assert [status for status, _, _ in ended] == [0, 0], [err for _, _, err in ended]
    # Each VPC migrated by one of them; the other found it done or running.
    for key, vpc_id in ids.items():
        seen = sorted(results(doc)[key] for _, doc, _ in ended)
        assert seen[0] == "done" and seen[1] in ("done-earlier", "running-elsewhere"), seen
        assert len(creations(sim, vpc_id)) == 1
    # No record lost: the whole fleet goes back from its records.
    status, doc, err = fleet(env, folder, "revert", "-m", path, "--max-concurrent", "4",
                             "--tolerance-mode", "soft")
    assert status == 0 and set(results(doc).values()) == {"done"}, err

    # Shards: disjoint shares covering the fleet, the index from a Job's variable.
    shares = []
    for index in (0, 1):
        status, doc, err = fleet(dict(env, JOB_COMPLETION_INDEX=str(index)), folder, "status",
                                 "-m", path, "--shard-count", "2", "--max-concurrent", "4")
        assert status == 0, err
        assert doc["shard"] == f"{index + 1}/2"
        shares.append(set(results(doc)))
    assert not shares[0] & shares[1] and shares[0] | shares[1] == set(ids)
    status, doc, err = fleet(env, folder, "status", "-m", path, "--shard", "1/2",
                             "--max-concurrent", "4")
    assert set(results(doc)) == shares[0]


def test_sigterm_mid_fleet_then_resume(world):
    sim, env, manifests, folder = world
    path, ids = manifests["term"]
    sim.controller.set_latency(2.0, "create_multicloud_ha_gateway")
    try:
        seen = len(sim.requests)
        runner = fleet(env, folder, "execute", "-m", path, "--max-concurrent", "2",
                       "--tolerance-mode", "soft", wait=False)
        deadline = time.monotonic() + PATIENCE
        # Stopped while an HA gateway is being made: inside a group of steps.
        while not any(r.action == "create_multicloud_ha_gateway" for r in sim.requests[seen:]):
            assert time.monotonic() < deadline and runner.poll() is None
            time.sleep(0.1)
        runner.send_signal(signal.SIGTERM)
        status, doc, err = finish(runner)
    finally:
        sim.controller.set_latency(CREATE_SECONDS, "create_multicloud_ha_gateway")
    assert status == 143, err
    assert doc["stopped_by"] == "SIGTERM"
    found = results(doc)
    assert found["termvpc003"] == "not-started"
    assert {found["termvpc001"], found["termvpc002"]} <= {"terminated", "done"}
    assert "terminated" in found.values()

    status, doc, err = fleet(env, folder, "execute", "-m", path, "--max-concurrent", "3",
                             "--tolerance-mode", "soft")
    assert status == 0, err
    assert set(results(doc).values()) <= {"done", "done-earlier"}
    assert all(len(creations(sim, vpc)) == 1 for vpc in ids.values())
