"""The step model of a replacement and of a revert (morvent.run.plan), checked against what
Manager.execute does on a recording fake world, and the history's step listeners."""

import dataclasses

import pytest

from manager_fakes import CONFIG, World
from morvent.commands import brindlemark, history
from morvent.commands.history import MementoHistory
from morvent.commands.memento import Memento
from morvent.core import backup
from morvent.run import plan
from morvent.core.egress import Egress, Exit
from morvent.cli import output
from morvent.run import progress as progress_module


@pytest.fixture
def make_world(monkeypatch):
    return lambda **options: World(**options).install(monkeypatch)


def settings_of(world):
    return dataclasses.replace(plan.Settings.of(world.ca), cmdcnt=world.Globals.cmdcnt)


def label(step):
    """A step as the fake world labels the memento it leaves."""
    return {plan.TEST_PREP: "test-prep", plan.MOVE_TRAFFIC: "traffic:0", plan.ENABLE_SNAT: "snat",
            plan.RESIZE: "resize", plan.SNAPSHOT: f"snapshot:{step.resources.get('tag')}",
            }.get(step.kind, f"{step.kind.split('-')[0]}:{step.record}").replace("create:",
                                                                                 "spoke:")


CONFIGURATIONS = [
    dict(n=2), dict(n=3), dict(n=3, enable_test=True), dict(n=4, hs_mode=1),
    dict(n=5, hs_mode=1, enable_test=True), dict(n=3, cmdcnt=0), dict(n=3, cmdcnt=2),
    dict(n=3, spoke_gw_size="t3.large"), dict(n=3, resize=False),
]


@pytest.mark.parametrize("options", CONFIGURATIONS, ids=lambda o: ",".join(
    f"{k}={v}" for k, v in o.items()))
@pytest.mark.parametrize("held", [0, 1, 4, 7, 99])
def test_the_plan_is_what_execute_does(make_world, options, held):
    complete = make_world(**options)
    brindlemark.Manager.execute(CONFIG)
    every = complete.labels()
    held = min(held, len(every))

    world = make_world(**options)
    world.resume(every[:held])
    brindlemark.Manager.execute(CONFIG)
    steps = plan.replacement_steps(settings_of(world), world.records, held=held)

    assert [label(s) for s in steps] == every
    assert [s.done for s in steps] == [True] * held + [False] * (len(every) - held)
    assert [(label(s), s.opens_group) for s in steps if not s.done] == world.appended()
    # The spoke gateways are created with the sizes the plan shows.
    sizes = [s.resources["size"] for s in steps if s.kind in (plan.CREATE_PRIMARY, plan.CREATE_HA)
             and not s.done]
    created = [size for _, _, size in world.calls("HsSpokeCmd.create")]
    assert sizes == [options.get("spoke_gw_size") or size for size in created]


@pytest.mark.parametrize("n, held, counts", [
    (3, 0, dict(steps=11, to_do=11, spoke_gateways_to_create=3, nat_gateways_to_delete=3,
                resizes=1)),
    (3, 7, dict(steps=11, to_do=4, spoke_gateways_to_create=2, nat_gateways_to_delete=1,
                resizes=1)),
    (2, 9, dict(steps=9, to_do=0, spoke_gateways_to_create=0, nat_gateways_to_delete=0,
                resizes=0)),
])
def test_counts_are_of_the_steps_still_to_do(n, held, counts):
    records = [World.record_of(i) | {"nat_gw_id": f"nat-{i}"} for i in range(n)]
    found = plan.Plan("execute", "vpc-1", steps=plan.replacement_steps(
        plan.Settings("vpc-1", "spoke"), records, held=held))
    assert {k: found.counts()[k] for k in counts} == counts
    assert found.summary().startswith("nothing to do" if not counts["to_do"] else
                                      f"{counts['spoke_gateways_to_create']} spoke gateway")


@pytest.mark.parametrize("records, said", [
    ([], "no available public NAT gateway was found in vpc-1"),
    ([{"nat_gw_id": "nat-a", "subnet_id": "subnet-a"}], "only 1 NAT gateway was found in vpc-1 "
                                                         "(nat-a in subnet-a)"),
])
def test_fewer_than_two_nat_gateways_is_fatal(records, said):
    assert said in plan.too_few_natgws(records, "vpc-1")


def test_hs_mode_1_names_the_zones_after_the_second_as_address_changes():
    from morvent.lib import nat_routes

    records = [{"nat_gw_id": f"nat-{z}", "eip": f"198.51.100.{i}", "subnet_id": f"subnet-{z}"}
               for i, z in enumerate("abcd")]
    tables = [{"RouteTableId": f"rtb-{z}", "Associations": [{"SubnetId": f"subnet-p{z}"}],
               "Routes": [{"DestinationCidrBlock": "0.0.0.0/0", "NatGatewayId": f"nat-{z}"}]}
              for z in "abcd"]
    zone_of = {f"subnet-{p}{z}": f"z{z}" for z in "abcd" for p in ("", "p")}
    for hs_mode, expected in [(1, [("rtb-c", ".2", ".0"), ("rtb-d", ".3", ".0")]), (2, [])]:
        mapped = [dict(r) for r in records]
        nat_routes.map_routes(tables, mapped, zone_of, hs_mode)
        changes = nat_routes.address_changes(mapped, tables, zone_of, hs_mode)
        assert [(c.route_table_id, c.before[-2:], c.after[-2:]) for c in changes] == expected
        assert all("hs_mode 1" in c.reason for c in changes)


def test_records_made_with_another_configuration_are_pointed_out():
    records = [World.record_of(i) for i in range(2)]
    steps = plan.replacement_steps(plan.Settings("vpc-1", "spoke", enable_test=True), records)
    made_without_test = [{"qualname": "SnapshotRTMemento"}, {"qualname": "NatGwTrafficMemento"}]
    (problem,) = plan.check_records(steps, made_without_test)
    assert problem.startswith("undo record 1 is a SnapshotRTMemento, but step 1 is: Prepare")
    assert plan.check_records(steps[1:], made_without_test) == []


def test_a_revert_is_the_undo_records_newest_first():
    mementos = [
        {"qualname": "NatGwTrafficMemento", "state": {
            "from_nat_gw_id": "nat-a", "to_nat_gw_id": "nat-b", "from_subnet_id": "subnet-a",
            "routes": [["rtb-1", "DestinationCidrBlock", "0.0.0.0/0"]]}},
        {"qualname": "NatGwDeleteMemento", "state": {
            "nat_gw_id": "nat-a", "subnet_id": "subnet-a", "eip": "198.51.100.1", "routes": []}},
        {"qualname": "HsSpokeCreateMemento", "state": {"spoke_info": {
            "gw_name": "spoke", "gw_subnet_id": "subnet-a", "gw_public_ip": "198.51.100.1"}}},
    ]
    found = plan.Plan("revert", "vpc-1", steps=plan.revert_steps(mementos))
    assert [s.title for s in found.steps] == [
        "Delete spoke gateway spoke in subnet-a (198.51.100.1)",
        "Put back NAT gateway nat-a in subnet-a with 198.51.100.1 (under a new id)",
        "Move 1 route(s) back from NAT gateway nat-b to the NAT gateway in subnet-a "
        "(was nat-a)"]
    assert found.counts() | {} == dict(steps=3, done=0, to_do=3, controller_accounts_to_create=0,
                                       nat_gateways_to_put_back=1,
                                       spoke_gateways_to_delete=1, routes_to_move_back=1,
                                       resizes_back=0)


# -- where a run is: the history's listeners -----------------------------------------

class Step(Memento):
    def __init__(self, n):
        self.n = n

    def restore(self):
        pass


@pytest.fixture
def listened(monkeypatch, tmp_path):
    for name, value in [("_path", None), ("_entries", []), ("_undoing", None)]:
        monkeypatch.setattr(MementoHistory, name, value)
    monkeypatch.setattr(backup, "_pending", {})
    monkeypatch.setattr(history, "step_listeners", [])
    MementoHistory.init(str(tmp_path))
    heard = []
    history.step_listeners.append(lambda event, value: heard.append(
        (event, value if event == "step" else value["state"]["n"])))
    return heard


def test_listeners_hear_each_step_that_starts_and_each_undo(listened):
    for n in range(2):
        MementoHistory.append(Step(n))
    positions = MementoHistory.is_memento_exist()
    assert [next(positions) for _ in range(4)] == [True, True, False, False]
    assert MementoHistory.pop().n == 1
    assert listened == [("step", 3), ("step", 4), ("undo", 1)]


def test_a_failing_listener_does_not_change_the_run(listened):
    def broken(event, value):
        raise RuntimeError("display broke")

    history.step_listeners.insert(0, broken)
    MementoHistory.append(Step(0))
    positions = MementoHistory.is_memento_exist()
    assert [next(positions), next(positions)] == [True, False]
    assert MementoHistory.pop().n == 0 and MementoHistory.isEmpty()
    assert listened == [("step", 2), ("undo", 0)]


def test_progress_lines_come_from_the_discovery_the_run_uses(monkeypatch, caplog):
    # The plan shown before the run came from a discovery made for it; the
    # lines follow the run's own records once its first step starts.
    records = [World.record_of(i) | {"nat_gw_id": f"nat-{i}", "eip": f"198.51.100.{i}"}
               for i in range(3)]
    monkeypatch.setattr(history.CommandHistory, "get_discovered_natgws",
                        classmethod(lambda cls: records))
    progress = progress_module.ReplacementProgress(plan.Settings("vpc-1", "spoke"), [])
    caplog.set_level("INFO", logger="morvent.cli")
    progress("step", 9)
    progress("step", 10)
    progress("undo", {"qualname": "NatGwDeleteMemento", "state": {
        "nat_gw_id": "nat-2", "subnet_id": "subnet-2", "eip": "198.51.100.2"}})
    assert caplog.messages == [
        "[9/11] Delete NAT gateway nat-2 in subnet-2 (198.51.100.2)",
        "[10/11] Create an HA spoke gateway of spoke (t3.medium) in subnet-2 (10.0.2.0/24) "
        "with 198.51.100.2",
        "  rolling back: Put back NAT gateway nat-2 in subnet-2 with 198.51.100.2 (under a new "
        "id)"]
    assert progress.started == [9, 10]


def test_the_egress_table_shows_each_zone_before_and_after():
    before = Egress([Exit("rtb-a", "za", "nat-a", "198.51.100.1"),
                     Exit("rtb-x", "-", "none", None)], {"za": ["nat-a"]})
    after = Egress([Exit("rtb-a", "za", "i-1 (spoke)", "198.51.100.1"),
                    Exit("rtb-x", "-", "none", None)], {})
    title, head, rule, row = output.egress_lines(before, after)
    assert head.split() == ["zone", "route", "table", "before", "after", "NAT", "gateways",
                            "before", "after"]
    assert row.split() == ["za", "rtb-a", "nat-a", "198.51.100.1", "i-1", "(spoke)",
                           "198.51.100.1", "nat-a", "-"]
