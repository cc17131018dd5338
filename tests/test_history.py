"""Command and memento histories: round trips, durability, damaged files, stack order."""

import itertools
import json
import os
import shutil
import subprocess
import sys

import pytest

import morvent
from morvent.commands import history, records
from morvent.commands.history import CommandHistory, HistoryError, MementoHistory
from morvent.commands.memento import Memento
from morvent.core import backup
from backup_fixtures import allow_kinds, natgw_record


class StepMemento(Memento):
    def __init__(self, **state):
        self.__dict__.update(state)

    def restore(self):
        self.restored = True


class StrictMemento(Memento):
    """Rebuilding must not run the constructor."""

    def __init__(self):
        raise AssertionError("constructor called")

    class Inner(Memento):
        pass


def strict(**state):
    m = StrictMemento.__new__(StrictMemento)
    m.__dict__.update(state)
    return m


@pytest.fixture(autouse=True)
def fresh_histories(monkeypatch):
    """Class-level state as in a new process, restored after the test."""
    for name, value in [("_path", None), ("_vpc_id", None), ("_version", None),
                        ("_commands", []), ("_natgws", [])]:
        monkeypatch.setattr(CommandHistory, name, value)
    monkeypatch.setattr(MementoHistory, "_path", None)
    monkeypatch.setattr(MementoHistory, "_entries", [])
    monkeypatch.setattr(MementoHistory, "_undoing", None)
    monkeypatch.setattr(backup, "_pending", {})
    allow_kinds(monkeypatch, StepMemento, StrictMemento, StrictMemento.Inner)


def reload_as_new_process(monkeypatch, folder):
    monkeypatch.setattr(MementoHistory, "_path", None)
    monkeypatch.setattr(MementoHistory, "_entries", [])
    monkeypatch.setattr(MementoHistory, "_undoing", None)
    MementoHistory.init(folder)


def memento_file(folder):
    return os.path.join(folder, "memento_history.json")


def snapshot(folder):
    """Every file of the folder with its bytes."""
    result = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            result[name] = f.read()
    return result


# -- memento history -------------------------------------------------------

def test_round_trip_through_a_reload(tmp_path, monkeypatch):
    folder = str(tmp_path)
    MementoHistory.init(folder)
    assert not os.path.exists(memento_file(folder))  # nothing written before an append
    stored = [
        (StepMemento(rtb_ids=["rtb-1", "rtb-2"], tag="s1", routes={"0.0.0.0/0": "nat-1"}), True),
        (strict(nat_gw_id="nat-1", eip="203.0.113.7", size=None, ok=True, ratio=0.5), False),
        (StrictMemento.Inner.__new__(StrictMemento.Inner), True),
    ]
    for memento, mark in stored:
        MementoHistory.append(memento, MarkBegin=mark)
    expected = [(type(m), m.toDict().copy(), mark) for m, mark in stored]

    reload_as_new_process(monkeypatch, folder)
    assert MementoHistory.size() == 3
    rebuilt = []
    while not MementoHistory.isEmpty():
        mark = MementoHistory.isCmdBegin()
        m = MementoHistory.pop()
        rebuilt.append((type(m), m.toDict(), mark))
    assert rebuilt == expected[::-1]
    reload_as_new_process(monkeypatch, folder)
    assert MementoHistory.isEmpty()  # the pops were on disk


def test_spoke_mementos_come_back_in_a_new_process(tmp_path):
    spoke = pytest.importorskip("morvent.lib.spoke")
    folder = str(tmp_path)
    MementoHistory.init(folder)
    first = spoke.HsSpokeCreateMemento.__new__(spoke.HsSpokeCreateMemento)
    first.__dict__.update({"spoke_info": {"gw_name": "spoke-a", "gw_subnet_cidr": "10.0.0.0/24"}})
    second = spoke.ResizeSpokeGatewayMemento.__new__(spoke.ResizeSpokeGatewayMemento)
    second.__dict__.update({"spoke_gw_name": "spoke-a", "from_gw_size": "t3.small",
                            "to_gw_size": "t3.large"})
    MementoHistory.append(first, MarkBegin=True)
    MementoHistory.append(second)
    script = (
        "import json, sys\n"
        "from morvent.commands.history import MementoHistory\n"
        "MementoHistory.init(sys.argv[1])\n"
        "out = []\n"
        "while not MementoHistory.isEmpty():\n"
        "    mark = MementoHistory.isCmdBegin()\n"
        "    m = MementoHistory.pop()\n"
        "    out.append([type(m).__module__, type(m).__qualname__, m.toDict(), mark])\n"
        "print(json.dumps(out))\n")
    src = os.path.dirname(os.path.dirname(morvent.__file__))
    env = dict(os.environ, PYTHONPATH=src)
    done = subprocess.run([sys.executable, "-c", script, folder], env=env, capture_output=True,
                          text=True, timeout=120, check=True)
    assert json.loads(done.stdout) == [
        ["morvent.lib.spoke", "ResizeSpokeGatewayMemento", second.toDict(), False],
        ["morvent.lib.spoke", "HsSpokeCreateMemento", first.toDict(), True],
    ]


def test_lifo_order_group_marks_and_identity(tmp_path):
    MementoHistory.init(str(tmp_path))
    assert MementoHistory.isCmdBegin() is False
    a, b, c, d = (StepMemento(n=n) for n in "abcd")
    MementoHistory.append(a, MarkBegin=True)
    MementoHistory.append(b)
    MementoHistory.append(c, MarkBegin=True)
    MementoHistory.append(d, MarkBegin=False)
    popped = []
    while not MementoHistory.isEmpty():
        popped.append((MementoHistory.isCmdBegin(), MementoHistory.pop()))
    assert popped == [(False, d), (True, c), (False, b), (True, a)]
    assert all(m is want for (_, m), want in zip(popped, [d, c, b, a]))
    assert MementoHistory.isCmdBegin() is False
    with pytest.raises(HistoryError, match="empty"):
        MementoHistory.pop()


@pytest.mark.parametrize("held", [0, 1, 2, 3])
def test_is_memento_exist_answers_for_what_is_held(tmp_path, held):
    MementoHistory.init(str(tmp_path))
    for n in range(held):
        MementoHistory.append(StepMemento(n=n))
    positions = MementoHistory.is_memento_exist()
    MementoHistory.append(StepMemento(n="later"))  # does not change an iterator already made
    assert [next(positions) for _ in range(6)] == [True] * held + [False] * (6 - held)
    assert next(positions) is False


# -- the record of an undo under way -------------------------------------------

def stored_marks(folder):
    """(n, mark_begin, undoing) of every entry of the memento history file."""
    with open(memento_file(folder), encoding="utf-8") as f:
        return [(m["state"]["n"], m["mark_begin"], m.get("undoing", False))
                for m in json.load(f)["mementos"]]


# The next operation after a pop, what it answers and the file after it.
NEXT_OPERATION = {
    "isEmpty": (MementoHistory.isEmpty, False, [("a", True, False)]),
    "isCmdBegin": (MementoHistory.isCmdBegin, True, [("a", True, False)]),
    "size": (MementoHistory.size, 1, [("a", True, False)]),
    "is_memento_exist": (lambda: list(itertools.islice(MementoHistory.is_memento_exist(), 2)),
                         [True, False], [("a", True, False)]),
    "append": (lambda: MementoHistory.append(StepMemento(n="c")), None,
               [("a", True, False), ("c", False, False)]),
    "pop": (lambda: MementoHistory.pop().n, "a", [("a", True, True)]),
    "init": (lambda: MementoHistory.init(os.path.dirname(MementoHistory.path())), None,
             [("a", True, False)]),
    "upload": (lambda: backup.finish_pending(os.path.dirname(MementoHistory.path())), None,
               [("a", True, False)]),
}


@pytest.mark.parametrize("operation", NEXT_OPERATION)
def test_a_popped_record_stays_on_disk_until_the_next_operation(tmp_path, monkeypatch,
                                                                 operation):
    folder = str(tmp_path / "run")
    MementoHistory.init(folder)
    MementoHistory.append(StepMemento(n="a"), MarkBegin=True)
    MementoHistory.append(StepMemento(n="b"))
    assert MementoHistory.pop().n == "b"
    assert stored_marks(folder) == [("a", True, False), ("b", False, True)]

    # Killed now (during the restore): a later run holds the record as an ordinary one.
    killed = shutil.copytree(folder, str(tmp_path / "killed"))
    call, answer, after = NEXT_OPERATION[operation]
    result = call()
    assert stored_marks(folder) == after
    if answer is not None:
        assert result == answer

    reload_as_new_process(monkeypatch, killed)
    assert MementoHistory.size() == 2 and MementoHistory.isCmdBegin() is False
    assert MementoHistory.pop().n == "b"


@pytest.mark.parametrize("mark", [True, False])
def test_putting_back_a_memento_whose_undo_failed_clears_the_mark(tmp_path, monkeypatch, mark):
    folder = str(tmp_path)
    MementoHistory.init(folder)
    MementoHistory.append(StepMemento(n="a"), MarkBegin=True)
    MementoHistory.append(StepMemento(n="b"), MarkBegin=mark)
    is_begin = MementoHistory.isCmdBegin()
    x = MementoHistory.pop()
    x.n = "changed by a half-done restore"
    MementoHistory.append(x, MarkBegin=is_begin)
    assert stored_marks(folder) == [("a", True, False), ("b", mark, False)]
    assert MementoHistory.size() == 2 and MementoHistory.isCmdBegin() is mark
    assert MementoHistory.pop() is x
    reload_as_new_process(monkeypatch, folder)
    assert MementoHistory.size() == 2


def local_class_memento():
    class Local(Memento):
        pass
    return Local()


class NotAMemento:
    def toDict(self):
        return {}


cycle = {"a": 1}
cycle["me"] = cycle


@pytest.mark.parametrize("make, match", [
    (lambda: StepMemento(ids={"rtb-1"}), r"StepMemento.*\['ids'\] is a set"),
    (lambda: StepMemento(by_index={1: "rtb-1"}), r"key 1, which is not a string"),
    (lambda: StepMemento(size=float("nan")), r"\['size'\] is nan"),
    (lambda: StepMemento(client=object()), r"\['client'\] is a object"),
    (lambda: StepMemento(state=cycle), r"contains itself"),
    (local_class_memento, r"cannot be found again"),
    (NotAMemento, r"not a memento class"),
])
def test_mementos_that_cannot_be_stored_are_refused(tmp_path, make, match):
    MementoHistory.init(str(tmp_path))
    MementoHistory.append(StepMemento(n=1), MarkBegin=True)
    before = snapshot(str(tmp_path))
    with pytest.raises(TypeError, match=match):
        MementoHistory.append(make())
    assert snapshot(str(tmp_path)) == before
    assert MementoHistory.size() == 1 and MementoHistory.isCmdBegin() is True


def test_a_stored_memento_keeps_its_state_of_the_moment_it_was_appended(tmp_path, monkeypatch):
    MementoHistory.init(str(tmp_path))
    m = StepMemento(ids=("rtb-1", "rtb-2"))
    MementoHistory.append(m)
    m.ids = "changed later"
    reload_as_new_process(monkeypatch, str(tmp_path))
    assert MementoHistory.pop().toDict() == {"ids": ["rtb-1", "rtb-2"]}  # tuples come back as lists


# -- durability ------------------------------------------------------------

def fail(*args, **kwargs):
    raise OSError(28, "No space left on device")


@pytest.mark.parametrize("broken", ["replace", "fsync"])
@pytest.mark.parametrize("change", ["append", "pop", "discovery"])
def test_a_failed_write_leaves_file_and_memory_as_they_were(tmp_path, monkeypatch, broken, change):
    folder = str(tmp_path)
    MementoHistory.init(folder)
    MementoHistory.append(StepMemento(n=1), MarkBegin=True)
    MementoHistory.append(StepMemento(n=2))
    CommandHistory.init(folder, "vpc-1")
    CommandHistory.log_discover_natgw_cmd([{"subnet_id": "subnet-1"}])
    before = snapshot(folder)
    with monkeypatch.context() as patch, pytest.raises(HistoryError, match="No space left"):
        patch.setattr(history.os, broken, fail)
        {"append": lambda: MementoHistory.append(StepMemento(n=3)),
         "pop": MementoHistory.pop,
         "discovery": lambda: CommandHistory.log_discover_natgw_cmd([{"subnet_id": "x"}]),
         }[change]()
    assert snapshot(folder) == before  # no torn file, no temporary file left
    assert MementoHistory.size() == 2 and MementoHistory.isCmdBegin() is False
    assert CommandHistory.get_discovered_natgws() == [{"subnet_id": "subnet-1"}]


def test_temporary_files_of_a_killed_run_are_ignored_and_removed(tmp_path):
    # killed while writing the very first version of the file
    leftover = tmp_path / ".memento_history.json.k1ll3d.tmp"
    leftover.write_text('{"format": 1, "mementos": [')
    MementoHistory.init(str(tmp_path))
    assert MementoHistory.isEmpty()
    assert os.listdir(str(tmp_path)) == []


# -- damaged files ---------------------------------------------------------

def entry(module=__name__, qualname="StepMemento", state=None, mark=False):
    return {"module": module, "qualname": qualname, "state": state or {}, "mark_begin": mark}


VALID = json.dumps({"format": 1, "mementos": [entry(mark=True), entry(state={"n": 2})]})


@pytest.mark.parametrize("content, match", [
    ("", "not JSON"),
    (VALID[: len(VALID) // 2], "not JSON"),
    ("null", "it holds null, not a memento history"),
    ("[]", "it holds a list, not a memento history"),
    (json.dumps({"format": 9, "mementos": []}), "layout 9"),
    (json.dumps({"format": 2, "mementos": []}), "the file has no 'lineage'"),
    (json.dumps({"mementos": [entry(), {"module": __name__}]}),
     r"undo record 2: the record has no 'qualname'"),
    (json.dumps({"mementos": [{**entry(), "undoing": "yes"}]}),
     r"\['undoing'\] is a text, not true or false"),
    (json.dumps({"mementos": [{**entry(), "undoing": True}, entry()]}),
     "marked as being undone, but it is not the newest"),
    (json.dumps({"mementos": [entry(qualname="Renamed")]}),
     "a record of an unknown kind, test_history.Renamed"),
    (json.dumps({"mementos": [entry(module="morvent.lib.natgw", qualname="NatGwDeleteMemento",
                                    state={"vpc_id": "vpc-1"})]}),
     r"undo record 1 \(NatGwDeleteMemento\): its state has no 'subnet_id'"),
    # Known kinds whose class cannot be found again.
    (json.dumps({"mementos": [entry(module="no_such_module_for_history")]}),
     "no_such_module_for_history.StepMemento cannot be rebuilt"),
    (json.dumps({"mementos": [entry(module="morvent.no_such_module")]}), "cannot be imported"),
    (json.dumps({"mementos": [entry(qualname="NotAMemento")]}), "not a memento class"),
    (json.dumps({"mementos": [entry(qualname="cycle")]}), "is not a class"),
])
def test_a_damaged_history_is_a_clear_error_and_changes_nothing(tmp_path, monkeypatch, content,
                                                                 match):
    for name in ("no_such_module_for_history.StepMemento", "morvent.no_such_module.StepMemento",
                 f"{__name__}.NotAMemento", f"{__name__}.cycle"):
        monkeypatch.setitem(records.MEMENTO_KINDS, name, records.Fields({}))
    good, bad = tmp_path / "good", tmp_path / "bad"
    good.mkdir()
    bad.mkdir()
    MementoHistory.init(str(good))
    MementoHistory.append(StepMemento(n=1))
    (bad / "memento_history.json").write_text(content)
    before = snapshot(str(bad))
    with pytest.raises(HistoryError, match=match) as info:
        MementoHistory.init(str(bad))
    assert memento_file(str(bad)) in str(info.value)
    assert snapshot(str(bad)) == before
    assert MementoHistory.path() == memento_file(str(good)) and MementoHistory.size() == 1


@pytest.mark.parametrize("call", [
    MementoHistory.isEmpty, MementoHistory.isCmdBegin, MementoHistory.pop,
    MementoHistory.is_memento_exist, MementoHistory.size, MementoHistory.entries,
    lambda: MementoHistory.append(StepMemento()),
    lambda: CommandHistory.is_command_i_done(0), CommandHistory.get_discovered_natgws,
    lambda: CommandHistory.log_discover_natgw_cmd([]),
])
def test_use_before_init_is_a_clear_error(call):
    with pytest.raises(HistoryError, match=r"before \w+History.init"):
        call()


# -- command history -------------------------------------------------------

RECORDS = [natgw_record("a", size="t3.large"), natgw_record("b")]


def test_discovery_is_recorded_and_read_back(tmp_path, monkeypatch):
    folder = str(tmp_path)
    CommandHistory.init(folder, "vpc-0abc")
    assert os.listdir(folder) == []  # nothing created by init
    assert CommandHistory.is_command_i_done(0) is False
    empty = CommandHistory.get_discovered_natgws()
    assert empty == [] and CommandHistory.get_discovered_natgws() is empty

    CommandHistory.log_discover_natgw_cmd(RECORDS)
    assert CommandHistory.is_command_i_done(0) and not CommandHistory.is_command_i_done(1)

    monkeypatch.setattr(CommandHistory, "_path", None)
    CommandHistory.init(folder, "vpc-0abc", version="v2")
    assert CommandHistory.is_command_i_done(0)
    records = CommandHistory.get_discovered_natgws()
    assert records == RECORDS
    records[0]["nat_gw_id"] = "nat-new"  # callers update the records in place
    assert CommandHistory.get_discovered_natgws() is records
    assert CommandHistory.get_discovered_natgws()[0]["nat_gw_id"] == "nat-new"


def test_another_vpcs_history_is_refused(tmp_path):
    CommandHistory.init(str(tmp_path), "vpc-1111")
    CommandHistory.log_discover_natgw_cmd(RECORDS)
    with pytest.raises(HistoryError) as info:
        CommandHistory.init(str(tmp_path), "vpc-2222")
    message = str(info.value)
    assert all(part in message for part in
               (os.path.join(str(tmp_path), "command_history.json"), "vpc-1111", "vpc-2222"))
    assert CommandHistory._vpc_id == "vpc-1111"


@pytest.mark.parametrize("records, match", [
    ({"subnet_id": "s"}, "must be a list"),
    (["subnet-a"], "record 0 is a str"),
    ([{"subnet_id": "s", "created": object()}], r"\['created'\] is a object"),
])
def test_discovery_records_that_cannot_be_stored_are_refused(tmp_path, records, match):
    CommandHistory.init(str(tmp_path), "vpc-1")
    with pytest.raises(TypeError, match=match):
        CommandHistory.log_discover_natgw_cmd(records)
    assert os.listdir(str(tmp_path)) == []
    assert CommandHistory.is_command_i_done(0) is False


@pytest.mark.parametrize("content, match", [
    ("{", "not JSON"),
    ('{"vpc_id": "vpc-1", "version": "v2"}', "the file has no 'commands'"),
    ('{"vpc_id": "vpc-1", "version": "v1", "commands": []}', "version 'v1'"),
    ('{"vpc_id": "vpc-1", "version": "v2", "commands": [{"index": 0, "name": "discover_natgw"}]}',
     "the discovery has no 'natgws'"),
    ('{"vpc_id": "vpc-1", "version": "v2", "commands": [{"index": 3, "name": "frob"}]}',
     "a command of an unknown kind"),
    (json.dumps({"vpc_id": "vpc-1", "version": "v2", "commands": [
        {"index": 0, "name": "discover_natgw", "natgws": [natgw_record("a", eip=7)]}]}),
     r"\['natgws'\]\[0\]\['eip'\] is a whole number, not a text or null"),
])
def test_a_damaged_command_history_is_a_clear_error(tmp_path, content, match):
    (tmp_path / "command_history.json").write_text(content)
    with pytest.raises(HistoryError, match=match) as info:
        CommandHistory.init(str(tmp_path), "vpc-1")
    assert "command_history.json" in str(info.value)
