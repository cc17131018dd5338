"""The undoable command and memento classes of morvent.lib.spoke."""

import gc
import ipaddress
import json
import logging
import sys
import tracemalloc

import pytest

from morvent.commands.abstract_command import AbstractCommand
from morvent.commands.memento import Memento
from morvent.core.exceptions import CorvaneRollbackException
from morvent.lib import spoke
from spoke_cmd_fakes import CID, SPOKE_INFO, URL1, URL2, env  # noqa: F401  (fixture)

CLASSES = [  # name, base, own members in order of definition
    ("HsSpokeCreateMemento", Memento, ["__init__", "getSpokeInfo", "restore", "toDict"]),
    ("HsSpokeCmd", object, ["__init__", "_saveMememto", "create", "delete"]),
    ("DeployHsSpokeGwCmd", AbstractCommand, ["__init__", "execute", "undo", "save_backup"]),
    ("DeployClassicSpokeGwCmd", AbstractCommand, ["__init__", "execute", "undo"]),
    ("SnatEnableMemento", Memento, ["__init__", "restore", "toDict"]),
    ("SnatCmd", object, ["__init__", "_saveMemento", "enable", "disable"]),
    ("ResizeSpokeGatewayMemento", Memento, ["__init__", "restore", "toDict"]),
    ("ResizeSpokeGatewayCmd", object, ["__init__", "_saveMemento", "execute"]),
]


def test_classes_are_defined_in_order():
    # The module's own classes only: a test that replaced and put back a
    # collaborator class (Globals) moves it to the end of the module dict.
    names = [n for n, v in vars(spoke).items()
             if isinstance(v, type) and v.__module__ == spoke.__name__]
    assert names == [c[0] for c in CLASSES]


@pytest.mark.parametrize("name, base, members", CLASSES)
def test_class_shape(name, base, members):
    cls = getattr(spoke, name)
    assert cls.__bases__ == (base,)
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("morvent.lib.spoke", name, name)
    own = [k for k in vars(cls) if k == "__init__" or not k.startswith("__")]
    assert own == members
    for m in members:
        assert getattr(cls, m).__qualname__ == f"{name}.{m}"


CONSTRUCTED = [  # class, args, kwargs, expected __dict__ items in order
    ("HsSpokeCmd", (), {}, [("account_name", None), ("spoke_gw_name", None),
                            ("spoke_gw_size", None), ("vpc_id", None), ("region", None),
                            ("primary", True)]),
    ("HsSpokeCmd", ("acct", "gw1", "t3.small", "vpc-1", "r-1", False), {},
     [("account_name", "acct"), ("spoke_gw_name", "gw1"), ("spoke_gw_size", "t3.small"),
      ("vpc_id", "vpc-1"), ("region", "r-1"), ("primary", False)]),
    ("DeployHsSpokeGwCmd", (), {"num_of_spoke": 2},
     [(k, None) for k in ("account_name", "spoke_gw_name", "spoke_gw_size", "vpc_id",
                          "region", "natGwInfos")] + [("num_of_spoke", 2)]),
    ("DeployClassicSpokeGwCmd", (), {},
     [(k, None) for k in ("account_name", "spoke_gw_name", "spoke_gw_size", "vpc_id",
                          "region", "natGwInfos")]),
    ("SnatCmd", ("gw1",), {}, [("spoke_gw_name", "gw1")]),
    ("ResizeSpokeGatewayCmd", ("gw1",), {"to_gw_size": "b", "from_gw_size": "a"},
     [("spoke_gw_name", "gw1"), ("from_gw_size", "a"), ("to_gw_size", "b")]),
    ("HsSpokeCreateMemento", (SPOKE_INFO,), {}, [("spoke_info", SPOKE_INFO)]),
    ("SnatEnableMemento", (), {"spoke_gw_name": "gw1"}, [("spoke_gw_name", "gw1")]),
    ("ResizeSpokeGatewayMemento", ("gw1", "a", "b"), {},
     [("spoke_gw_name", "gw1"), ("from_gw_size", "a"), ("to_gw_size", "b")]),
]


@pytest.mark.parametrize("name, args, kwargs, expected", CONSTRUCTED)
def test_constructor_stores_arguments_in_order_without_base_init(monkeypatch, name, args,
                                                                 kwargs, expected):
    def forbidden(self, *a, **k):
        raise AssertionError("base initialiser called")

    monkeypatch.setattr(Memento, "__init__", forbidden, raising=False)
    monkeypatch.setattr(AbstractCommand, "__init__", forbidden, raising=False)
    obj = getattr(spoke, name)(*args, **kwargs)
    assert list(vars(obj).items()) == expected


@pytest.mark.parametrize("name, args", [
    ("SnatCmd", ()), ("ResizeSpokeGatewayCmd", ("gw1", "a")), ("HsSpokeCreateMemento", ()),
    ("HsSpokeCmd", (1, 2, 3, 4, 5, 6, 7)), ("SnatEnableMemento", ("a", "b")),
])
def test_wrong_argument_count_is_a_type_error(name, args):
    with pytest.raises(TypeError):
        getattr(spoke, name)(*args)


@pytest.mark.parametrize("memento, keys", [
    (lambda: spoke.HsSpokeCreateMemento(SPOKE_INFO), ["spoke_info"]),
    (lambda: spoke.SnatEnableMemento("gw1"), ["spoke_gw_name"]),
    (lambda: spoke.ResizeSpokeGatewayMemento("gw1", "a", "b"),
     ["spoke_gw_name", "from_gw_size", "to_gw_size"]),
])
def test_toDict_is_the_live_attribute_dict(memento, keys):
    m = memento()
    d = m.toDict()
    assert d is m.__dict__ and list(d) == keys
    m.extra = 1
    assert d["extra"] == 1


def test_getSpokeInfo_returns_the_stored_object():
    info = {"gw_name": "gw1"}
    assert spoke.HsSpokeCreateMemento(info).getSpokeInfo() is info


# One row per command method: how to call it, the function it must reach and
# the positional arguments it must pass ("CID"/"URL" stand for the session).
CALLS = [
    ("HsSpokeCmd", lambda: spoke.HsSpokeCmd("acct", "gw1", None, "vpc-1", "r-1")
     .create("10.0.0.0/24", "198.51.100.7", "t3.small"),
     "deployPrimaryHsSpoke",
     ("CID", URL2, "acct", "gw1", "t3.small", "vpc-1", "r-1", "10.0.0.0/24", "198.51.100.7")),
    ("HsSpokeCmd", lambda: spoke.HsSpokeCmd("acct", "gw1", "c5.large", "vpc-1", "r-1")
     .create("10.0.0.0/24", None, "t3.small"),
     "deployPrimaryHsSpoke",
     ("CID", URL2, "acct", "gw1", "c5.large", "vpc-1", "r-1", "10.0.0.0/24", None)),
    ("HsSpokeCmd", lambda: spoke.HsSpokeCmd("acct", "gw1", None, "vpc-1", "r-1", primary=0)
     .create("10.0.1.0/24", "eip2", None, "gw1-ha"),
     "deployHaHsSpoke", ("CID", URL2, "gw1", None, "10.0.1.0/24", "eip2", "gw1-ha")),
    ("HsSpokeCmd", lambda: spoke.HsSpokeCmd(spoke_gw_name="gw1", spoke_gw_size="c5",
                                            primary=False).create("10.0.1.0/24", "eip2", "t3"),
     "deployHaHsSpoke", ("CID", URL2, "gw1", "c5", "10.0.1.0/24", "eip2", None)),
    ("HsSpokeCmd", lambda: spoke.HsSpokeCmd(spoke_gw_name="gw1").delete(),
     "deleteHsSpoke", ("CID", URL2, "gw1")),
    ("HsSpokeCmd", lambda: spoke.HsSpokeCmd(spoke_gw_name="gw1").delete("gw1-ha"),
     "deleteHsSpoke", ("CID", URL2, "gw1-ha")),
    ("DeployHsSpokeGwCmd", lambda: spoke.DeployHsSpokeGwCmd("a", "gw1", None, "v", "r", ["n"], 3)
     .execute(), "deployHsSpoke", ("CID", URL2, "a", "gw1", None, "v", "r", ["n"], 3)),
    ("DeployHsSpokeGwCmd", lambda: spoke.DeployHsSpokeGwCmd(spoke_gw_name="gw1").undo(),
     "deleteAllHsSpokes", ("CID", URL2, "gw1")),
    ("DeployClassicSpokeGwCmd", lambda: spoke.DeployClassicSpokeGwCmd("a", "gw1", "s", "v", "r",
                                                                      ["n"]).execute(),
     "deployClassicSpoke", ("CID", URL1, "a", "gw1", "s", "v", "r", ["n"])),
    ("DeployClassicSpokeGwCmd", lambda: spoke.DeployClassicSpokeGwCmd(spoke_gw_name="gw1").undo(),
     "deleteSpoke", ("CID", URL1, "gw1")),
    ("SnatCmd", lambda: spoke.SnatCmd("gw1").enable(), "enableSNAT", ("gw1", URL2, "CID")),
    ("SnatCmd", lambda: spoke.SnatCmd("gw1").disable(), "disable_snat", ("CID", URL2, "gw1")),
    ("ResizeSpokeGatewayCmd", lambda: spoke.ResizeSpokeGatewayCmd("gw1", "a", "b").execute(),
     "changeSpokeSize", ("CID", URL2, "gw1", "b")),
    ("HsSpokeCmd", lambda: spoke.HsSpokeCreateMemento({"gw_name": "gw1-ha"}).restore(),
     "deleteHsSpoke", ("CID", URL2, "gw1-ha")),
    ("HsSpokeCmd", lambda: spoke.HsSpokeCreateMemento({"gw_name": None}).restore(),
     "deleteHsSpoke", ("CID", URL2, None)),
    ("SnatCmd", lambda: spoke.SnatEnableMemento("gw1").restore(),
     "disable_snat", ("CID", URL2, "gw1")),
    ("ResizeSpokeGatewayCmd", lambda: spoke.ResizeSpokeGatewayMemento("gw1", "a", "b").restore(),
     "changeSpokeSize", ("CID", URL2, "gw1", "a")),
]


@pytest.mark.parametrize("logged_as, call, function, args", CALLS)
def test_method_logs_reads_session_then_calls(env, logged_as, call, function, args):
    result = call()
    assert result is None or isinstance(result, Memento)  # the function's own result is dropped
    args = tuple(CID if a == "CID" else a for a in args)
    assert env.events[:3] == [("log", logged_as), ("read", "CID"), ("read", "controller_ip")]
    assert env.calls() == [(function, args)]


@pytest.mark.parametrize("call", [c[1] for c in CALLS])
def test_session_is_read_afresh_on_every_call(env, call):
    call()
    env.globals.CID = "cid-2"
    env.globals.controller_ip = ipaddress.ip_address("127.0.0.2")
    call()
    (_, first), (_, second) = env.calls()
    assert CID in first and "cid-2" in second
    assert "https://127.0.0.2/v" in str(second)


def test_save_backup_does_nothing(env):
    assert spoke.DeployHsSpokeGwCmd().save_backup() is None and env.events == []
    assert "save_backup" not in vars(spoke.DeployClassicSpokeGwCmd)


def test_delete_logs_the_gateway(env, caplog):
    caplog.set_level(logging.INFO, logger="morvent.lib.spoke")
    spoke.HsSpokeCmd(spoke_gw_name="gw1").delete()
    spoke.HsSpokeCmd(spoke_gw_name="gw1").delete(7)
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("morvent.lib.spoke", logging.INFO, "- Delete HS spoke gateway gw1"),
        ("morvent.lib.spoke", logging.INFO, "- Delete HS spoke gateway 7"),
    ]


@pytest.mark.parametrize("primary", [True, False])
@pytest.mark.parametrize("dry_run, checked", [(False, True), (0, True), (True, False),
                                              (None, False), ("no", False)])
@pytest.mark.parametrize("result", [None, {"gw_name": None}, dict(SPOKE_INFO, gw_name=None)])
def test_create_raises_only_outside_a_dry_run(env, primary, dry_run, checked, result):
    env.globals.dry_run = dry_run
    env.results["deployPrimaryHsSpoke" if primary else "deployHaHsSpoke"] = result
    cmd = spoke.HsSpokeCmd(spoke_gw_name="gw1", primary=primary)
    if checked:
        with pytest.raises(CorvaneRollbackException) as info:
            cmd.create("10.0.0.0/24", None, "s", "gw1-ha")
        assert info.value.args == ("Spoke gateway gw1 creation failure",)
    else:
        memento = cmd.create("10.0.0.0/24", None, "s", "gw1-ha")
        assert type(memento) is spoke.HsSpokeCreateMemento and memento.spoke_info is result


def test_create_returns_memento_of_the_deployment_result(env):
    memento = spoke.HsSpokeCmd(spoke_gw_name="gw1").create("10.0.0.0/24", None, "s")
    assert memento.spoke_info is env.results["deployPrimaryHsSpoke"]
    assert list(memento.toDict()) == ["spoke_info"]


class EqualsNone(dict):
    def __eq__(self, other):
        return other is None


@pytest.mark.parametrize("result, error", [
    ({"gw_private_ip": "10.0.0.5"}, KeyError),  # no "gw_name" key
    (EqualsNone(), CorvaneRollbackException),  # second test skipped when the first holds
])
def test_create_check_failures(env, result, error):
    env.results["deployPrimaryHsSpoke"] = result
    with pytest.raises(error):
        spoke.HsSpokeCmd(spoke_gw_name="gw1").create("c", None, "s")


def test_missing_gw_name_makes_restore_fail(env):
    with pytest.raises(KeyError):
        spoke.HsSpokeCreateMemento({}).restore()
    assert env.calls() == []


def test_errors_pass_through_unchanged(env, monkeypatch):
    boom = RuntimeError("boom")

    def failing(*args):
        raise boom

    monkeypatch.setattr(spoke, "changeSpokeSize", failing)
    with pytest.raises(RuntimeError) as info:
        spoke.ResizeSpokeGatewayCmd("gw1", "a", "b").execute()
    assert info.value is boom
    monkeypatch.setattr(spoke.comm, "logOperation", failing)
    with pytest.raises(RuntimeError):
        spoke.SnatCmd("gw1").enable()
    assert env.calls() == []


def test_resize_memento_swaps_sizes_and_drops_inverse(env):
    memento = spoke.ResizeSpokeGatewayCmd("gw1", "a", "a").execute()
    assert list(memento.toDict().items()) == [
        ("spoke_gw_name", "gw1"), ("from_gw_size", "a"), ("to_gw_size", "a")]
    assert memento.restore() is None
    assert env.calls("changeSpokeSize") == [("changeSpokeSize", (CID, URL2, "gw1", "a"))] * 2


@pytest.mark.parametrize("memento, global_name, expected", [
    (lambda: spoke.HsSpokeCreateMemento({"gw_name": "gw1"}), "HsSpokeCmd",
     [("new", ()), ("delete", ("gw1",))]),
    (lambda: spoke.SnatEnableMemento("gw1"), "SnatCmd", [("new", ("gw1",)), ("disable", ())]),
    (lambda: spoke.ResizeSpokeGatewayMemento("gw1", "a", "b"), "ResizeSpokeGatewayCmd",
     [("new", ("gw1", "b", "a")), ("execute", ())]),
])
def test_restore_uses_the_module_global_command(env, monkeypatch, memento, global_name, expected):
    seen = []

    class Recording:
        def __init__(self, *args):
            seen.append(("new", args))

        def __getattr__(self, name):
            return lambda *args: seen.append((name, args))

    m = memento()
    monkeypatch.setattr(spoke, global_name, Recording)
    assert m.restore() is None
    assert seen == expected and env.events == []


@pytest.mark.parametrize("make, call, global_name", [
    (lambda: spoke.HsSpokeCmd(), lambda c: c.create("c", None, "s"), "HsSpokeCreateMemento"),
    (lambda: spoke.SnatCmd("gw1"), lambda c: c.enable(), "SnatEnableMemento"),
    (lambda: spoke.ResizeSpokeGatewayCmd("gw1", "a", "b"), lambda c: c.execute(),
     "ResizeSpokeGatewayMemento"),
])
def test_memento_class_is_looked_up_at_call_time(env, monkeypatch, make, call, global_name):
    made = []
    monkeypatch.setattr(spoke, global_name, lambda *args: made.append(args) or "memento")
    assert call(make()) == "memento" and len(made) == 1


@pytest.mark.parametrize("base, factory, build, call", [
    ("HsSpokeCmd", "_saveMememto", lambda cls: cls(spoke_gw_name="gw1"),
     lambda c: c.create("c", None, "s")),
    ("SnatCmd", "_saveMemento", lambda cls: cls("gw1"), lambda c: c.enable()),
    ("ResizeSpokeGatewayCmd", "_saveMemento", lambda cls: cls("gw1", "a", "b"),
     lambda c: c.execute()),
])
def test_python_subclass_overrides_memento_factory(env, base, factory, build, call):
    class Sub(getattr(spoke, base)):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.extra = True

    setattr(Sub, factory, lambda self, *args: ("custom", args))
    cmd = build(Sub)
    assert call(cmd)[0] == "custom" and cmd.extra
    assert env.operations() == ["Sub"]


@pytest.mark.parametrize("name", ["DeployHsSpokeGwCmd", "DeployClassicSpokeGwCmd"])
def test_python_subclass_of_deploy_command(env, name):
    class Sub(getattr(spoke, name)):
        pass

    Sub(spoke_gw_name="gw1").undo()
    assert env.operations() == ["Sub"] and isinstance(Sub(), AbstractCommand)


@pytest.mark.parametrize("memento", [
    lambda: spoke.HsSpokeCmd(spoke_gw_name="gw1").create("10.0.0.0/24", None, "s"),
    lambda: spoke.SnatCmd("gw1").enable(),
    lambda: spoke.ResizeSpokeGatewayCmd("gw1", "a", "b").execute(),
])
def test_memento_rebuilt_from_json_restores_the_same(env, memento):
    original = memento()
    cls = type(original)
    rebuilt = cls.__new__(cls)
    rebuilt.__dict__.update(json.loads(json.dumps(original.toDict())))
    del env.events[:]
    original.restore()
    first = list(env.events)
    del env.events[:]
    rebuilt.restore()
    assert env.events == first and first


def test_repeated_calls_do_not_leak(env, caplog):
    # Log records kept by the test runner would look like growth.
    caplog.set_level(logging.WARNING, logger="morvent")
    names = [type("Value", (), {})() for _ in range(3)]  # referenced by nothing else
    info = {"gw_name": names[0]}
    env.results["deployPrimaryHsSpoke"] = info

    def run():
        for _ in range(200):
            spoke.HsSpokeCmd(spoke_gw_name=names[0]).create("c", names[1], names[2]).restore()
            spoke.SnatCmd(names[0]).enable().restore()
            spoke.ResizeSpokeGatewayCmd(*names).execute().restore()
            spoke.DeployHsSpokeGwCmd(spoke_gw_name=names[0]).execute()
            spoke.DeployClassicSpokeGwCmd(spoke_gw_name=names[0]).undo()
            try:
                spoke.HsSpokeCreateMemento({}).restore()
            except KeyError:
                pass
        del env.events[:]

    run()
    gc.collect()
    counts = [sys.getrefcount(x) for x in (*names, info)]
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    run()
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    growth = sum(s.size_diff for s in after.compare_to(before, "filename"))
    assert growth < 20_000
    assert [sys.getrefcount(x) for x in (*names, info)] == counts
