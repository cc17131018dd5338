"""The interpreted reference of bench/ must keep doing what the native modules
do, or the benchmark figures compare different work.

Each benchmark case runs once in each, with recording fakes; requests,
operation log, log lines, results and the state left behind must be equal.
"""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from cases import CASES  # noqa: E402
from check import differences  # noqa: E402


@pytest.mark.parametrize("case", CASES, ids=[f"{c.name} [{c.logging}]" for c in CASES])
def test_reference_does_what_the_native_module_does(case):
    assert differences(case) == []


# -- the outcome of a step whose answer is refused, lost or unusable ------------

import json  # noqa: E402
import logging  # noqa: E402

import reference  # noqa: E402
import requests  # noqa: E402
from spoke_fakes import CID, URL, FakeResponse, World, failed, gateway_record, ok  # noqa: E402

from morvent.core.exceptions import UnrecordedGateway  # noqa: E402
from morvent.lib import spoke  # noqa: E402


def _lost(payload):
    raise requests.ReadTimeout(f"Read timed out: /v2/api?CID={CID}")


def _html(payload):
    return FakeResponse(error=json.JSONDecodeError("Expecting value", "<html>", 0))


_PRIMARY = gateway_record("gw1", "10.0.1.0/24", ha=[gateway_record("gw1-hagw", "10.0.2.0/24")])
_LIST = "list_primary_and_ha_spoke_gateways"
_SIZES = [ok({"vpc_size": "t3.small"}), ok({"vpc_size": "t3.large"})]

# name: (controller answers by action, the call on the module)
OUTCOMES = {
    "create, answer lost, gateway found": (
        {"create_multicloud_primary_gateway": _lost, "list_vpcs_summary": ok([_PRIMARY])},
        lambda m: m.deployPrimaryHsSpoke(CID, URL, "a", "gw1", "s", "v", "r", "10.0.1.0/24")),
    "create HA, HTTP 500, look-up record unusable": (
        {"create_multicloud_ha_gateway": _html, "list_vpcs_summary": ok([{"gw_name": "gw1"}])},
        lambda m: m.deployHaHsSpoke(CID, URL, "gw1", "s", "10.0.2.0/24", "1.2.3.4")),
    "create refused without results, found": (
        {"create_multicloud_primary_gateway": {"return": False, "reason": "exists"},
         "list_vpcs_summary": ok([_PRIMARY])},
        lambda m: m.HsSpokeCmd("a", "gw1").create("10.0.1.0/24", "1.2.3.4", "s").toDict()),
    "create answer without return, not found": (
        {"create_multicloud_primary_gateway": {"reason": "x"},
         "list_vpcs_summary": failed("no gw1")},
        lambda m: m.HsSpokeCmd("a", "gw1").create("10.0.1.0/24", None, "s")),
    "resize refused, then confirmed": (
        {"change_gateway_size": failed("busy"), "get_gateway_info": list(_SIZES)},
        lambda m: m.ResizeSpokeGatewayCmd("gw1", "t3.small", "t3.large").execute().toDict()),
    "resize answer lost, not confirmed": (
        {"change_gateway_size": _lost, "get_gateway_info": _SIZES[:1]},
        lambda m: m.changeSpokeSize(CID, URL, "gw1", "t3.large")),
    "resize, size unreadable": (
        {"get_gateway_info": ok({})},
        lambda m: m.changeSpokeSize(CID, URL, "gw1", "t3.large")),
    "resize undo, gateway gone": (
        {"get_gateway_info": failed("no gw1"), _LIST: ok([])},
        lambda m: m.ResizeSpokeGatewayMemento("gw1", "t3.small", "t3.large").restore()),
    "resize undo, gateway still there": (
        {"get_gateway_info": failed("no gw1"), _LIST: ok([{"name": "gw1"}])},
        lambda m: m.ResizeSpokeGatewayMemento("gw1", "t3.small", "t3.large").restore()),
    "delete refused, gateway gone": (
        {"delete_multicloud_gateway": failed("no gw1"), _LIST: ok([{"name": "x"}])},
        lambda m: m.HsSpokeCreateMemento({"gw_name": "gw1"}).restore()),
    "delete answer lost, listing refused": (
        {"delete_multicloud_gateway": _lost, _LIST: failed("busy")},
        lambda m: m.deleteHsSpoke(CID, URL, "gw1")),
    "classic delete refused, still there": (
        {"delete_container": failed("busy"), "list_vpcs_summary": ok([_PRIMARY])},
        lambda m: m.deleteSpoke(CID, URL, "gw1")),
    "classic delete refused, gone": (
        {"delete_container": failed("busy"),
         "list_vpcs_summary": ok([gateway_record("other", "10.0.9.0/24")])},
        lambda m: m.deleteSpoke(CID, URL, "gw1")),
    "create confirmed, seen at the second look-up": (
        {"create_multicloud_primary_gateway": ok("gw1 created"),
         "list_vpcs_summary": [ok([]), ok([_PRIMARY])]},
        lambda m: m.deployPrimaryHsSpoke(CID, URL, "a", "gw1", "s", "v", "r", "10.0.1.0/24")),
    "create HA confirmed, found through its primary": (
        {"create_multicloud_ha_gateway": ok({"gw": "x"}), "list_vpcs_summary": ok([_PRIMARY])},
        lambda m: m.deployHaHsSpoke(CID, URL, "gw1", "s", "10.0.2.0/24")),
    "create confirmed, never seen": (
        {"create_multicloud_primary_gateway": ok("gw1 created"), "list_vpcs_summary": _lost},
        lambda m: m.deployPrimaryHsSpoke(CID, URL, "a", "gw1", "s", "v", "r", "10.0.1.0/24",
                                         "1.2.3.4")),
    "delete all, HA deletion refused": (
        {_LIST: ok([{"name": "gw1"}, {"name": "gw1-hagw"}]),
         "delete_multicloud_gateway": failed("busy")},
        lambda m: m.DeployHsSpokeGwCmd(spoke_gw_name="gw1").undo()),
    "SNAT off refused, record says off": (
        {"disable_snat": failed("busy"), _LIST: ok([{"name": "gw1"}]),
         "get_gateway_info": ok({"snat": False})},
        lambda m: m.SnatEnableMemento("gw1").restore()),
    "SNAT off lost, listing unusable, still on": (
        {"disable_snat": _lost, _LIST: ok("gw1"), "get_gateway_info": ok({"snat": True})},
        lambda m: m.disable_snat(CID, URL, "gw1")),
    "SNAT on, HTTP 500": (
        {"enable_snat": _html}, lambda m: m.SnatCmd("gw1").enable()),
    "SNAT on, success without results": (
        {"enable_snat": {"return": True}}, lambda m: m.enableSNAT("gw1", URL, CID)),
}


def _observe(monkeypatch, module, logger_name, answers, call):
    records = []
    handler = logging.Handler()
    handler.emit = lambda record: records.append((record.levelname, record.getMessage()))
    logger = logging.getLogger(logger_name)
    monkeypatch.setattr(logger, "handlers", [handler])
    monkeypatch.setattr(logger, "propagate", False)
    monkeypatch.setattr(logger, "level", logging.INFO)
    world = World(monkeypatch, module=module)
    for action, answer in answers.items():
        world.answer(action, list(answer) if isinstance(answer, list) else answer)
    try:
        outcome = ("returned", call(module))
    except (Exception, UnrecordedGateway) as e:  # noqa: BLE001 - compared, not handled
        outcome = ("raised", type(e).__name__, str(e))
    requests_sent = [(r.method, r.url, list(r.kwargs), r.items, r.kwargs["verify"],
                      r.kwargs["timeout"]) for r in world.requests]
    return outcome, requests_sent, world.controller.transport_calls, world.operations, records


@pytest.mark.parametrize("name", OUTCOMES)
def test_reference_mirrors_every_step_outcome(monkeypatch, name):
    answers, call = OUTCOMES[name]
    native = _observe(monkeypatch, spoke, "morvent.lib.spoke", answers, call)
    interpreted = _observe(monkeypatch, reference, "reference", answers, call)
    assert native == interpreted
    assert native[4], "the scenario logged nothing"
