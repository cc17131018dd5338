"""The native modules keep module globals, logging.getLogger's answer and the
verdict of a disabled logger.info between calls.  Whatever a caller changes
in between must show on the very next call, exactly as in interpreted code.

Each scenario runs in the native module and in its interpreted twin
(bench/reference.py): a step changes something, then two calls follow, and
the lines each call logged (or what a replacement recorded) must be the same
in both and the ones expected.
"""

import builtins
import logging
import sys
import types
from pathlib import Path

import pytest

from morvent.lib import spoke
from spoke_fakes import CID, URL, World, make_globals, world  # noqa: F401

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import reference  # noqa: E402  (the interpreted twin of the module)

LINE = "- Enable Single IP SNAT on spoke gateway gw1"
LOGGER_OF = {spoke: "morvent.lib.spoke", reference: "reference"}


class Context:
    """What a step can reach: the implementation's logger and a shared sink."""

    def __init__(self, mp, module):
        self.mp = mp
        self.module = module
        self.name = LOGGER_OF[module]
        self.log = logging.getLogger(self.name)
        self.seen = []
        self.undo = []

    def sink(self, tag):
        """A handler that notes (tag, message) of each record it gets."""
        seen = self.seen

        class Sink(logging.Handler):
            def emit(self, record):
                seen.append((tag, record.getMessage()))

        return Sink(logging.DEBUG)

    def noted(self, tag):
        """A stand-in for info(): notes (tag, message)."""
        return lambda *args: self.seen.append((tag, args[-1]))

    def set_level(self, logger, level, clear=True):
        """setLevel(), or with clear=False only the attribute (the manager's
        cache keeps its answers); undone through setLevel() either way."""
        old = logger.level
        self.undo.append(lambda: logger.setLevel(old))
        if clear:
            logger.setLevel(level)
        else:
            logger.level = level

    def shadow(self, obj, name, value):
        """`obj.<name> = value` on the instance, deleted afterwards
        (monkeypatch would leave the class's bound method behind)."""
        setattr(obj, name, value)
        self.undo.append(lambda: delattr(obj, name))

    def disable(self, level):
        old = logging.root.manager.disable
        self.undo.append(lambda: logging.disable(old))
        logging.disable(level)

    def fake_logging(self):
        """A getLogger that hands out a logger of its own, and that logger."""
        fake = types.SimpleNamespace(info=lambda message: self.seen.append(("fake", message)))
        return (lambda name=None: fake), fake


def run(module, steps):
    """The lines seen after each step, two calls per step."""
    with pytest.MonkeyPatch.context() as mp:
        world = World(mp, module=module)
        world.globals.dry_run = True
        ctx = Context(mp, module)
        mp.setattr(ctx.log, "handlers", [ctx.sink("log")])
        mp.setattr(ctx.log, "propagate", False)
        mp.setattr(ctx.log, "disabled", False)
        ctx.set_level(ctx.log, logging.WARNING)
        result = []
        try:
            for step in steps:
                step(ctx)
                for _ in range(2):
                    ctx.seen.clear()
                    module.enableSNAT("gw1", URL, CID)
                    result.append(list(ctx.seen))
        finally:
            for undo in reversed(ctx.undo):
                undo()
    logging.Logger.manager._clear_cache()
    return result


def nothing(ctx):
    pass


def at_info(ctx):
    ctx.set_level(ctx.log, logging.INFO)


def ancestor_quiet(ctx):
    ctx.set_level(ctx.log, logging.NOTSET)
    ctx.set_level(ctx.log.parent, logging.WARNING)


def loud(ctx):
    seen = ctx.seen

    class Loud(logging.Logger):
        def info(self, msg, *args, **kwargs):
            seen.append(("loud", msg))

    ctx.mp.setattr(ctx.log, "__class__", Loud)


def other_logger(ctx):
    other = logging.Logger(ctx.name, logging.INFO)
    other.addHandler(ctx.sink("other"))
    ctx.mp.setitem(logging.Logger.manager.loggerDict, ctx.name, other)


def root_named_like_the_module(ctx):
    ctx.mp.setattr(logging.root, "handlers", [ctx.sink("root")])
    ctx.set_level(logging.root, logging.INFO)
    ctx.mp.setattr(logging.root, "name", ctx.name)


def patched_getlogger(ctx):
    get, _ = ctx.fake_logging()
    ctx.mp.setattr(logging, "getLogger", get)


def replaced_logging_global(ctx):
    get, _ = ctx.fake_logging()
    ctx.mp.setattr(ctx.module, "logging", types.SimpleNamespace(getLogger=get))


def patched_manager_getlogger(ctx):
    _, fake = ctx.fake_logging()
    ctx.mp.setattr(logging.Manager, "getLogger", lambda self, name: fake)


def getlogger_on_the_manager(ctx):
    _, fake = ctx.fake_logging()
    ctx.shadow(logging.Logger.manager, "getLogger", lambda name: fake)


def replaced_manager(ctx):
    _, fake = ctx.fake_logging()
    ctx.mp.setattr(logging.Logger, "manager",
                   types.SimpleNamespace(getLogger=lambda name: fake))


LOGGED = [("log", LINE)]
PATCHED = [("patched", LINE)]
FAKE = [("fake", LINE)]

# name: [(step, lines each of the two following calls leaves), ...]
SCENARIOS = {
    "setLevel on the logger": [(nothing, []), (at_info, LOGGED)],
    "setLevel on an ancestor": [
        (ancestor_quiet, []), (lambda c: c.set_level(c.log.parent, logging.INFO), LOGGED)],
    "logging.disable": [(at_info, LOGGED), (lambda c: c.disable(logging.INFO), [])],
    "logging.disable lifted": [
        (lambda c: (at_info(c), c.disable(logging.CRITICAL)), []),
        (lambda c: c.disable(logging.NOTSET), LOGGED)],
    "logger.disabled": [(at_info, LOGGED), (lambda c: c.mp.setattr(c.log, "disabled", True), [])],
    "logger.disabled lifted": [
        (lambda c: (at_info(c), c.mp.setattr(c.log, "disabled", True)), []),
        (lambda c: c.mp.setattr(c.log, "disabled", False), LOGGED)],
    "level set, then the manager's cache cleared": [
        (nothing, []),
        (lambda c: c.set_level(c.log, logging.INFO, clear=False), []),  # the cache still answers
        (lambda c: logging.Logger.manager._clear_cache(), LOGGED)],
    "a handler added": [
        (lambda c: (at_info(c), c.mp.setattr(c.log, "handlers", [])), []),
        (lambda c: c.log.addHandler(c.sink("log")), LOGGED)],
    "a patched Logger.info": [
        (nothing, []), (lambda c: c.mp.setattr(logging.Logger, "info", c.noted("patched")), PATCHED)],
    "info set on the logger": [
        (nothing, []),
        (lambda c: c.shadow(c.log, "info", c.noted("patched")), PATCHED)],
    "a patched Logger.isEnabledFor": [
        (nothing, []),
        (lambda c: c.mp.setattr(logging.Logger, "isEnabledFor", lambda self, level: True),
         LOGGED)],
    "a patched Logger._log": [
        (at_info, LOGGED),
        (lambda c: c.mp.setattr(logging.Logger, "_log",
                                lambda self, level, msg, args, **kw: c.noted("patched")(msg)),
         PATCHED)],
    "_log set on the logger": [
        (at_info, LOGGED),
        (lambda c: c.shadow(c.log, "_log", lambda level, msg, args: c.noted("patched")(msg)),
         PATCHED)],
    "logging.INFO rebound": [
        (nothing, []), (lambda c: c.mp.setattr(logging, "INFO", logging.ERROR), LOGGED)],
    "the logger's class changed": [(nothing, []), (loud, [("loud", LINE)])],
    "a patched logging.getLogger": [(nothing, []), (patched_getlogger, FAKE)],
    "a replaced logging module global": [(nothing, []), (replaced_logging_global, FAKE)],
    "a patched Manager.getLogger": [(nothing, []), (patched_manager_getlogger, FAKE)],
    "getLogger set on the manager": [(nothing, []), (getlogger_on_the_manager, FAKE)],
    "Logger.manager replaced": [(nothing, []), (replaced_manager, FAKE)],
    "a replaced logger object": [(nothing, []), (other_logger, [("other", LINE)])],
    "root named like the module": [(nothing, []), (root_named_like_the_module, [("root", LINE)])],
}


@pytest.mark.parametrize("name", SCENARIOS)
def test_a_change_between_calls_shows_on_the_next_call(name):
    steps = [step for step, _ in SCENARIOS[name]]
    expected = [lines for _, lines in SCENARIOS[name] for _ in range(2)]
    native, interpreted = run(spoke, steps), run(reference, steps)
    assert native == interpreted
    assert native == expected


def test_a_record_names_the_python_caller(world, caplog):
    """An enabled logger gets the record its own info() would have made."""
    caplog.set_level(logging.INFO, logger=LOGGER_OF[spoke])

    def caller():
        spoke.enableSNAT("gw1", URL, CID)  # the line the record names

    caller()
    caller()  # the second call takes the shortcut
    line = caller.__code__.co_firstlineno + 1
    assert [(r.funcName, r.lineno, r.pathname, r.levelno, r.args) for r in caplog.records
            if r.getMessage() == LINE] == [("caller", line, __file__, logging.INFO, ())] * 2


# -- module globals ------------------------------------------------------------

def test_a_module_global_replaced_between_calls_is_used(world):
    spoke.enableSNAT("gw1", URL, CID)
    world.monkeypatch.setattr(spoke, "Globals", make_globals(dry_run=True))
    spoke.enableSNAT("gw1", URL, CID)
    assert len(world.requests) == 1


def test_a_module_global_deleted_between_calls_is_a_name_error(world):
    spoke.enableSNAT("gw1", URL, CID)
    world.monkeypatch.delattr(spoke, "Globals")
    with pytest.raises(NameError, match="name 'Globals' is not defined"):
        spoke.enableSNAT("gw1", URL, CID)


def test_builtins_and_a_module_global_over_them_are_looked_up_anew(world, monkeypatch):
    """deployHsSpoke counts its HA gateways with range(): the builtin, a
    replacement of the builtin, a module global of that name, the builtin
    again once the global is gone."""
    world.answer("list_primary_and_ha_spoke_gateways", {"return": True, "results": []})
    record = {"public_subnet": "10.0.0.0/24", "private_ip": "ip", "gw_name": "gw1",
              "public_ip": "eip", "gw_subnet_id": "subnet-0",
              "hagw_details_list": [{"public_subnet": "10.0.1.0/24", "private_ip": "ip",
                                     "gw_name": "gw1-hagw", "public_ip": "eip",
                                     "gw_subnet_id": "subnet-1"}]}
    world.answer("list_vpcs_summary", {"return": True, "results": [record]})
    nats = [types.SimpleNamespace(subnet_cidr=f"10.0.{i}.0/24", nat_gw_id=f"nat-{i}",
                                  gateway_size="t3.small") for i in range(2)]
    calls = []
    real_range = builtins.range

    def counted(tag):
        def fake(*args):
            calls.append(tag)
            return real_range(*args)
        return fake

    def deploy():
        spoke.deployHsSpoke(CID, URL, "acct", "gw1", None, "vpc-1", "us-east-1", nats, 2)

    deploy()
    monkeypatch.setattr(builtins, "range", counted("builtin"))
    deploy()
    monkeypatch.setattr(spoke, "range", counted("global"), raising=False)
    deploy()
    monkeypatch.delattr(spoke, "range")
    deploy()
    assert calls == ["builtin", "global", "builtin"]


# -- a module function calling another one -------------------------------------

@pytest.mark.parametrize("stand_in, expected", [
    # the same parameters: it runs, with the arguments deleteAllHsSpokes gives
    ("disable_snat", ["list_primary_and_ha_spoke_gateways", "disable_snat"]),
    # arguments it cannot take: its own TypeError, as when Python calls it
    ("getSpokeInfo", TypeError),
])
def test_a_module_function_called_under_another_name(world, stand_in, expected):
    world.answer("list_primary_and_ha_spoke_gateways", {"return": True, "results": []})
    world.monkeypatch.setattr(spoke, "deleteHsSpoke", getattr(spoke, stand_in))
    if expected is TypeError:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            spoke.deleteAllHsSpokes(CID, URL, "gw1")
    else:
        spoke.deleteAllHsSpokes(CID, URL, "gw1")
        assert world.controller.actions == expected


# -- attributes of a module ----------------------------------------------------

class _Answer:
    def __init__(self, tag):
        self.tag = tag

    def json(self):
        return {"return": True, "results": {"gw_name": self.tag, "gw_subnet_cidr": "10.0.0.0/24"}}


def _get(tag):
    return lambda *args, **kwargs: _Answer(tag)


class _PropertyModule(types.ModuleType):
    """A module type of its own: its property comes before the module dict."""

    @property
    def get(self):
        return _get("property")


def _module_attribute_steps(requests):
    """(what is done to `requests`, then a call): every way its `get` can change."""
    yield "bound", lambda: None
    yield "replaced", lambda: setattr(requests, "get", _get("replaced"))
    yield "deleted", lambda: delattr(requests, "get")
    yield "__getattr__", lambda: setattr(requests, "__getattr__", lambda name: _get("dynamic"))
    yield "bound again", lambda: setattr(requests, "get", _get("again"))
    yield "dict cleared", lambda: requests.__dict__.clear()


@pytest.mark.parametrize("module", [spoke, reference], ids=["native", "reference"])
def test_a_module_attribute_changed_between_calls_shows_on_the_next_call(module, monkeypatch):
    requests = types.ModuleType("requests")
    requests.get = _get("bound")
    monkeypatch.setattr(module, "requests", requests)
    monkeypatch.setattr(module, "Globals", make_globals())
    seen = []
    for _, step in _module_attribute_steps(requests):
        step()
        for _ in range(2):
            try:
                seen.append(module.getSubnetWithSpokeGw(CID, URL, ["gw1"])[0]["gw_name"])
            except AttributeError as e:
                seen.append(f"AttributeError: {e}")
    missing = "AttributeError: module 'requests' has no attribute 'get'"
    gone = "AttributeError: module has no attribute 'get'"
    assert seen == ["bound"] * 2 + ["replaced"] * 2 + [missing] * 2 + ["dynamic"] * 2 \
        + ["again"] * 2 + [gone] * 2
    monkeypatch.setattr(module, "requests", _PropertyModule("requests"))
    module.requests.__dict__["get"] = _get("dict")
    assert module.getSubnetWithSpokeGw(CID, URL, ["gw1"])[0]["gw_name"] == "property"
