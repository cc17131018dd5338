"""Manager.execute / revert / cleanup against a recording fake world."""

import builtins
import gc
import logging
import sys
import tracemalloc

import pytest

from manager_fakes import (CONFIG, FOLDER, GROUP_OPENERS, LOGGER, World, newest_group,
                           sequence)
from morvent.commands import brindlemark
from morvent.core.exceptions import BackupUnavailable, CorvaneRollbackException

Manager = brindlemark.Manager
SEQ = sequence(3)  # the steps of a fresh run with three NAT gateways

# The event whose call produces each step's memento, and its occurrence.
PRODUCER = {
    "test-prep": ("TestCmd.execute", 1),
    "snapshot:s1": ("SnapshotRTCmd.execute", 1),
    "traffic:0": ("NatGwTrafficCmd.moveTraffic", 1),
    "delete:0": ("NatGwCmd.delete", 1),
    "spoke:0": ("HsSpokeCmd.create", 1),
    "snapshot:s2": ("SnapshotRTCmd.execute", 2),
    "snat": ("SnatCmd.enable", 1),
    "delete:1": ("NatGwCmd.delete", 2),
    "spoke:1": ("HsSpokeCmd.create", 2),
    "delete:2": ("NatGwCmd.delete", 3),
    "spoke:2": ("HsSpokeCmd.create", 3),
    "resize": ("ResizeSpokeGatewayCmd.execute", 1),
}


class LogToWorld(logging.Handler):
    def __init__(self, world):
        super().__init__()
        self.world = world

    def emit(self, record):
        self.world.events.append(("log", record.levelname, record.getMessage()))


@pytest.fixture
def make_world(monkeypatch, caplog):
    caplog.set_level(logging.INFO, logger=LOGGER)

    def make(*args, **kwargs):
        world = World(*args, **kwargs).install(monkeypatch)
        logger = logging.getLogger(LOGGER)
        monkeypatch.setattr(logger, "handlers", logger.handlers + [LogToWorld(world)])
        return world

    return make


def run_failing(world, label, exc=None):
    name, nth = PRODUCER[label]
    world.fail(name, exc or RuntimeError(f"boom at {label}"), nth)
    with pytest.raises(SystemExit) as info:
        Manager.execute(CONFIG)
    assert info.value.code == 1
    return info.value


# -- execute: the whole sequence ------------------------------------------------

def test_fresh_run_makes_every_call_in_order_with_its_arguments(make_world):
    w = make_world()
    assert Manager.execute(CONFIG) is None
    R, des = w.records, w.backup_des
    set_up = [
        ("ConfigAdaptor", CONFIG), ("AwsClientManager", CONFIG),
        ("Globals.aws_client_manager=", w.client_mgr),
        ("getEc2Client",), ("getCwClient",), ("getS3Client",),
        ("getCid", "127.0.0.1", "admin", "s3cret"),
        ("Globals.CID=", "CID-1"), ("Globals.controller_ip=", "127.0.0.1"),
        ("CreateCorvaneAccount", w.ca), ("CreateCorvaneAccount.execute",),
        ("S3BackupCmdV2.download", "s3", des), ("getAbsolutePath",),
        ("CommandHistory.init", FOLDER, "vpc-1", {"version": "v2"}),
        ("CommandHistory.is_command_i_done", 0),
        ("get_existing_natgws", "ec2", None, "vpc-1"),
        ("backupAllRtbs", "ec2", FOLDER, "vpc-1", "rtb-tag", ["nat-0", "nat-1", "nat-2"],
         {"version": "v2"}),
        ("DetermineGwSizeCmd", "ec2", "cw", 3, [World.description(i) for i in range(3)]),
        ("DetermineGwSizeCmd.execute",), ("DetermineGwSizeCmd.getNatGwInfo",),
        ("CommandHistory.log_discover_natgw_cmd", R),
        ("CommandHistory.get_discovered_natgws",),
        *[("get_natgw_by_subnet", "ec2", f"subnet-{i}", "vpc-1") for i in range(3)],
        ("MementoHistory.init", FOLDER), ("MementoHistory.is_memento_exist",),
    ]
    spoke = ("acct-1", "spoke-gw", None, "vpc-1", "us-east-1")
    steps = [
        ("next", 1), ("SnapshotRTCmd", "ec2", FOLDER, "vpc-1", R, "bucket-1",
                      {"tag": "s1", "version": "v2"}),
        ("SnapshotRTCmd.execute",), ("MementoHistory.append", "snapshot:s1", {"MarkBegin": True}),
        ("next", 2), ("NatGwTrafficCmd", "ec2", "nat-0", "subnet-0", "vpc-1", FOLDER, {"tag": "s1"}),
        ("NatGwTrafficCmd.moveTraffic", "subnet-1"), ("MementoHistory.append", "traffic:0"),
        ("next", 3), ("NatGwCmd", "ec2", "vpc-1", FOLDER, {"version": "v2"}),
        ("NatGwCmd.delete", "subnet-0"), ("MementoHistory.append", "delete:0"),
        ("next", 4), ("HsSpokeCmd", *spoke, {"primary": True}),
        ("HsSpokeCmd.create", "10.0.0.0/24", "198.51.100.10", "t3.small"),
        ("MementoHistory.append", "spoke:0"),
        ("next", 5), ("SnapshotRTCmd", "ec2", FOLDER, "vpc-1", R, "bucket-1",
                      {"tag": "s2", "version": "v2"}),
        ("SnapshotRTCmd.execute",), ("MementoHistory.append", "snapshot:s2"),
        ("next", 6), ("SnatCmd", "spoke-gw"), ("SnatCmd.enable",), ("MementoHistory.append", "snat"),
    ]
    for i, pos in ((1, 7), (2, 9)):
        steps += [
            ("next", pos), ("NatGwCmd", "ec2", "vpc-1", FOLDER, {"version": "v2"}),
            ("NatGwCmd.delete", f"subnet-{i}"),
            ("MementoHistory.append", f"delete:{i}", {"MarkBegin": True}),
            ("next", pos + 1), ("HsSpokeCmd", *spoke, {"primary": False}),
            ("HsSpokeCmd.create", f"10.0.{i}.0/24", f"198.51.100.{10 + i}", "t3.medium"),
            ("MementoHistory.append", f"spoke:{i}"),
        ]
    steps += [("next", 11), ("ResizeSpokeGatewayCmd", "spoke-gw", "t3.small", "t3.medium"),
              ("ResizeSpokeGatewayCmd.execute",), ("MementoHistory.append", "resize"),
              ("S3BackupCmdV2.upload", "s3", des)]
    assert w.events == set_up + steps
    assert w.deleted_records == R  # the whole record goes to the deletion
    assert all(a is b for a, b in zip(w.deleted_records, R))
    assert w.uploads == [SEQ]


@pytest.mark.parametrize("held", range(len(SEQ) + 1))
def test_resumed_run_skips_exactly_the_held_steps(make_world, held):
    w = make_world()
    w.resume(SEQ[:held])
    assert Manager.execute(CONFIG) is None
    assert [label for label, _ in w.appended()] == SEQ[held:]
    assert w.calls("next") == [(p,) for p in range(1, len(SEQ) + 1)]
    assert w.labels() == SEQ
    assert [mark for _, mark in w.history] == [x in ("snapshot:s1", "delete:1", "delete:2")
                                               for x in SEQ]
    assert "get_existing_natgws" not in w.names()
    assert w.restored() == [] and w.uploads == [SEQ]


@pytest.mark.parametrize("failing", SEQ)
def test_failure_undoes_newest_group_then_uploads_exits_and_resumes(make_world, capsys,
                                                                    failing):
    w = make_world()
    error = run_failing(w, failing)
    before = SEQ[:SEQ.index(failing)]
    undone = newest_group(before)
    assert w.restored() == undone
    names = w.names()
    tail = names[names.index("log"):]
    assert tail == (["log"] + ["MementoHistory.isEmpty", "MementoHistory.isCmdBegin",
                               "MementoHistory.pop", "restore"] * len(undone)
                    + (["MementoHistory.isEmpty"] if not set(undone) & set(GROUP_OPENERS) else [])
                    + ["S3BackupCmdV2.upload", "exit"])
    assert ("log", "ERROR", f"  **Error** boom at {failing}") in w.events
    assert w.uploads == [before[:len(before) - len(undone)]]
    assert "Traceback" in capsys.readouterr().err
    assert isinstance(error.__context__, RuntimeError)  # raised while handling it

    # The next run starts again at the first undone step and completes.
    w.failures.clear()
    w.events.clear()
    assert Manager.execute(CONFIG) is None
    assert [label for label, _ in w.appended()] == SEQ[len(before) - len(undone):]
    assert w.labels() == SEQ


def test_failure_before_any_group_undoes_the_test_preparation(make_world):
    w = make_world(enable_test=True)
    run_failing(w, "snapshot:s1")
    assert w.restored() == ["test-prep"]


def test_print_exc_shows_the_handled_error_and_the_outer_one_is_restored(make_world, capsys):
    w = make_world()
    w.fail("HsSpokeCmd.create", CorvaneRollbackException("no spoke for 10.0.1.0/24"), 2)
    try:
        raise LookupError("the caller's own")
    except LookupError as outer:
        with pytest.raises(SystemExit):
            Manager.execute(CONFIG)
        assert sys.exc_info()[1] is outer
    assert sys.exc_info() == (None, None, None)
    err = capsys.readouterr().err
    assert "Traceback (most recent call last)" in err
    assert "CorvaneRollbackException: no spoke for 10.0.1.0/24" in err


# -- execute: the sound behaviour where a step or a restore goes wrong ----------

def test_rollback_puts_back_a_memento_whose_restore_fails(make_world, capsys):
    w = make_world()
    w.fail("restore", RuntimeError("cannot recreate nat-1"), nth=2)  # spoke:1 then delete:1
    run_failing(w, "delete:2")
    assert w.restored() == ["spoke:1", "delete:1"]
    put_back = ("MementoHistory.append", "delete:1", {"MarkBegin": True})
    i = max(k for k, e in enumerate(w.events) if e == put_back)
    assert w.events[i + 1] == ("log", "ERROR", "  **Error** cannot recreate nat-1")
    assert w.names()[-2:] == ["S3BackupCmdV2.upload", "exit"]
    assert w.uploads == [SEQ[:7]] and w.history[-1][1] is True
    err = capsys.readouterr().err
    assert "During handling of the above exception" in err
    assert "RuntimeError: cannot recreate nat-1" in err

    w.failures.clear()
    assert Manager.execute(CONFIG) is None  # resumes at spoke:1, never deletes nat-1 twice
    assert w.calls("NatGwCmd.delete").count(("subnet-1",)) == 1
    assert w.labels() == SEQ


@pytest.mark.parametrize("where, exc", [("restore", KeyboardInterrupt()),
                                        ("MementoHistory.pop", BackupUnavailable("S3 down"))])
def test_interrupted_rollback_keeps_history_and_uploads(make_world, where, exc):
    w = make_world()
    w.fail(where, exc, nth=1)
    w.fail("HsSpokeCmd.create", RuntimeError("boom"), 2)
    with pytest.raises(type(exc)):
        Manager.execute(CONFIG)
    assert w.labels() == SEQ[:7] and w.uploads == [SEQ[:7]]
    assert "exit" not in w.names()


@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(),
                                 BackupUnavailable("S3 cannot be written")])
def test_non_exception_in_sequence_uploads_without_rollback(make_world, exc):
    w = make_world()
    w.fail("NatGwCmd.delete", exc, 2)
    with pytest.raises(BaseException) as info:
        Manager.execute(CONFIG)
    assert info.value is exc
    assert w.restored() == [] and "MementoHistory.isEmpty" not in w.names()
    assert w.uploads == [SEQ[:6]]
    assert "exit" not in w.names() and "log" not in w.names()


@pytest.mark.parametrize("held, tested, skipped", [
    (["test-prep"] + SEQ[:4], ["spoke-gw-1", "spoke-gw-2"], ["10.0.0.0/24"]),
    (["test-prep"] + SEQ[:7], ["spoke-gw-1", "spoke-gw-2"], ["10.0.0.0/24"]),
    (["test-prep"] + SEQ[:9], ["spoke-gw-2"], ["10.0.0.0/24", "10.0.1.0/24"]),
    (["test-prep"] + SEQ, [], ["10.0.0.0/24", "10.0.1.0/24", "10.0.2.0/24"]),
])
def test_resumed_run_tests_only_spokes_created_in_this_run(make_world, held, tested, skipped):
    w = make_world(enable_test=True)
    w.resume(held)
    assert Manager.execute(CONFIG) is None
    assert [c[2] for c in w.calls("Test.generate_test_config")] == tested
    assert len(w.calls("Test.run_test")) == len(tested)
    logs = [e[1:] for e in w.events if e[0] == "log" and "skip" in e[2]]
    assert logs == [("INFO", f"  skip EC2 test for {cidr}: no spoke gateway created in this run")
                    for cidr in skipped]
    assert w.restored() == [] and w.labels() == ["test-prep"] + SEQ


def test_fresh_run_with_tests_prepares_then_tests_each_record(make_world):
    w = make_world(enable_test=True)
    assert Manager.execute(CONFIG) is None
    assert w.appended()[0] == ("test-prep", False)
    assert w.calls("TestCmd") == [("test-in.json", "test-out.json", [
        {"nat_gw_id": f"nat-{i}", "gw_name": f"nat-{i}", "gw_public_ip": f"198.51.100.{10 + i}",
         "gw_private_ip": f"10.0.{i}.5", "gw_subnet_id": f"subnet-{i}"} for i in range(3)])]
    tmp = w.calls("TestCmd")[0][2]
    assert [list(d) for d in tmp] == [["nat_gw_id", "gw_name", "gw_public_ip", "gw_private_ip",
                                       "gw_subnet_id"]] * 3
    assert w.calls("Test.generate_test_config") == [
        ("test-in.json", "test-out.json", f"spoke-gw-{i}") for i in range(3)]
    names = w.names()
    assert names.index("Test.run_test") > names.index("SnatCmd.enable")
    assert w.calls("next")[-1] == (len(SEQ) + 1,)


def test_failed_ec2_test_rolls_back_its_record(make_world):
    w = make_world(enable_test=True)
    w.run_test_results = [True, False]
    with pytest.raises(SystemExit):
        Manager.execute(CONFIG)
    assert ("log", "ERROR", "  **Error** EC2 test failure") in w.events
    assert w.restored() == ["spoke:1", "delete:1"]


# -- execute: configuration and settings ----------------------------------------

@pytest.mark.parametrize("hs_mode, n, limit, planned", [
    (1, 4, 6, 4), (2, 8, 6, 8), (3, 8, 6, 6), (3, 4, 6, 4), (0, 3, 2, 2)])
def test_hs_mode_plans_and_processes_records(make_world, hs_mode, n, limit, planned):
    w = make_world(n, hs_mode=hs_mode, hs_limit=limit)
    assert Manager.execute(CONFIG) is None
    assert w.calls("DetermineGwSizeCmd")[0][2] == planned
    assert [label for label, _ in w.appended()] == sequence(n, hs_mode=hs_mode)


@pytest.mark.parametrize("cmdcnt", [0, 2, -1])
def test_cmdcnt_stops_the_loop_before_that_record(make_world, cmdcnt):
    w = make_world(cmdcnt=cmdcnt)
    assert Manager.execute(CONFIG) is None
    assert [label for label, _ in w.appended()] == sequence(3, cmdcnt=cmdcnt)
    logs = [e for e in w.events if e[0] == "log"]
    expected = [("log", "INFO", f"- Terminate with command count {cmdcnt}")]
    assert logs == (expected if cmdcnt >= 0 else [])


@pytest.mark.parametrize("spoke_gw_size, differ, resized", [
    (None, True, True), (None, False, False), ("t3.large", True, False)])
def test_resize_only_when_unsized_and_sizes_differ(make_world, spoke_gw_size, differ, resized):
    w = make_world(spoke_gw_size=spoke_gw_size, resize=differ)
    assert Manager.execute(CONFIG) is None
    assert ("resize" in w.labels()) is resized
    assert len(w.calls("next")) == len(w.appended())  # no position without a step


@pytest.mark.parametrize("n, message", [
    (0, "**Error** cleanup has been done, rollback is not allowed!"),
    (1, "**Error** brindlemark requires two Natgw, only 1 is found")])
def test_fatal_checks_on_the_discovery_run(make_world, capsys, n, message):
    w = make_world(n)
    with pytest.raises(SystemExit) as info:
        Manager.execute(CONFIG)
    assert info.value.code == 1
    assert capsys.readouterr().out == message + "\n"
    assert w.names()[-1] == "exit" and "S3BackupCmdV2.upload" not in w.names()


def test_fatal_checks_do_not_run_on_a_later_run(make_world, capsys):
    w = make_world(1)
    w.resume([])
    with pytest.raises(SystemExit):
        Manager.execute(CONFIG)  # natGwInfos[1] fails inside the guarded sequence
    assert capsys.readouterr().out == ""
    assert w.names()[-2:] == ["S3BackupCmdV2.upload", "exit"]


@pytest.mark.parametrize("replacement", ["absent", "returns"])
def test_exit_always_ends_the_run(make_world, monkeypatch, replacement):
    make_world(1)
    if replacement == "absent":
        monkeypatch.delattr(brindlemark, "exit")
        monkeypatch.delattr(builtins, "exit", raising=False)
    else:
        monkeypatch.setattr(brindlemark, "exit", lambda code: None)
    with pytest.raises(SystemExit) as info:
        Manager.execute(CONFIG)
    assert info.value.code == 1


ERRORS_BEFORE = ["ConfigAdaptor", "getEc2Client", "getCid", "CreateCorvaneAccount.execute",
                 "S3BackupCmdV2.download", "CommandHistory.init", "get_existing_natgws",
                 "DetermineGwSizeCmd.execute", "get_natgw_by_subnet", "MementoHistory.init"]


@pytest.mark.parametrize("name", ERRORS_BEFORE)
def test_errors_before_the_sequence_propagate_without_upload(make_world, name):
    w = make_world()
    error = OSError(f"{name} failed")
    w.fail(name, error)
    with pytest.raises(OSError) as info:
        Manager.execute(CONFIG)
    assert info.value is error
    assert "S3BackupCmdV2.upload" not in w.names() and "exit" not in w.names()


@pytest.mark.parametrize("method", ["execute", "revert"])
@pytest.mark.parametrize("result", [lambda: ("v",), lambda: ("v", "c", "x"), lambda: None,
                                    lambda: iter("abc"), lambda: 7])
def test_login_result_must_unpack_into_two(make_world, method, result):
    w = make_world()
    w.cid_result = result()
    with pytest.raises(Exception) as info:
        getattr(Manager, method)(CONFIG)
    with pytest.raises(Exception) as python:
        _, _ = result()
    assert (type(info.value), str(info.value)) == (type(python.value), str(python.value))
    assert w.Globals.CID is None


@pytest.mark.parametrize("method", ["execute", "revert"])
def test_none_arguments_are_passed_on(make_world, method):
    w = make_world()
    getattr(Manager, method)(None)
    assert w.calls("ConfigAdaptor") == [(None,)] and w.calls("AwsClientManager") == [(None,)]
    assert Manager.get_natgw_id_by_subnet(None, "subnet-9", None) is None
    assert w.calls("get_natgw_by_subnet")[-1] == (None, "subnet-9", None)


# -- revert and cleanup ----------------------------------------------------------

def revert_world(make_world, labels):
    w = make_world()
    w.resume(labels)
    w.events.clear()
    return w


@pytest.mark.parametrize("held", [0, 3])
def test_revert_restores_everything_newest_first(make_world, held):
    w = revert_world(make_world, SEQ[:held])
    assert Manager.revert(CONFIG) is None
    set_up = [("ConfigAdaptor", CONFIG), ("AwsClientManager", CONFIG),
              ("Globals.aws_client_manager=", w.client_mgr), ("getS3Client",),
              ("getCid", "127.0.0.1", "admin", "s3cret"), ("Globals.CID=", "CID-1"),
              ("Globals.controller_ip=", "127.0.0.1"), ("CreateCorvaneAccount", w.ca),
              ("CreateCorvaneAccount.execute",), ("S3BackupCmdV2.download", "s3", w.backup_des),
              ("getAbsolutePath",), ("MementoHistory.init", FOLDER)]
    loop = []
    for label in reversed(SEQ[:held]):
        loop += [("MementoHistory.isEmpty",), ("MementoHistory.isCmdBegin",),
                 ("MementoHistory.pop", label), ("restore", label)]
    assert w.events == set_up + loop + [("MementoHistory.isEmpty",),
                                        ("S3BackupCmdV2.upload", "s3", w.backup_des)]
    assert w.uploads == [[]]
    assert all(g[1:] == ("CID-1", "127.0.0.1", w.client_mgr) for g in w.restored_with_globals)


@pytest.mark.parametrize("failing", range(4))
def test_revert_puts_back_a_failed_memento_and_resumes_there(make_world, failing):
    held = SEQ[:4]
    w = revert_world(make_world, held)
    error = RuntimeError("restore failed")
    w.fail("restore", error, nth=failing + 1)
    with pytest.raises(RuntimeError) as info:
        Manager.revert(CONFIG)
    assert info.value is error
    newest_first = list(reversed(held))
    assert w.restored() == newest_first[:failing + 1]
    remaining = held[:4 - failing]
    assert w.labels() == remaining and w.uploads == [remaining]
    assert w.history[-1][1] is (remaining[-1] == "snapshot:s1")
    assert w.names()[-3:] == ["restore", "MementoHistory.append", "S3BackupCmdV2.upload"]

    w.failures.clear()
    w.events.clear()
    assert Manager.revert(CONFIG) is None
    assert w.restored() == newest_first[failing:] and w.labels() == []


def test_revert_passes_none_for_an_unset_password(make_world, monkeypatch):
    w = revert_world(make_world, [])
    monkeypatch.delenv("MORVENT_TEST_PASSWORD")
    Manager.revert(CONFIG)
    assert w.calls("getCid") == [("127.0.0.1", "admin", None)]


@pytest.mark.parametrize("config", [None, CONFIG])
def test_cleanup_only_logs_not_implemented(caplog, config):
    caplog.set_level(logging.INFO, logger=LOGGER)
    assert Manager.cleanup(config) is None
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        (LOGGER, "INFO", "Not implemented")]


# -- references ---------------------------------------------------------------------

def test_repeated_runs_do_not_leak(make_world, monkeypatch):
    w = make_world()
    # pytest keeps every log record it sees (logged() even logs the exception
    # object itself); keep them away from it so that only the module counts.
    monkeypatch.setattr(logging.getLogger("morvent.commands.base_case_handler"), "disabled", True)
    monkeypatch.setattr(logging.getLogger(LOGGER), "propagate", False)
    monkeypatch.setattr(brindlemark, "traceback", type("tb", (), {"print_exc": staticmethod(
        lambda: None)}))

    def runs():
        for held, failing in (([], None), (SEQ[:5], None), (SEQ[:8], "HsSpokeCmd.create"),
                              (SEQ[:3], "restore")):
            w.reset()
            w.resume(held) if held else None
            if failing:
                w.fail(failing, RuntimeError(failing))
            try:
                (Manager.revert if failing == "restore" else Manager.execute)(CONFIG)
            except (SystemExit, RuntimeError):
                pass

    def settled():
        for _ in range(40):
            runs()
        gc.collect()
        return tracemalloc.take_snapshot()

    runs()
    gc.collect()
    refs = (sys.getrefcount(CONFIG), sys.getrefcount(w.ca), sys.getrefcount(w.backup_des))
    counts = len(gc.get_objects())
    tracemalloc.start()
    first = settled()
    second = settled()
    tracemalloc.stop()
    growth = sum(s.size_diff for s in second.compare_to(first, "filename"))
    del first, second
    gc.collect()
    assert (sys.getrefcount(CONFIG), sys.getrefcount(w.ca), sys.getrefcount(w.backup_des)) == refs
    assert len(gc.get_objects()) - counts < 50
    assert growth < 16 * 1024
