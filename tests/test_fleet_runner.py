"""The fleet runner's parts that need no simulated world: shares, shards, the
scheduler with fake children, what a VPC's status and run documents mean,
the report's exit status, the controller slots."""

import os
import signal
import threading
import time
from dataclasses import dataclass

import pytest

from morvent.core.exceptions import UsageError
from morvent.fleet import child, report
from morvent.fleet.choice import Amount, Shard, interleave, region_groups
from morvent.fleet.scheduler import NOT_STARTED, Outcome, Rules, Scheduler
from morvent.lib import controller_slots


@pytest.mark.parametrize("text, total, least, count", [
    ("3", 10, 0, 3), ("25%", 10, 0, 2), ("25%", 3, 0, 0), ("25%", 3, 1, 1),
    ("100%", 7, 0, 7), (" 0 ", 5, 0, 0),
])
def test_amounts(text, total, least, count):
    assert Amount.parse(text, "--x").of(total, least=least) == count


@pytest.mark.parametrize("text, words", [
    ("three", "a number of VPCs"), ("101%", "at most 100%"), ("-1", "a number"),
    ("1.5", "a number"),
])
def test_bad_amounts(text, words):
    with pytest.raises(UsageError, match=words):
        Amount.parse(text, "--max-concurrent", least=1)


def test_shards_divide_any_fleet_by_key_alone():
    keys = [f"vpc{n:03d}" for n in range(1, 201)]
    shares = [Shard.parse(f"{i}/3") for i in (1, 2, 3)]
    owners = {key: [s for s in shares if s.holds(key)] for key in keys}
    assert all(len(found) == 1 for found in owners.values())
    # Not a function of the order or of the other VPCs: a key keeps its share.
    assert [k for k in reversed(keys) if shares[0].holds(k)] == \
        [k for k in keys if shares[0].holds(k)][::-1]
    sizes = sorted(sum(s.holds(k) for k in keys) for s in shares)
    assert sizes[0] > 40  # roughly even


@pytest.mark.parametrize("environ, shard", [
    ({"JOB_COMPLETION_INDEX": "0"}, "1/3"),
    ({"AWS_BATCH_JOB_ARRAY_INDEX": "2"}, "3/3"),
    ({"JOB_COMPLETION_INDEX": "1", "AWS_BATCH_JOB_ARRAY_INDEX": "0"}, "2/3"),
    ({"JOB_COMPLETION_INDEX": "3"}, "not an index from 0 to 2"),
    ({}, "neither is set"),
])
def test_shard_from_the_engines_index(environ, shard):
    if "/" in shard:
        assert str(Shard.from_environment(3, environ)) == shard
    else:
        with pytest.raises(UsageError, match=shard):
            Shard.from_environment(3, environ)


@pytest.mark.parametrize("text", ["0/3", "4/3", "1-3", "1/0"])
def test_bad_shards(text):
    with pytest.raises(UsageError, match="--shard"):
        Shard.parse(text)


def test_region_order_and_turns():
    items = [("a", "eu"), ("b", "us"), ("c", "eu"), ("d", "ap"), ("e", "us")]
    groups = region_groups(items, lambda i: i[1], ["us"])
    assert [[k for k, _ in g] for g in groups] == [["b", "e"], ["a", "c"], ["d"]]
    assert [k for k, _ in interleave(groups)] == ["b", "a", "d", "e", "c"]


# -- the scheduler with fake children ---------------------------------------------------

@dataclass(frozen=True)
class Task:
    key: str
    region: str = "r1"


class FakeChild:
    """Ends after `ticks` polls with `result`; records signals."""

    def __init__(self, world, task, result, ticks):
        self.world, self.task, self.result, self.ticks = world, task, result, ticks
        self.signals = []

    def poll(self):
        self.ticks -= 1
        if self.ticks > 0 and not self.signals:
            return None
        self.world.running.discard(self.task.key)
        result = "terminated" if self.signals else self.result
        self.world.failed += result == "failed"
        return Outcome(self.task.key, result, 0 if result == "done" else 1)

    def signal(self, signum):
        self.signals.append(signum)


class FakeWorld:
    def __init__(self, results=None, ticks=3):
        self.results = results or {}
        self.ticks = ticks
        self.running = set()
        self.started = []
        #: Each start as "key:VPCs running with it"; and the failures before it.
        self.starts = []
        self.failed_before = []
        self.failed = 0
        self.most = 0
        self.children = {}

    def launch(self, task):
        self.running.add(task.key)
        self.started.append(task.key)
        self.starts.append(f"{task.key}:{len(self.running)}")
        self.failed_before.append(self.failed)
        self.most = max(self.most, len(self.running))
        self.children[task.key] = FakeChild(self, task, self.results.get(task.key, "done"),
                                            self.ticks)
        return self.children[task.key]


def _run(world, groups, **rules):
    scheduler = Scheduler(world.launch, Rules(**rules), poll_interval=0)
    return {o.key: o for o in scheduler.run(groups)}, scheduler


TASKS = [Task(f"v{n}", "r1" if n <= 3 else "r2") for n in range(1, 7)]


@pytest.mark.parametrize("rules, failing, results", [
    # Strict: v2 fails while v1 runs beside it; nothing starts after the tolerance.
    ({"max_concurrent": 2}, {"v2"}, "done failed not-started not-started not-started "
                                    "not-started"),
    ({"max_concurrent": 2, "tolerance": 1}, {"v2"}, "done failed done done done done"),
    ({"max_concurrent": 1, "tolerance": 1}, {"v2", "v4"}, "done failed done failed "
                                                          "not-started not-started"),
    # Soft: counted per region; r1 stops, r2 goes on.
    ({"max_concurrent": 1, "soft": True}, {"v1"}, "failed not-started not-started done "
                                                  "done done"),
    # The canary: the first two alone; one fails, the rest never start.
    ({"max_concurrent": 4, "tolerance": 5, "canary": 2}, {"v2"},
     "done failed not-started not-started not-started not-started"),
    ({"max_concurrent": 4, "canary": 2}, set(), "done done done done done done"),
])
def test_tolerance_and_canary(rules, failing, results):
    world = FakeWorld({k: "failed" for k in failing})
    outcomes, _ = _run(world, [TASKS], **rules)
    assert " ".join(outcomes[t.key].result for t in TASKS) == results
    assert world.most <= rules["max_concurrent"]
    why = [o.why for o in outcomes.values() if o.result == NOT_STARTED]
    if rules.get("canary") and failing:
        assert all("canary" in w and "v2" in w for w in why)
    elif why:
        assert all("tolerance" in w for w in why)


@pytest.mark.parametrize("rules, failing, starts, results", [
    # Strict: at most tolerance + 1 - failed at once.
    ({"max_concurrent": 4}, set(), "v1:1 v2:1 v3:1 v4:1 v5:1 v6:1", "d d d d d d"),
    ({"max_concurrent": 4, "tolerance": 2}, set(), "v1:1 v2:2 v3:3 v4:1 v5:2 v6:3",
     "d d d d d d"),
    ({"max_concurrent": 2, "tolerance": 5}, set(), "v1:1 v2:2 v3:1 v4:2 v5:1 v6:2",
     "d d d d d d"),
    # Two fail at once: one more may fail, so one at a time.
    ({"max_concurrent": 4, "tolerance": 2}, {"v1", "v2"}, "v1:1 v2:2 v3:3 v4:1 v5:1 v6:1",
     "F F d d d d"),
    # Every running one fails: the tolerance passed by one, no more.
    ({"max_concurrent": 4, "tolerance": 1}, {"v1", "v2", "v3"}, "v1:1 v2:2",
     "F F - - - -"),
    ({"max_concurrent": 3, "tolerance": 1}, {"v3", "v4"}, "v1:1 v2:2 v3:1 v4:2",
     "d d F F - -"),
    # Soft keeps the whole concurrency; r1 (v1-v3) stops, r2 goes on.
    ({"max_concurrent": 4, "soft": True}, set(), "v1:1 v2:2 v3:3 v4:4 v5:1 v6:2",
     "d d d d d d"),
    ({"max_concurrent": 4, "soft": True}, {"v1"}, "v1:1 v2:2 v3:3 v4:4 v5:1 v6:2",
     "F d d d d d"),
    # The canary under the lowered concurrency: alone first, then the rest.
    ({"max_concurrent": 4, "tolerance": 1, "canary": 2}, set(),
     "v1:1 v2:2 v3:1 v4:2 v5:1 v6:2", "d d d d d d"),
    ({"max_concurrent": 4, "canary": 3}, set(), "v1:1 v2:1 v3:1 v4:1 v5:1 v6:1",
     "d d d d d d"),
    ({"max_concurrent": 4, "tolerance": 1, "canary": 2}, {"v1"}, "v1:1 v2:2",
     "F d - - - -"),
    # Sequential regions under the lowered concurrency.
    ({"max_concurrent": 3, "tolerance": 1, "sequential": True}, set(),
     "v1:1 v2:2 v3:1 v4:1 v5:2 v6:1", "d d d d d d"),
    ({"max_concurrent": 3, "tolerance": 1, "sequential": True}, {"v1"},
     "v1:1 v2:2 v3:1 v4:1 v5:1 v6:1", "F d d d d d"),
])
def test_strict_tolerance_lowers_the_concurrency(rules, failing, starts, results):
    world = FakeWorld({k: "failed" for k in failing})
    groups = [TASKS[:3], TASKS[3:]] if rules.get("sequential") else [TASKS]
    outcomes, scheduler = _run(world, groups, **rules)
    assert " ".join(world.starts) == starts
    short = {"done": "d", "failed": "F", NOT_STARTED: "-"}
    assert " ".join(short[outcomes[t.key].result] for t in TASKS) == results
    assert scheduler.peak == world.most == max(int(s.split(":")[1]) for s in world.starts)
    if not rules.get("soft"):
        allowed = rules.get("tolerance", 0)
        # Running (with the one started) never more than the failures left + 1.
        assert all(int(s.split(":")[1]) <= allowed + 1 - f
                   for s, f in zip(world.starts, world.failed_before))
        assert world.failed <= allowed + 1


@pytest.mark.parametrize("command, argv, line", [
    ("execute", {"max_concurrent": Amount(16)},
     "strict failure tolerance of 0: one VPC at a time (raise --failure-tolerance, or use "
     "--tolerance-mode soft, to run up to 16 at once)"),
    ("revert", {"max_concurrent": Amount(100, True), "failure_tolerance": Amount(10, True)},
     "strict failure tolerance of 10% (2 VPCs): at most 3 VPCs at once, one fewer for each "
     "that fails (raise --failure-tolerance, or use --tolerance-mode soft, to run up to 20 "
     "at once)"),
    ("execute", {"max_concurrent": Amount(3), "failure_tolerance": Amount(2)}, None),
    ("execute", {"max_concurrent": Amount(16), "soft": True}, None),
    ("plan", {"max_concurrent": Amount(16)}, None),
])
def test_what_the_operator_is_told_of_a_lowered_concurrency(command, argv, line):
    from morvent.fleet.runner import Options, lowered, rules

    vpcs = [FakeVpc(f"v{n}") for n in range(20)]
    options = Options(command, **argv)
    assert lowered(rules(vpcs, options), options) == line


@dataclass(frozen=True)
class FakeVpc:
    key: str
    region: str = "r1"


def test_concurrency_canary_and_sequential_regions():
    world = FakeWorld()
    order = []
    scheduler = Scheduler(world.launch, Rules(max_concurrent=3, tolerance=2, canary=1,
                                              sequential=True),
                          poll_interval=0, started=lambda t: order.append(
                              (t.key, set(world.running))))
    outcomes = scheduler.run([TASKS[:3], TASKS[3:]])
    assert all(o.result == "done" for o in outcomes)
    running_when = dict(order)
    assert running_when["v2"] == set()            # the canary ended first
    assert running_when["v4"] == set()            # r1 ended before r2 began
    assert world.most == 3


def test_a_stop_passes_the_signal_on_and_starts_nothing_more():
    world = FakeWorld(ticks=10**9)
    scheduler = Scheduler(world.launch, Rules(max_concurrent=2, tolerance=1),
                          poll_interval=0.01)
    threading.Timer(0.1, scheduler.stop, (signal.SIGTERM,)).start()
    outcomes = {o.key: o for o in scheduler.run([TASKS])}
    assert [world.children[k].signals for k in world.started] == [[signal.SIGTERM]] * 2
    assert [outcomes[t.key].result for t in TASKS] == ["terminated"] * 2 + [NOT_STARTED] * 4
    assert outcomes["v3"].why == "stopped by SIGTERM"
    assert scheduler.stopped_by == signal.SIGTERM


# -- what the documents of a VPC's commands mean ----------------------------------------

LIVE = {"id": "L1", "alive": True, "user": "ci", "host": "h1", "pid": 7}


@pytest.mark.parametrize("command, status, doc, result", [
    ("execute", 0, {"stage": "replaced: every step done", "steps_total": 9}, "done-earlier"),
    ("execute", 0, {"stage": "in progress: 3 of 9 steps done"}, None),
    ("execute", 0, {"stage": "not started"}, None),
    ("execute", 0, {"stage": "in progress", "lock": LIVE}, "running-elsewhere"),
    ("execute", 0, {"stage": "x", "lock": dict(LIVE, alive=False, **{"break": "--break-lock L1"})},
     "locked"),
    ("execute", 2, None, "usage-error"),
    ("execute", 1, None, "failed"),
    ("revert", 0, {"stage": "discovered, no step done", "undo_records": 0, "steps_done": 0},
     "done-earlier"),
    ("revert", 0, {"stage": "replaced: every step done", "undo_records": 12}, None),
])
def test_what_status_says_before_a_run(command, status, doc, result):
    decided = child.before_run(command, status, doc)
    assert (decided and decided[0]) == result
    if result == "locked":
        assert "--break-lock L1" in decided[1]


def _plan_doc(command, steps, changes, blockers=()):
    counts = {"steps": steps, "to_do": steps if changes else 0}
    return {"command": command, "counts": counts, "steps": [{}] * steps, "changes": changes,
            "ready": not blockers, "summary": f"{steps} to do" if changes else "nothing to do",
            "blockers": [{"error": b} for b in blockers], "records": [{}, {}]}


@pytest.mark.parametrize("status, doc, result, why", [
    (0, _plan_doc("revert", 9, True), "ready", "9 to do"),
    (0, _plan_doc("revert", 0, False), "nothing-to-do",
     "no undo record in the backup: nothing to revert"),
    (0, _plan_doc("execute", 9, False), "nothing-to-do", "nothing to do"),
    (1, _plan_doc("revert", 7, True, ["revert stopped before changing anything"]), "blocked",
     "revert stopped before changing anything"),
    (3, _plan_doc("revert", 9, True, ["vpc-1 is locked by bob"]), "running-elsewhere",
     "vpc-1 is locked by bob"),
    (2, None, "usage-error", "the config"),
])
def test_what_a_vpcs_plan_says(status, doc, result, why):
    found, said, details = child.plan_outcome(status, doc, "the config")
    assert (found, said) == (result, why)
    assert details.get("zones", 0) == (2 if doc else 0)


def test_the_report_of_a_plan_of_revert():
    rows = [{"key": "a", "region": "r1", "result": "ready", "exit_status": 0, "why": "w",
             "counts": {"to_do": 9, "nat_gateways_to_put_back": 2,
                        "spoke_gateways_to_delete": 2, "routes_to_move_back": 3}},
            {"key": "b", "region": "r1", "result": "nothing-to-do", "exit_status": 0,
             "why": "x", "counts": {"to_do": 0}}]
    doc = {"command": "plan", "plan_of": "revert", "vpcs": rows,
           "totals": report.totals(rows), "plan_totals": report.plan_totals(rows)}
    head, table = report.columns(doc)
    assert head[4:8] == ["steps to do", "puts back", "deletes", "routes back"]
    assert [r[4:8] for r in table] == [[9, 2, 2, 3], [0, "-", "-", "-"]]
    assert report.totals_line(doc) == ("2 VPC(s): 1 nothing-to-do, 1 ready; 9 step(s) to do, "
                                       "2 NAT gateway(s) to put back, 2 spoke gateway(s) to "
                                       "delete")


def test_egress_kept_changed_or_not_known():
    def table(before, after):
        return {"before": before and {"egress_address": before},
                "after": after and {"egress_address": after}}
    doc = {"zones": [{"route_tables": [table("1.1.1.1", "1.1.1.1"), table("2.2.2.2", "3.3.3.3")]},
                     {"route_tables": [table("4.4.4.4", None)]}]}
    assert child.egress(doc) == {"kept": 1, "changed": 1, "unknown": 1}


@pytest.mark.parametrize("command, results, stopped, detailed, status", [
    ("execute", ["done", "done-earlier", "running-elsewhere"], None, False, 0),
    ("execute", ["done", "not-started"], None, False, 1),
    ("execute", ["done", "failed"], signal.SIGTERM, False, 143),
    ("plan", ["ready", "ready"], None, True, 4),
    ("plan", ["ready", "blocked"], None, True, 1),
    ("plan", ["nothing-to-do", "nothing-to-do"], None, False, 0),
    ("status", ["checked"], None, True, 5),
])
def test_the_fleets_exit_status(command, results, stopped, detailed, status):
    rows = [{"result": r, "changes": command == "plan", "attention": ["lock"]} for r in results]
    assert report.exit_status(command, rows, stopped, detailed) == status


def test_controller_slots_cap_state_changing_requests(tmp_path, monkeypatch):
    monkeypatch.setenv(controller_slots.VARIABLE, controller_slots.prepare(str(tmp_path), 2))
    monkeypatch.setattr(controller_slots, "RETRY", 0.005)
    inside, most, lock = [0], [0], threading.Lock()

    def request(action):
        with controller_slots.slot("POST", action):
            with lock:
                inside[0] += 1
                most[0] = max(most[0], inside[0])
            time.sleep(0.03)
            with lock:
                inside[0] -= 1

    # flock is per open file: threads of one process contend like processes.
    threads = [threading.Thread(target=request, args=("enable_snat",)) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert most[0] == 2
    # Both slots held: a look-up or a login goes through, a change waits.
    with controller_slots.slot("POST", "create_multicloud_primary_gateway"), \
            controller_slots.slot("POST", "enable_snat"):
        with controller_slots.slot("POST", "login"), controller_slots.slot("GET", "delete_x"):
            pass
        waiting = threading.Thread(target=request, args=("delete_gateway",))
        waiting.start()
        waiting.join(0.1)
        assert waiting.is_alive()
    waiting.join(5)
    assert not waiting.is_alive()
    monkeypatch.delenv(controller_slots.VARIABLE)
    assert controller_slots.configured() is None


@pytest.mark.parametrize("argv, words", [
    (["execute", "--max-concurrent", "0"], "--max-concurrent '0': at least 1"),
    (["execute", "--failure-tolerance", "lots"], "--failure-tolerance 'lots'"),
    (["plan", "--shard-count", "2"], "neither is set"),
    (["status", "--shard", "3/2"], "I is 1 to N"),
    (["execute", "--region-order", "mars-1"], "no VPC of the manifest is in: mars-1"),
    (["revert", "--canary", "-1"], "--canary: 0 or more"),
])
def test_fleet_options_refused_before_anything_runs(argv, words, tmp_path, monkeypatch, capsys):
    from morvent import cli

    monkeypatch.delenv("JOB_COMPLETION_INDEX", raising=False)
    monkeypatch.delenv("AWS_BATCH_JOB_ARRAY_INDEX", raising=False)
    monkeypatch.chdir(tmp_path)
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "fleet.yaml")
    status = cli.main(["fleet", *argv[:1], "-m", example, *argv[1:]])
    err = capsys.readouterr().err
    assert status == 2 and words in err and "Traceback" not in err
    assert not os.path.exists(tmp_path / "morvent-fleet")


def test_a_fleet_run_without_a_terminal_needs_yes(tmp_path, monkeypatch, capsys):
    from morvent import cli

    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr("sys.stdin", open(os.devnull))
    example = os.path.join(os.path.dirname(__file__), "..", "examples", "fleet.yaml")
    assert cli.main(["fleet", "execute", "-m", example]) == 2
    assert "no terminal to ask on: add --yes" in capsys.readouterr().err
    assert not os.path.exists(tmp_path / "morvent-fleet")
