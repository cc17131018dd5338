"""What makes a saved plan stale, and how each move is named (morvent.run.saved)."""

import copy
import types

import pytest

from morvent.run import saved

HISTORY = {"sha256": "a" * 64, "lineage": "0123456789abcdef" * 2, "serial": 5}
BASIS = {
    "histories": {"command_history.json": HISTORY, "memento_history.json": None},
    "world": {
        "nat_gateways": {"nat-1": {"state": "available", "subnet": "subnet-1",
                                   "connectivity": "public", "addresses": ["198.51.100.1"]}},
        "route_tables": {"rtb-1": {"subnets": ["subnet-2"], "main": False,
                                   "routes": {"0.0.0.0/0": "nat-1", "10.0.0.0/16": "local"}}},
    },
}
STEPS = [{"position": 1, "kind": "snapshot", "title": "Snapshot (s1)", "record": 0,
          "opens_group": True, "done": False, "resources": {}, "routes": []}]


def _plan(steps=STEPS):
    return types.SimpleNamespace(to_dict=lambda: {"steps": steps, "address_changes": [],
                                                  "refusals": [], "fatal": None})


def _doc(account=None):
    return {"basis": copy.deepcopy(BASIS), "account": account, "plan": _plan().to_dict(),
            "path": "p.json", "created": "T", "command": "execute"}


def _moved(change, account=None, steps=STEPS):
    now = copy.deepcopy(BASIS)
    change(now)
    return saved.what_moved(_doc({"name": "acct", "action": "reuse"}), _plan(steps), account,
                            now)


@pytest.mark.parametrize("change, words", [
    (lambda b: b["histories"].update({"memento_history.json": dict(HISTORY, serial=6)}),
     "the backup moved: memento_history.json was made since (serial 6 of lineage 01234567)"),
    (lambda b: b["histories"]["command_history.json"].update(serial=7),
     "command_history.json is at serial 7 of lineage 01234567, the plan saw serial 5"),
    (lambda b: b["histories"]["command_history.json"].update(sha256="b" * 64),
     "(same version, other content)"),
    (lambda b: b["world"]["nat_gateways"]["nat-1"].update(state="deleting"),
     "NAT gateway nat-1: state deleting (was available)"),
    (lambda b: b["world"]["nat_gateways"].pop("nat-1"),
     "NAT gateway nat-1 in subnet-1 is gone (was available)"),
    (lambda b: b["world"]["route_tables"]["rtb-1"]["routes"].update({"0.0.0.0/0": "tgw-1"}),
     "route table rtb-1: 0.0.0.0/0 goes to tgw-1 (went to nat-1)"),
    (lambda b: b["world"]["route_tables"]["rtb-1"]["routes"].pop("0.0.0.0/0"),
     "route table rtb-1: 0.0.0.0/0 was deleted (went to nat-1)"),
    (lambda b: b["world"]["route_tables"]["rtb-1"].update(subnets=[]),
     "route table rtb-1: subnets - (were subnet-2)"),
    (lambda b: b["world"]["route_tables"].update({"rtb-2": {}}), "route table rtb-2 appeared"),
])
def test_every_move_is_named(change, words):
    moved = _moved(change)
    assert len(moved) == 1 and words in moved[0]


def test_the_account_and_the_steps_count_too():
    assert _moved(lambda b: None) == []
    (line,) = _moved(lambda b: None, account={"name": "acct", "action": "create"})
    assert line == ("controller account acct: the plan would reuse it, a run now would "
                    "create it")
    bigger = [dict(STEPS[0], title="Snapshot (s2)")]
    assert _moved(lambda b: None, steps=bigger) == [
        "step 1 is now: Snapshot (s2) (saved: Snapshot (s1))"]
    assert _moved(lambda b: None, steps=[dict(STEPS[0], routes=["rtb-1 0.0.0.0/0"])]) == [
        "step 1 (Snapshot (s1)) touches other routes or resources than the saved one"]
    assert "now has 2 steps" in _moved(lambda b: None, steps=STEPS * 2)[0]


def test_a_stale_plan_is_refused_with_at_most_a_dozen_lines():
    def many(b):
        b["world"]["route_tables"]["rtb-1"]["routes"] = {f"10.{i}.0.0/16": "pcx-1"
                                                         for i in range(1, 30)}
    with pytest.raises(saved.StalePlan) as refused:
        saved.refuse_if_stale(_doc(), _plan(), None, {**copy.deepcopy(BASIS),
                                                      "world": _world(many)})
    lines = str(refused.value).splitlines()
    assert lines[0].startswith("the saved plan is stale: ")
    assert "  and 19 more" in lines and len(lines) == 1 + 12 + 1 + 1


def _world(change):
    now = copy.deepcopy(BASIS)
    change(now)
    return now["world"]
