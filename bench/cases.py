"""The measured cases: what is called, on what data, with which fakes.

Each case builds, for one implementation (the native module or the
interpreted reference), a `Bench`: the zero-argument call that is timed, an
optional per-round `setup` (run outside the clock), and an `observe` that
describes what the call did, for the equivalence check.  Builders install
their fakes through `ctx.patch` (pytest's monkeypatch or a `fakes.Patcher`),
so everything is put back afterwards.
"""

from __future__ import annotations

import importlib
import types
from dataclasses import dataclass, field
from typing import Any, Callable

import fakes
from fakes import CID, URL, ok, gateway_record, nat_info

SPOKE = "morvent.lib.spoke"
BRINDLEMARK = "morvent.commands.brindlemark"
CONFIG = {"name": "benchmark configuration"}


@dataclass
class Bench:
    call: Callable[[], Any]
    setup: Callable[[], None] | None = None
    observe: Callable[[], Any] = lambda: None


class Context:
    """What a builder needs: a patcher, and whether to record requests."""

    def __init__(self, patch, record: bool = False) -> None:
        self.patch = patch
        self.record = record
        self.operations = fakes.Operations(record)
        self.transport: fakes.Transport | None = None

    def spoke(self, module, by_action=None, info=None, summary=None, dry_run: Any = False):
        cls = fakes.Recorder if self.record else fakes.Transport
        self.transport = cls(by_action, info, summary)
        fakes.install_spoke(self.patch, module, self.transport, self.operations, dry_run)
        return self.transport

    def observed(self) -> dict:
        t = self.transport
        return {"requests": getattr(t, "log", None), "operations": self.operations.names}


@dataclass
class Case:
    name: str
    native: str                     # module path of the native implementation
    build: Callable[[Any, Context], Bench]
    logging: str = "quiet"          # "quiet" (WARNING) or "info" (INFO into a sink)
    rounds: int = 0                 # > 0: timed one call per round, with setup
    note: str = ""

    def module(self, impl: str):
        if impl == "native":
            return importlib.import_module(self.native)
        return importlib.import_module("reference")


CASES: list[Case] = []


def case(name: str, native: str = SPOKE, **kwargs):
    def register(build):
        CASES.append(Case(name, native, build, **kwargs))
        return build
    return register


# -- queries -------------------------------------------------------------------

def _ha_record(n: int) -> dict:
    record = gateway_record("spoke-gw", "10.1.0.0/24")
    record["hagw_details_list"] = [
        gateway_record(f"spoke-gw-hagw{i}", f"10.2.{i // 250}.{i % 250}/32") for i in range(n)]
    return record


@case("getSpokeInfo, 1,000 HA entries, match at the end")
def _(m, ctx):
    info = _ha_record(1000)
    last = info["hagw_details_list"][-1]["public_subnet"]
    return Bench(lambda: m.getSpokeInfo(info, last))


@case("getSpokeInfo, 1,000 HA entries, no match")
def _(m, ctx):
    info = _ha_record(1000)
    return Bench(lambda: m.getSpokeInfo(info, "192.0.2.0/24"))


def _gateway_info(name: str, cidr: str) -> fakes.Response:
    return ok({"gw_name": name, "gw_subnet_cidr": cidr, "vpc_id": "vpc-1",
               "vpc_size": "t3.small", "cloud_type": 1})


@case("getSubnetWithSpokeGw, 1,000 names")
def _(m, ctx):
    names = [f"spoke-gw-hagw{i}" for i in range(1000)]
    ctx.spoke(m, info={n: _gateway_info(n, f"10.3.{i // 250}.{i % 250}/32")
                       for i, n in enumerate(names)})
    return Bench(lambda: m.getSubnetWithSpokeGw(CID, URL, names), observe=ctx.observed)


@case("getSubnetWithSpokeGw, 1,000 names, lambda fakes")
def _(m, ctx):
    # The fakes in their plainest shape, as an outside benchmark writes them:
    # a module whose get is a lambda taking anything and making a new answer,
    # handlers that are lambdas too.
    names = [f"spoke-gw-hagw{i}" for i in range(1000)]
    body = {"return": True, "results": {"gw_name": "spoke-gw-hagw0",
                                        "gw_subnet_cidr": "10.3.0.0/32"}}
    requests = types.ModuleType("requests")
    requests.get = lambda *a, **k: LambdaResponse(body)
    requests.post = lambda *a, **k: LambdaResponse(body)
    ctx.spoke(m)
    ctx.patch.setattr(m, "requests", requests)
    ctx.patch.setattr(m, "handleControllerApiFailure", lambda r: True)
    ctx.patch.setattr(m, "handleControllerApiFailureAndExit", lambda r: None)
    return Bench(lambda: m.getSubnetWithSpokeGw(CID, URL, names))


class LambdaResponse:
    """An answer as a plain class makes it: attributes in the instance."""

    def __init__(self, body: Any) -> None:
        self.body = body

    def json(self) -> Any:
        return self.body


# -- deployment ----------------------------------------------------------------

@case("deployHsSpoke, 1,000 listed gateways, all 6 subnets taken")
def _(m, ctx):
    names = ["spoke-gw"] + [f"spoke-gw-hagw{i}" for i in range(1, 1000)]
    # Gateway i sits in subnet 10.0.i/24 (and 10.k.*/24 beyond 250), so the
    # six NAT gateways' subnets 10.0.0-5.0/24 are all taken.
    cidr = {n: f"10.{i // 250}.{i % 250}.0/24" for i, n in enumerate(names)}
    ctx.spoke(m, by_action={"list_primary_and_ha_spoke_gateways":
                            ok([{"name": n, "vpc_id": "vpc-1"} for n in names])},
              info={n: _gateway_info(n, c) for n, c in cidr.items()})
    infos = [nat_info(i) for i in range(6)]
    return Bench(lambda: m.deployHsSpoke(CID, URL, "acct-1", "spoke-gw", None, "vpc-1",
                                         "us-east-1", infos, 6),
                 observe=ctx.observed)


# -- deletion ------------------------------------------------------------------

def _listing_10000() -> fakes.Response:
    """The primary, 4,999 of its HA gateways and 5,000 other gateways, mixed."""
    names = ["spoke-gw"]
    for i in range(1, 5000):
        names += [f"spoke-gw-hagw{i}", f"other-gw{i}"]
    names.append("other-gw0")
    return ok([{"name": n, "vpc_id": "vpc-1"} for n in names])


@case("deleteAllHsSpokes, 10,000 listed, dry run",
      note="5,000 deleteHsSpoke calls that return at once")
def _(m, ctx):
    ctx.spoke(m, by_action={"list_primary_and_ha_spoke_gateways": _listing_10000()},
              dry_run=True)
    return Bench(lambda: m.deleteAllHsSpokes(CID, URL, "spoke-gw"), observe=ctx.observed)


def _delete_all_live(m, ctx):
    ctx.spoke(m, by_action={"list_primary_and_ha_spoke_gateways": _listing_10000()})
    return Bench(lambda: m.deleteAllHsSpokes(CID, URL, "spoke-gw"), observe=ctx.observed)


case("deleteAllHsSpokes, 10,000 listed, live",
     note="5,000 deletion requests to the fake transport")(_delete_all_live)
case("deleteAllHsSpokes, 10,000 listed, live", logging="info")(_delete_all_live)


# -- commands and mementos -------------------------------------------------------

def _spoke_world(m, ctx):
    """A controller that creates, describes, lists and deletes spoke gateways."""
    primary = gateway_record("spoke-gw", "10.0.0.0/24")
    primary["hagw_details_list"] = [gateway_record("spoke-gw-hagw", "10.0.1.0/24")]
    ha = gateway_record("spoke-gw-hagw", "10.0.1.0/24")
    return ctx.spoke(m, by_action={
        "create_multicloud_primary_gateway": ok("spoke-gw created"),
        "create_multicloud_ha_gateway": ok("spoke-gw-hagw created"),
        "create_spoke_gw": ok("spoke-gw created"),
        "enable_spoke_ha": ok("HA enabled"),
        "list_primary_and_ha_spoke_gateways": ok([{"name": "spoke-gw"},
                                                  {"name": "spoke-gw-hagw"}]),
    }, info={
        "spoke-gw": ok({"gw_name": "spoke-gw", "vpc_size": "t3.small"}),
    }, summary={
        "spoke-gw": ok([primary]),
        "spoke-gw-hagw": ok([ha]),
    })


def _describe(result: Any) -> Any:
    if hasattr(result, "toDict"):
        return type(result).__name__, dict(result.toDict())
    return result


def _command(name: str, make: Callable[[Any], Callable[[], Any]], **kwargs):
    def build(m, ctx):
        _spoke_world(m, ctx)
        return Bench(make(m), observe=ctx.observed)
    case(name, **kwargs)(build)


def _create(primary: bool):
    def make(m):
        cmd = m.HsSpokeCmd(account_name="acct-1", spoke_gw_name="spoke-gw", spoke_gw_size=None,
                           vpc_id="vpc-1", region="us-east-1", primary=primary)
        return lambda: cmd.create("10.0.1.0/24" if not primary else "10.0.0.0/24",
                                  "198.51.100.7", "t3.small")
    return make


_command("HsSpokeCmd.create, primary", _create(True))
_command("HsSpokeCmd.create, HA", _create(False))
_command("HsSpokeCmd.delete",
         lambda m: m.HsSpokeCmd(spoke_gw_name="spoke-gw").delete)
_command("HsSpokeCreateMemento.restore",
         lambda m: m.HsSpokeCreateMemento({"gw_name": "spoke-gw-hagw"}).restore)
_command("SnatCmd.enable", lambda m: m.SnatCmd("spoke-gw").enable)
_command("SnatCmd.enable", lambda m: m.SnatCmd("spoke-gw").enable, logging="info")
_command("SnatCmd.disable", lambda m: m.SnatCmd("spoke-gw").disable)
_command("SnatEnableMemento.restore", lambda m: m.SnatEnableMemento("spoke-gw").restore)
_command("ResizeSpokeGatewayCmd.execute",
         lambda m: m.ResizeSpokeGatewayCmd("spoke-gw", "t3.small", "t3.large").execute)
_command("ResizeSpokeGatewayMemento.restore",
         lambda m: m.ResizeSpokeGatewayMemento("spoke-gw", "t3.large", "t3.small").restore)


def _two_nats():
    return [nat_info(0), nat_info(1)]


_command("DeployHsSpokeGwCmd.execute, 2 NAT gateways, none deployed",
         lambda m: m.DeployHsSpokeGwCmd("acct-1", "new-gw", None, "vpc-1", "us-east-1",
                                        _two_nats(), 2).execute)
_command("DeployHsSpokeGwCmd.undo, primary and 1 HA",
         lambda m: m.DeployHsSpokeGwCmd("acct-1", "spoke-gw").undo)
_command("DeployClassicSpokeGwCmd.execute, 2 NAT gateways",
         lambda m: m.DeployClassicSpokeGwCmd("acct-1", "spoke-gw", None, "vpc-1", "us-east-1",
                                             _two_nats()).execute)
_command("DeployClassicSpokeGwCmd.undo",
         lambda m: m.DeployClassicSpokeGwCmd("acct-1", "spoke-gw").undo)


# -- NAT gateway replacement -----------------------------------------------------

def _manager(completed: bool):
    def build(m, ctx):
        world = fakes.ManagerWorld(6)
        world.install(ctx.patch, m)
        setup = world.completed if completed else world.fresh
        setup()

        def observe():
            return {"history": [(x.label, begin) for x, begin in world.history],
                    "records": world.stored}

        return Bench(lambda: m.Manager.execute(CONFIG), setup=setup, observe=observe)
    return build


case("Manager.execute, 6 NAT gateways, fresh run", BRINDLEMARK, rounds=300,
     note="17 steps recorded")(_manager(False))
case("Manager.execute, 6 NAT gateways, fresh run", BRINDLEMARK, rounds=300,
     logging="info")(_manager(False))
case("Manager.execute, 6 NAT gateways, completed run", BRINDLEMARK, rounds=300,
     note="every step skipped")(_manager(True))


def describe(result: Any) -> Any:
    """A comparable description of a call's result."""
    return _describe(result)
