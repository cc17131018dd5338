"""Unit tests of the spoke gateway deployment, deletion, SNAT and size
functions, against recording fakes of requests, the failure handlers and
Globals."""

import gc
import json
import logging
import re
import sys
import tracemalloc

import pytest
import requests

from morvent.core.exceptions import CorvaneRollbackException, UnrecordedGateway
from morvent.lib import spoke
from spoke_fakes import (CID, LOGGER, TIMEOUT, URL, VERIFY, FakeResponse, ProcessEnded, failed,
                         gateway_record, messages, nat, ok, spoke_info,
                         world)  # noqa: F401  (fixture)

NATS = [nat("10.0.1.0/24", "nat-1", "t3.small"), nat("10.0.2.0/24", "nat-2", "t3.medium"),
        nat("10.0.3.0/24", "nat-3", "t3.large")]
PRIMARY = gateway_record("gw1", "10.0.1.0/24", ha=[gateway_record("gw1-hagw", "10.0.2.0/24")])

# One ordinary call of each function, by position.
CALLS = {
    "deployClassicSpoke": (CID, URL, "acct", "gw1", None, "vpc-1", "us-east-1", NATS[:2]),
    "deployPrimaryHsSpoke": (CID, URL, "acct", "gw1", "t3.small", "vpc-1", "us-east-1",
                             "10.0.1.0/24"),
    "deployHaHsSpoke": (CID, URL, "gw1", "t3.small", "10.0.2.0/24"),
    "deployHsSpoke": (CID, URL, "acct", "gw1", None, "vpc-1", "us-east-1", NATS, 2),
    "deleteSpoke": (CID, URL, "gw1"),
    "deleteHsSpoke": (CID, URL, "gw1"),
    "deleteAllHsSpokes": (CID, URL, "gw1"),
    "enableSNAT": ("gw1", URL, CID),
    "disable_snat": (CID, URL, "gw1"),
    "changeSpokeSize": (CID, URL, "gw1", "t3.large"),
}

SIGNATURES = {
    "changeSpokeSize": "CID controller_api_url spoke_gw_name spoke_gw_size",
    "deployClassicSpoke": "CID controller_api_url account_name spoke_gw_name spoke_gw_size vpc "
                          "region natGwInfos",
    "deployPrimaryHsSpoke": "CID controller_api_url account_name spoke_gw_name gw_size vpc region "
                            "subnet_cidr eip=None",
    "deployHaHsSpoke": "CID controller_api_url spoke_gw_name gw_size subnet_cidr eip=None "
                       "ha_gw_name=None",
    "deployHsSpoke": "CID controller_api_url account_name spoke_gw_name spoke_gw_size vpc region "
                     "natGwInfos num_of_spoke",
    "deleteSpoke": "CID controller_api_url spoke_gw_name",
    "deleteHsSpoke": "CID controller_api_url spoke_gw_name",
    "deleteAllHsSpokes": "CID controller_api_url spoke_gw_name",
    "enableSNAT": "spoke_gw_name controller_api_url CID",
    "disable_snat": "CID controller_api_url spoke_gw_name",
}


@pytest.fixture
def std(world):
    """The world with a controller that knows gw1 (HA gw1-hagw) and whose
    listing shows gw1-hagw in an unrelated subnet plus a foreign gateway."""
    world.answer("list_primary_and_ha_spoke_gateways", ok([{"name": "gw1-hagw"}, {"name": "other"}]))
    world.answer("get_gateway_info", ok({"gw_name": "gw1-hagw", "gw_subnet_cidr": "10.0.9.0/24",
                                         "vpc_size": "t3.small"}))
    world.answer("create_multicloud_primary_gateway", ok("gw1 created"))
    world.answer("create_multicloud_ha_gateway", ok("gw1-hagw created"))
    world.answer("list_vpcs_summary", ok([PRIMARY]))
    return world


def run(name, *args, **kwargs):
    return getattr(spoke, name)(*args, **kwargs)


# --- signatures --------------------------------------------------------------

@pytest.mark.parametrize("name", SIGNATURES)
def test_signature_names_order_and_defaults(name):
    sig = getattr(spoke, name).__doc__.splitlines()[0]
    params = re.findall(r"(\w+): object(?: \| None)?( = \w+)?", sig)
    assert " ".join(p + d.replace(" = ", "=") for p, d in params) == SIGNATURES[name]


@pytest.mark.parametrize("name", CALLS)
def test_keywords_in_any_order_match_positional_call(std, name):
    run(name, *CALLS[name])
    by_position = [(r.method, r.items) for r in std.requests]
    std.controller.requests.clear()
    names = [p.split("=")[0] for p in SIGNATURES[name].split()]
    run(name, **dict(reversed(list(zip(names, CALLS[name])))))
    assert [(r.method, r.items) for r in std.requests] == by_position


@pytest.mark.parametrize("name", CALLS)
@pytest.mark.parametrize("change", [-1, +1])
def test_wrong_argument_count_is_type_error(std, name, change):
    required = len([p for p in SIGNATURES[name].split() if "=" not in p])
    total = len(SIGNATURES[name].split())
    args = list(CALLS[name]) + [None] * 3
    count = (required - 1) if change < 0 else (total + 1)
    with pytest.raises(TypeError):
        run(name, *args[:count])
    assert std.requests == []


# --- exact requests -------------------------------------------------------------

EXACT = [
    ("deleteSpoke", [
        ("POST", [("CID", CID), ("action", "disable_spoke_ha"), ("gw_name", "gw1")]),
        ("POST", [("CID", CID), ("action", "delete_container"), ("cloud_type", 1),
                  ("gw_name", "gw1")])]),
    ("deleteHsSpoke", [
        ("POST", [("CID", CID), ("action", "delete_multicloud_gateway"), ("gw_name", "gw1")])]),
    ("enableSNAT", [
        ("POST", [("CID", CID), ("action", "enable_snat"), ("gateway_name", "gw1")])]),
    ("disable_snat", [
        ("POST", [("CID", CID), ("action", "disable_snat"), ("gateway_name", "gw1")])]),
    ("changeSpokeSize", [
        ("GET", [("CID", CID), ("action", "get_gateway_info"), ("gateway_name", "gw1")]),
        ("POST", [("CID", CID), ("action", "change_gateway_size"), ("gw_name", "gw1"),
                  ("gw_size", "t3.large")])]),
    ("deployClassicSpoke", [
        ("POST", [("CID", CID), ("action", "create_spoke_gw"), ("account_name", "acct"),
                  ("gw_name", "gw1"), ("gw_size", "t3.small"), ("public_subnet", "10.0.1.0/24"),
                  ("vpc_id", "vpc-1"), ("region", "us-east-1"), ("cloud_type", 1),
                  ("reuse_eip", "off")]),
        ("POST", [("CID", CID), ("action", "enable_spoke_ha"), ("account_name", "acct"),
                  ("gw_name", "gw1"), ("public_subnet", "10.0.2.0/24")])]),
    ("deployPrimaryHsSpoke", [
        ("POST", [("CID", CID), ("action", "create_multicloud_primary_gateway"),
                  ("cloud_type", 1), ("account_name", "acct"), ("vpc_id", "vpc-1"),
                  ("vpc_region", "us-east-1"), ("gw_name", "gw1"), ("gw_size", "t3.small"),
                  ("gw_subnet", "10.0.1.0/24")])]),
    ("deployHaHsSpoke", [
        ("POST", [("CID", CID), ("action", "create_multicloud_ha_gateway"), ("cloud_type", 1),
                  ("primary_gw_name", "gw1"), ("gw_size", "t3.small"),
                  ("gw_subnet", "10.0.2.0/24"), ("autogen_hagw_name", "yes")])]),
]


@pytest.mark.parametrize("name, expected", EXACT)
def test_exact_requests(std, name, expected):
    run(name, *CALLS[name])
    assert [(r.method, r.items) for r in std.requests] == expected
    for r in std.requests:
        assert r.url == URL
        # the payload keyword first, then the controller settings of the moment
        keyword = "params" if r.method == "GET" else "data"
        assert list(r.kwargs) == [keyword, "verify", "timeout"]
        assert r.kwargs["verify"] is std.globals.controller_verify
        assert r.kwargs["timeout"] is std.globals.controller_timeout
        # "cloud_type" stays the integer 1, never True or "1"
        assert "cloud_type" not in r.payload or type(r.payload["cloud_type"]) is int


# --- dry run, both forms ---------------------------------------------------------

LIST = "list_primary_and_ha_spoke_gateways"
DEL = "delete_multicloud_gateway"
# Actions sent with Globals.dry_run False / True / None.
DRY = {
    "deleteSpoke": (["disable_spoke_ha", "delete_container"], [], []),
    "deleteHsSpoke": ([DEL], [], [DEL]),
    "deleteAllHsSpokes": ([LIST, DEL, DEL], [LIST], [LIST, DEL, DEL]),
    "enableSNAT": (["enable_snat"], [], []),
    "disable_snat": (["disable_snat"], [], ["disable_snat"]),
    "changeSpokeSize": (["get_gateway_info", "change_gateway_size"], ["get_gateway_info"],
                        ["get_gateway_info", "change_gateway_size"]),
    "deployClassicSpoke": (["create_spoke_gw", "enable_spoke_ha"], [], []),
    "deployPrimaryHsSpoke": (["create_multicloud_primary_gateway"], [], []),
    "deployHaHsSpoke": (["create_multicloud_ha_gateway"], [], []),
    "deployHsSpoke": ([LIST, "get_gateway_info", "create_multicloud_primary_gateway",
                       "create_multicloud_ha_gateway"], [LIST, "get_gateway_info"],
                      [LIST, "get_gateway_info"]),
}


@pytest.mark.parametrize("name", DRY)
@pytest.mark.parametrize("flag, column", [(False, 0), (True, 1), (None, 2)])
def test_dry_run_forms(std, caplog, name, flag, column):
    caplog.set_level(logging.INFO, LOGGER)
    run(name, *CALLS[name])
    live = [m for m in messages(caplog) if m.startswith("- ")]
    caplog.clear()
    std.controller.requests.clear()
    std.globals.dry_run = flag
    run(name, *CALLS[name])
    assert std.controller.actions == DRY[name][column]
    # the announcement lines do not depend on the flag
    assert [m for m in messages(caplog) if m.startswith("- ")] == live
    assert bool(live) is (name != "deleteHsSpoke")


def test_flag_is_read_before_each_request(std):
    """deleteSpoke reads the flag afresh before its second request."""
    def switch_on(payload):
        std.globals.dry_run = True
        return ok()
    std.answer("disable_spoke_ha", switch_on)
    spoke.deleteSpoke(CID, URL, "gw1")
    assert std.controller.actions == ["disable_spoke_ha"]


@pytest.mark.parametrize("flag, ret", [(True, {"gw_name": "ha-x"}), (None, {"gw_name": None})])
def test_ha_dry_run_returns_wanted_name(std, flag, ret):
    std.globals.dry_run = flag
    ha = ret["gw_name"]
    assert spoke.deployHaHsSpoke(CID, URL, "gw1", "t3", "10.0.2.0/24", ha_gw_name=ha) == ret
    assert std.requests == [] and std.controller.transport_calls == []


@pytest.mark.parametrize("lookup, ret", [
    (ok([PRIMARY]), spoke_info("gw1", "10.0.1.0/24")),
    (ok([]), {"gw_name": "gw1"}),
    (failed(), {"gw_name": "gw1"}),
])
def test_primary_dry_run_looks_up_only(std, lookup, ret):
    std.globals.dry_run = True
    std.answer("list_vpcs_summary", lookup)
    assert spoke.deployPrimaryHsSpoke(*CALLS["deployPrimaryHsSpoke"]) == ret
    assert std.requests == []
    assert std.controller.transport_calls == [dict(
        api_endpoint_url=URL, request_method="GET", keyword_for_log="cvn-migration-function---",
        indent="    ", payload={"action": "list_vpcs_summary", "CID": CID, "account_name": "",
                                "acx_gw_only": "no", "gateway_name": "gw1"})]


# --- handler routing and result use ----------------------------------------------

@pytest.mark.parametrize("name, handler", [
    ("deleteSpoke", "seen"), ("deleteHsSpoke", "seen"), ("enableSNAT", "seen"),
    ("disable_snat", "seen"), ("changeSpokeSize", "seen"), ("deployPrimaryHsSpoke", "seen"),
    ("deployHaHsSpoke", "seen"), ("deployClassicSpoke", "seen_exit"),
    ("deployHsSpoke", "seen_exit"), ("deleteAllHsSpokes", "seen_exit")])
def test_answers_go_to_the_right_handler(std, name, handler):
    for sibling in ("deployPrimaryHsSpoke", "deployHaHsSpoke", "deleteHsSpoke"):
        if sibling != name:
            std.replace(sibling)
    run(name, *CALLS[name])
    routed = getattr(std.handlers, handler)
    other = std.handlers.seen_exit if handler == "seen" else std.handlers.seen
    assert routed and other == []


@pytest.mark.parametrize("result, logged", [
    (True, True), (1, True), (False, False), (None, False), ("yes", False)])
@pytest.mark.parametrize("name", ["deleteSpoke", "deleteHsSpoke", "disable_snat"])
def test_answer_logged_only_when_handler_says_true(std, caplog, name, result, logged):
    std.handlers.result = result
    std.answer(DEL, ok("gone"))
    std.answer("list_vpcs_summary", ok([]))
    caplog.set_level(logging.INFO, LOGGER)
    run(name, *CALLS[name])
    answer_lines = [m for m in messages(caplog) if m.startswith("  ")]
    if logged:
        assert answer_lines == ["  " + str(r.json()) for r in std.controller.responses]
    else:
        # Not known to be done: the listing, which no longer names gw1, settles it
        # (a classic gateway's own listing for deleteSpoke).
        if name == "deleteSpoke":
            assert std.controller.transport_calls[-1]["payload"]["action"] == "list_vpcs_summary"
        else:
            assert std.controller.actions[-1] == LIST
        assert len(answer_lines) == 1 and answer_lines[0].startswith("  spoke gateway gw1 is gone")


@pytest.mark.parametrize("result, changed", [(False, False), (0, False), (None, True),
                                             (True, True)])
def test_resize_goes_by_the_handler_results(std, result, changed):
    """A size the handler calls unreadable stops the resize with an error;
    a change it does not call a success is checked, and here not confirmed."""
    std.handlers.result = result
    if result is True:
        spoke.changeSpokeSize(CID, URL, "gw1", "t3.large")
    else:
        with pytest.raises(CorvaneRollbackException, match="^Spoke gateway gw1 was not resized"):
            spoke.changeSpokeSize(CID, URL, "gw1", "t3.large")
    assert ("change_gateway_size" in std.controller.actions) is changed


@pytest.mark.parametrize("result, refused", [(False, True), (0, True), (None, False),
                                             (True, False)])
def test_refused_snat_switch_is_an_error_not_a_success(std, caplog, result, refused):
    """The next step deletes a NAT gateway whose routes SNAT takes over: a
    switch the controller refused must stop the run, not count as done."""
    std.handlers.result = result
    caplog.set_level(logging.INFO, LOGGER)
    if refused:
        with pytest.raises(CorvaneRollbackException,
                           match="^Single IP SNAT was not enabled on spoke gateway gw1$"):
            spoke.enableSNAT("gw1", URL, CID)
    else:
        spoke.enableSNAT("gw1", URL, CID)
    assert std.controller.actions == ["enable_snat"]
    assert any(m.startswith("  Returned: ") for m in messages(caplog)) is not refused


def test_failure_handler_that_raises_stops_the_function(std):
    def refuse(answer):
        raise RuntimeError("controller said no")
    std.monkeypatch.setattr(spoke, "handleControllerApiFailure", refuse)
    with pytest.raises(RuntimeError, match="controller said no"):
        spoke.deleteSpoke(CID, URL, "gw1")
    assert std.controller.actions == ["disable_spoke_ha"]


def test_delete_goes_on_after_refused_ha_switch_off(std, caplog):
    std.answer("disable_spoke_ha", failed("HA not enabled"))
    caplog.set_level(logging.INFO, LOGGER)
    spoke.deleteSpoke(CID, URL, "gw1")
    assert std.controller.actions == ["disable_spoke_ha", "delete_container"]
    assert messages(caplog) == ["- Disable HA on spoke gateway gw1",
                                "- Delete existing spoke gateway gw1",
                                "  {'return': True, 'results': 'done'}"]


# --- log lines ---------------------------------------------------------------------

LOGS = [
    ("enableSNAT", CALLS["enableSNAT"],
     ["- Enable Single IP SNAT on spoke gateway gw1", "  Returned: True  Result: done"]),
    ("disable_snat", CALLS["disable_snat"],
     ["- Disable SNAT on spoke gateway gw1", "  {'return': True, 'results': 'done'}"]),
    ("changeSpokeSize", CALLS["changeSpokeSize"],
     ["- Set spoke gateway gw1 to t3.large", "  Returned: True  Result: done"]),
    ("changeSpokeSize", (CID, URL, "gw1", "t3.small"),
     ["- Set spoke gateway gw1 to t3.small",
      "  no need to resize,  gw1 instance size is already set to t3.small"]),
    ("deployClassicSpoke", CALLS["deployClassicSpoke"],
     ["- Deploy spoke gateway gw1 in 10.0.1.0/24", "  Returned: True  Result: done",
      "- Enable HA on spoke gateway gw1 in 10.0.2.0/24", "  Returned: True  Result: done"]),
    ("deployPrimaryHsSpoke", CALLS["deployPrimaryHsSpoke"],
     ["- Deploy primary spoke gw1 with t3.small in subnet 10.0.1.0/24",
      "  Returned: True  Result: gw1 created"]),
    ("deployHaHsSpoke", (CID, URL, "gw1", None, "10.0.2.0/24"),
     ["- Deploy HS Spoke with None in subnet 10.0.2.0/24",
      "  Returned: True  Result: gw1-hagw created"]),
    ("deleteHsSpoke", CALLS["deleteHsSpoke"], ["  {'return': True, 'results': 'done'}"]),
    ("deleteAllHsSpokes", (CID, URL, "gw1"),
     ["- Delete HS spoke", "  found spoke gateways: ['gw1-hagw', 'other']",
      "  deleting HA on spoke gateway gw1", "  {'return': True, 'results': 'done'}",
      "  delete primary spoke gateway gw1", "  {'return': True, 'results': 'done'}"]),
]


@pytest.mark.parametrize("name, args, lines", LOGS)
def test_log_lines(std, caplog, name, args, lines):
    caplog.set_level(logging.DEBUG)
    run(name, *args)
    assert messages(caplog) == lines
    assert all(r.name == LOGGER and r.levelname == "INFO" for r in caplog.records
               if r.name.startswith("morvent"))


def test_logger_is_fetched_per_call(std, caplog, monkeypatch):
    """A logging module replaced after load is the one used."""
    names = []
    fake_logging = type("L", (), {"getLogger": staticmethod(
        lambda n: names.append(n) or logging.getLogger(n))})
    monkeypatch.setattr(spoke, "logging", fake_logging)
    spoke.enableSNAT("gw1", URL, CID)
    assert names == [LOGGER]


# --- deletion of an HS spoke ------------------------------------------------------

@pytest.mark.parametrize("listed, deleted, none_found", [
    (["gw1", "gw1-hagw", "other"], ["gw1-hagw", "gw1"], False),
    (["gw1-hagw-2", "gw1-hagw-1"], ["gw1-hagw-2", "gw1-hagw-1", "gw1"], False),
    (["gw1"], ["gw1"], True),
    ([], ["gw1"], True),
    (["xgw1", "GW1-hagw"], ["gw1"], True),
])
def test_delete_all_hs_spokes(std, caplog, listed, deleted, none_found):
    std.answer(LIST, ok([{"name": n, "extra": 1} for n in listed]))
    delete = std.replace("deleteHsSpoke")   # looked up at call time
    caplog.set_level(logging.INFO, LOGGER)
    assert spoke.deleteAllHsSpokes(CID, URL, "gw1") is None
    assert delete.calls == [((CID, URL, n), {}) for n in deleted]
    assert ("  no HA spoke gateway found" in messages(caplog)) is none_found
    assert f"  found spoke gateways: {listed}" in messages(caplog)
    assert std.requests[0].items == [("CID", CID), ("action", LIST)]


def test_delete_all_stops_on_failed_listing(std):
    std.answer(LIST, failed())
    delete = std.replace("deleteHsSpoke")
    with pytest.raises(ProcessEnded):
        spoke.deleteAllHsSpokes(CID, URL, "gw1")
    assert delete.calls == []


# --- HS spoke deployment -----------------------------------------------------------

def deploy_hs(std, existing, num=3, size=None, subnets=None):
    """Runs deployHsSpoke with the listed gateways in `existing` {name: cidr}."""
    std.answer(LIST, ok([{"name": n} for n in existing] + [{"name": "foreign"}]))
    std.answer("get_gateway_info", lambda p: ok({"gw_name": p["gateway_name"],
                                                 "gw_subnet_cidr": existing[p["gateway_name"]]}))
    primary = std.replace("deployPrimaryHsSpoke", {"gw_name": "ignored"})
    ha = std.replace("deployHaHsSpoke")
    spoke.deployHsSpoke(CID, URL, "acct", "gw1", size, "vpc-1", "us-east-1", NATS, num)
    return primary.calls, ha.calls


def test_deploy_hs_from_scratch(std, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    primary, ha = deploy_hs(std, {})
    assert primary == [((CID, URL, "acct", "gw1", "t3.small", "vpc-1", "us-east-1",
                         "10.0.1.0/24"), {"eip": None})]
    assert ha == [((CID, URL, "gw1", "t3.medium", "10.0.2.0/24"), {"eip": None}),
                  ((CID, URL, "gw1", "t3.large", "10.0.3.0/24"), {"eip": None})]
    assert messages(caplog) == [
        "- Deploy HS Spoke",
        "  deploy spoke gateway gw1 in 10.0.1.0/24 for nat-1",
        "  deploy spoke gateway in 10.0.2.0/24 for nat-2",
        "  deploy spoke gateway in 10.0.3.0/24 for nat-3"]
    assert std.controller.actions == [LIST]
    assert [e[0] for e in std.events] == ["request", "handle_exit", "deployPrimaryHsSpoke",
                                          "deployHaHsSpoke", "deployHaHsSpoke"]


def test_deploy_hs_rerun_after_complete_deployment(std, caplog):
    caplog.set_level(logging.INFO, LOGGER)
    existing = {"gw1": "10.0.1.0/24", "gw1-hagw": "10.0.2.0/24", "gw1-hagw-1": "10.0.3.0/24"}
    assert deploy_hs(std, existing) == ([], [])
    assert std.controller.actions == [LIST] + ["get_gateway_info"] * 3
    assert [r.kwargs for r in std.requests[1:]] == [
        {"data": {"CID": CID, "action": "get_gateway_info", "gateway_name": n}, "verify": VERIFY,
         "timeout": TIMEOUT} for n in existing]
    assert messages(caplog) == [
        "- Deploy HS Spoke", "  Found existing spoke gateways ['gw1', 'gw1-hagw', 'gw1-hagw-1']",
        "  subnet 10.0.1.0/24 already has a spoke gw gw1",
        "  subnet 10.0.2.0/24 already has a spoke gw gw1-hagw",
        "  subnet 10.0.3.0/24 already has a spoke gw gw1-hagw-1"]


@pytest.mark.parametrize("existing, num, primary_made, ha_subnets", [
    ({"gw1": "10.0.1.0/24"}, 3, False, ["10.0.2.0/24", "10.0.3.0/24"]),
    ({"gw1-hagw": "10.0.3.0/24"}, 3, True, ["10.0.2.0/24"]),
    ({"gw1-hagw": "10.0.1.0/24"}, 3, False, ["10.0.2.0/24", "10.0.3.0/24"]),  # any role counts
    ({"gw1suffix": "10.0.2.0/24"}, 3, True, ["10.0.3.0/24"]),   # prefix match counts
    ({}, 1, True, []),
    ({}, 0, True, []),
    ({"gw1": "10.0.1.0/24"}, 2, False, ["10.0.2.0/24"]),
])
def test_deploy_hs_skips_taken_subnets(std, existing, num, primary_made, ha_subnets):
    primary, ha = deploy_hs(std, existing, num=num)
    assert bool(primary) is primary_made
    assert [args[4] for args, _ in ha] == ha_subnets


def test_deploy_hs_ignores_other_prefixes_in_same_subnet(std):
    std.answer(LIST, ok([{"name": "other-gw1"}]))
    primary = std.replace("deployPrimaryHsSpoke")
    subnets = std.replace("getSubnetWithSpokeGw", [{"gw_name": "x", "cidr": "10.9.9.9/32"}])
    spoke.deployHsSpoke(CID, URL, "acct", "gw1", "t3.xlarge", "vpc", "r", NATS, 1)
    assert subnets.calls == [((CID, URL, []), {})]
    assert primary.calls[0][0][4] == "t3.xlarge"


def test_deploy_hs_given_size_applies_to_every_gateway(std):
    primary, ha = deploy_hs(std, {}, size="c5.large")
    assert [c[0][4] for c in primary] == ["c5.large"]
    assert [c[0][3] for c in ha] == ["c5.large", "c5.large"]


@pytest.mark.parametrize("num, error", [(4, IndexError), (None, TypeError), (2.0, TypeError)])
def test_deploy_hs_bad_count_raises(std, num, error):
    with pytest.raises(error):
        deploy_hs(std, {}, num=num)


def test_deploy_hs_failed_listing_ends_before_anything(std):
    std.answer(LIST, failed())
    primary = std.replace("deployPrimaryHsSpoke")
    with pytest.raises(ProcessEnded):
        spoke.deployHsSpoke(*CALLS["deployHsSpoke"])
    assert primary.calls == []


# --- create functions ----------------------------------------------------------

@pytest.mark.parametrize("eip, ha_name, tail", [
    (None, None, []),
    ("1.2.3.4", None, [("eip", "1.2.3.4")]),
    (None, "gw1-ha", [("ha_gw_name", "gw1-ha")]),
    ("1.2.3.4", "gw1-ha", [("eip", "1.2.3.4"), ("ha_gw_name", "gw1-ha")]),
])
def test_ha_payload_optional_fields(std, eip, ha_name, tail):
    spoke.deployHaHsSpoke(CID, URL, "gw1", "t3", "10.0.2.0/24", eip, ha_name)
    items = std.requests[0].items
    assert items[6] == ("autogen_hagw_name", "yes") and items[7:] == tail


@pytest.mark.parametrize("eip, tail", [(None, []), ("1.2.3.4", [("eip", "1.2.3.4")])])
def test_primary_payload_eip_last(std, eip, tail):
    spoke.deployPrimaryHsSpoke(*CALLS["deployPrimaryHsSpoke"], eip=eip)
    assert std.requests[0].items[9:] == tail


@pytest.mark.parametrize("name, subnet, results, looked_up, ret", [
    ("deployPrimaryHsSpoke", "10.0.1.0/24", "gw1 created ok", "gw1",
     spoke_info("gw1", "10.0.1.0/24")),
    ("deployPrimaryHsSpoke", "10.0.1.0/24", "gw1", "gw1", spoke_info("gw1", "10.0.1.0/24")),
    ("deployHaHsSpoke", "10.0.2.0/24", "gw1-hagw is up", "gw1-hagw",
     spoke_info("gw1-hagw", "10.0.2.0/24")),
])
def test_create_success_describes_new_gateway(std, name, subnet, results, looked_up, ret):
    std.answer(name == "deployHaHsSpoke" and "create_multicloud_ha_gateway"
               or "create_multicloud_primary_gateway", ok(results))
    std.answer("list_vpcs_summary", lambda p: ok([gateway_record(
        p["gateway_name"], subnet)]))
    args = list(CALLS[name])
    assert run(name, *args) == ret
    assert [c["payload"]["gateway_name"] for c in std.controller.transport_calls] == [looked_up]
    assert std.events[:2] == [("request", "POST", std.requests[0].action), ("handle",)]


@pytest.mark.parametrize("name, lookup, ret", [
    ("deployPrimaryHsSpoke", ok([PRIMARY]), spoke_info("gw1", "10.0.1.0/24")),
    ("deployPrimaryHsSpoke", failed(), {"gw_name": None}),
    ("deployPrimaryHsSpoke", ok([]), {"gw_name": None}),
    ("deployHaHsSpoke", ok([PRIMARY]), spoke_info("gw1-hagw", "10.0.2.0/24")),
    ("deployHaHsSpoke", ok([gateway_record("gw1", "10.0.1.0/24")]), {"gw_name": None}),
    ("deployHaHsSpoke", failed(), {"gw_name": None}),
])
def test_refused_create_falls_back_to_lookup_by_primary_name(std, caplog, name, lookup, ret):
    std.answer("create_multicloud_primary_gateway", failed("exists"))
    std.answer("create_multicloud_ha_gateway", failed("exists"))
    std.answer("list_vpcs_summary", lookup)
    caplog.set_level(logging.INFO, LOGGER)
    assert run(name, *CALLS[name]) == ret
    assert [c["payload"]["gateway_name"] for c in std.controller.transport_calls] == ["gw1"]
    assert messages(caplog)[-1] == "  Returned: False  Result: exists"


def test_create_uses_siblings_looked_up_at_call_time(std):
    lookups = std.replace("list_gateway_info", FakeResponse(ok([PRIMARY])))
    describe = std.replace("getSpokeInfo", {"gw_name": "described"})
    assert spoke.deployPrimaryHsSpoke(*CALLS["deployPrimaryHsSpoke"]) == {"gw_name": "described"}
    assert lookups.calls == [((), dict(api_endpoint_url=URL, CID=CID, vpc_access_account_name="",
                                       acx_gw_only="no", gw_name="gw1"))]
    assert describe.calls == [((PRIMARY, "10.0.1.0/24"), {})]


# --- classic spoke deployment --------------------------------------------------------

@pytest.mark.parametrize("nats, size, actions", [
    (NATS[:1], None, ["create_spoke_gw"]),
    (NATS, None, ["create_spoke_gw", "enable_spoke_ha"]),
    (NATS, "c5", ["create_spoke_gw", "enable_spoke_ha"]),
])
def test_classic_spoke(std, caplog, nats, size, actions):
    caplog.set_level(logging.INFO, LOGGER)
    spoke.deployClassicSpoke(CID, URL, "acct", "gw1", size, "vpc-1", "r", nats)
    assert std.controller.actions == actions
    assert std.requests[0].payload["gw_size"] == (size or "t3.small")
    assert all("eip" not in r.payload for r in std.requests)
    assert "gw_size" not in std.requests[-1].payload or len(actions) == 1
    assert sum(m.startswith("- Enable HA") for m in messages(caplog)) == len(actions) - 1


def test_classic_failed_create_ends_before_ha(std):
    std.answer("create_spoke_gw", failed())
    with pytest.raises(ProcessEnded):
        spoke.deployClassicSpoke(*CALLS["deployClassicSpoke"])
    assert std.controller.actions == ["create_spoke_gw"]


@pytest.mark.parametrize("name", ["deployClassicSpoke", "deployHsSpoke"])
@pytest.mark.parametrize("nats, error", [
    ([], IndexError),
    ([{"subnet_cidr": "10.0.1.0/24", "nat_gw_id": "n", "gateway_size": "s"}], AttributeError),
    (None, TypeError),
])
def test_unusable_nat_list_raises_before_any_create(std, name, nats, error):
    args = list(CALLS[name])
    args[7] = nats
    with pytest.raises(error):
        run(name, *args)
    assert not [a for a in std.controller.actions if a.startswith("create")]


# --- malformed answers ---------------------------------------------------------------

def not_json(payload):
    return FakeResponse(error=json.JSONDecodeError("Expecting value", "<html>", 0))


# (function, action whose answer is spoiled): functions that stop on it as
# before; what the others make of it is under "step outcomes" below.
SPOILED = [("deleteAllHsSpokes", LIST), ("deployHsSpoke", LIST),
           ("deleteSpoke", "disable_spoke_ha"), ("deployClassicSpoke", "create_spoke_gw")]


@pytest.mark.parametrize("name, action", SPOILED)
def test_non_json_answer_raises_value_error(std, name, action):
    std.answer(action, not_json)
    with pytest.raises(ValueError, match="Expecting value"):
        run(name, *CALLS[name])


@pytest.mark.parametrize("name, action, body, error", [
    ("deleteAllHsSpokes", LIST, {"return": True}, KeyError),
    ("deleteAllHsSpokes", LIST, ok(None), TypeError),
    ("deleteAllHsSpokes", LIST, ok("gw1"), TypeError),
    ("deleteAllHsSpokes", LIST, ok([{"id": 1}]), KeyError),
    ("deployHsSpoke", LIST, ok({"name": "gw1"}), TypeError),
    ("deployHsSpoke", LIST, ok([{"name": 5}]), AttributeError),
    ("deployClassicSpoke", "create_spoke_gw", {"return": True}, KeyError),
])
def test_malformed_answer_raises_ordinary_error(std, name, action, body, error):
    std.answer(action, body)
    with pytest.raises(error):
        run(name, *CALLS[name])


def test_transport_error_propagates_unchanged(std):
    class Down(ConnectionError):
        pass

    def refuse(payload):
        raise Down("connection refused")
    std.answer("enable_snat", refuse)
    with pytest.raises(Down, match="connection refused"):
        spoke.enableSNAT("gw1", URL, CID)


@pytest.mark.parametrize("missing", ["requests", "Globals", "handleControllerApiFailure"])
def test_missing_global_is_name_error(std, monkeypatch, missing):
    monkeypatch.delattr(spoke, missing)
    with pytest.raises(NameError, match=missing):
        spoke.disable_snat(CID, URL, "gw1")


# --- step outcomes: answers that are refused, lost or unusable ----------------------

PRIMARY_CREATE = "create_multicloud_primary_gateway"
HA_CREATE = "create_multicloud_ha_gateway"
INFO = "get_gateway_info"


def lost(error=requests.ConnectionError):
    """An answer that never comes.  The error's text holds the URL with the
    session id, as requests writes it for a GET: it must not reach the log."""
    def send(payload):
        raise error(f"Max retries exceeded with url: /v2/api?CID={CID}&action=x")
    return send


# How an answer goes missing or wrong, and how the error line names it.
UNUSABLE = {
    "connection lost": (lost(), "ConnectionError"),
    "timed out": (lost(requests.ReadTimeout), "ReadTimeout"),
    "HTTP 500 page": (not_json, "JSONDecodeError: Expecting value: line 1 column 1 (char 0)"),
    "no return": ({"reason": "internal error"}, "KeyError: 'return'"),
}


def sent_with_settings(fakes) -> bool:
    """Every request carried its payload, then verify and timeout of Globals."""
    return all(list(r.kwargs)[1:] == ["verify", "timeout"]
               and r.kwargs["verify"] is fakes.globals.controller_verify
               and r.kwargs["timeout"] is fakes.globals.controller_timeout
               for r in fakes.requests)


def no_session_id(caplog) -> bool:
    return not any(CID in r.getMessage() for r in caplog.records)


HA_RECORD = gateway_record("gw1-hagw", "10.0.2.0/24")


@pytest.mark.parametrize("name, results, lookups, ret", [
    # a confirmed create whose look-up misses once: looked up again, found
    ("deployPrimaryHsSpoke", "gw1 created", [ok([]), ok([PRIMARY])], ["gw1"] * 2),
    ("deployPrimaryHsSpoke", "gw1 created", [lost(), ok([PRIMARY])], ["gw1"] * 2),
    ("deployPrimaryHsSpoke", "gw1 created", [failed("busy"), ok([PRIMARY])], ["gw1"] * 2),
    # "results" that are not text name nothing: the requested name is looked up
    ("deployPrimaryHsSpoke", ["gw1"], [ok([PRIMARY])], ["gw1"]),
    ("deployPrimaryHsSpoke", {"gw_name": "gw1"}, [ok([PRIMARY])], ["gw1"]),
    ("deployPrimaryHsSpoke", None, [ok([PRIMARY])], ["gw1"]),
    # an answer that names something else: its name, then the requested one
    ("deployPrimaryHsSpoke", "Success", [failed("no Success"), ok([PRIMARY])],
     ["Success", "gw1"]),
    # an HA gateway not listed under its own name is found through its primary
    ("deployHaHsSpoke", "gw1-hagw created", [ok([gateway_record("gw1", "10.0.1.0/24")]),
                                             ok([PRIMARY])], ["gw1-hagw", "gw1"]),
    ("deployHaHsSpoke", "gw1-hagw created", [ok([HA_RECORD])], ["gw1-hagw"]),
])
def test_confirmed_create_is_looked_up_until_seen(std, caplog, name, results, lookups, ret):
    std.answer(PRIMARY_CREATE if name == "deployPrimaryHsSpoke" else HA_CREATE, ok(results))
    std.answer("list_vpcs_summary", lookups)
    caplog.set_level(logging.INFO, LOGGER)
    subnet = "10.0.1.0/24" if name == "deployPrimaryHsSpoke" else "10.0.2.0/24"
    info = run(name, *CALLS[name])
    assert info["gw_name"] in ("gw1", "gw1-hagw") and info["gw_subnet_cidr"] == subnet
    assert [c["payload"]["gateway_name"] for c in std.controller.transport_calls] == ret
    errors = messages(caplog, "ERROR")
    assert len(errors) == len(ret) - 1 and not any("no usable answer" in e for e in errors)
    if len(ret) > 1:
        assert messages(caplog)[-1] == f"  spoke gateway {info['gw_name']} found in {subnet}: " \
                                       "counted as created"


@pytest.mark.parametrize("lookup, why", [
    (ok([]), "the controller lists no such gateway"),
    (lost(), "ConnectionError"),
    (failed("Gateway gw1 does not exist"), "Gateway gw1 does not exist"),
    (ok([gateway_record("gw1", "10.0.7.0/24")]), "its record shows no gateway in 10.0.1.0/24"),
])
@pytest.mark.parametrize("eip", [None, "198.51.100.7"])
def test_confirmed_create_never_seen_stops_without_counting_it_as_not_made(std, caplog, lookup,
                                                                            why, eip):
    """The controller made the gateway, but no look-up shows it: not "not made"
    (the rollback would free its Elastic IP under it), but a stop."""
    std.globals.lookup_attempts = 2
    std.answer("list_vpcs_summary", lookup)
    caplog.set_level(logging.INFO, LOGGER)
    with pytest.raises(UnrecordedGateway) as info:
        spoke.HsSpokeCmd("acct", "gw1", None, "vpc-1", "r").create("10.0.1.0/24", eip, "t3.small")
    assert str(info.value) == (
        f"Spoke gateway gw1 was created in 10.0.1.0/24 (the controller confirmed it) but is not "
        f"seen after 2 look-ups ({why}): stopped without undoing the steps before it"
        + (f", whose undo needs Elastic IP {eip} that the gateway may hold" if eip else ""))
    assert not isinstance(info.value, Exception)  # passes the rollback of the run
    # one look-up a round, never the same twice in a row
    assert [c["payload"]["gateway_name"] for c in std.controller.transport_calls] == ["gw1"] * 2
    assert std.controller.actions == [PRIMARY_CREATE]
    assert messages(caplog, "ERROR") == [
        f"  **Error** the created spoke gateway in 10.0.1.0/24 is not seen under the name gw1 "
        f"(look-up {n} of 2): {why}" for n in (1, 2)]
    assert "  looking again in 0.0 s" in messages(caplog)
    assert no_session_id(caplog)


@pytest.mark.parametrize("fault", UNUSABLE)
@pytest.mark.parametrize("name, lookup, ret, lookup_error", [
    ("deployPrimaryHsSpoke", ok([PRIMARY]), spoke_info("gw1", "10.0.1.0/24"), None),
    ("deployPrimaryHsSpoke", failed("Gateway gw1 does not exist"), {"gw_name": None}, None),
    ("deployPrimaryHsSpoke", ok([{"gw_name": "gw1"}]), {"gw_name": None},
     "KeyError: 'public_subnet'"),
    ("deployPrimaryHsSpoke", lost(), {"gw_name": None}, "ConnectionError"),
    # an HA gateway is found through its primary's HA list
    ("deployHaHsSpoke", ok([PRIMARY]), spoke_info("gw1-hagw", "10.0.2.0/24"), None),
    ("deployHaHsSpoke", ok([gateway_record("gw1", "10.0.1.0/24")]), {"gw_name": None}, None),
])
def test_create_without_usable_answer_goes_by_the_look_up(std, caplog, fault, name, lookup, ret,
                                                          lookup_error):
    answer, why = UNUSABLE[fault]
    action = PRIMARY_CREATE if name == "deployPrimaryHsSpoke" else HA_CREATE
    subnet = CALLS[name][7 if name == "deployPrimaryHsSpoke" else 4]
    std.answer(action, answer)
    std.answer("list_vpcs_summary", lookup)
    caplog.set_level(logging.INFO, LOGGER)

    assert run(name, *CALLS[name]) == ret
    assert [c["payload"]["gateway_name"] for c in std.controller.transport_calls] == ["gw1"]
    expected = [f"  **Error** no usable answer to {action} in {subnet}: {why}; looking up gw1"]
    if lookup_error:
        expected.append(f"  **Error** no usable answer to the look-up of spoke gateway gw1: "
                        f"{lookup_error}; counted as not found")
    assert messages(caplog, "ERROR") == expected
    found = f"  spoke gateway {ret['gw_name']} found in {subnet}: counted as created"
    assert (found in messages(caplog)) is (ret["gw_name"] is not None)
    assert no_session_id(caplog) and sent_with_settings(std)


@pytest.mark.parametrize("primary, ret", [(True, spoke_info("gw1", "10.0.1.0/24")),
                                          (False, spoke_info("gw1-hagw", "10.0.2.0/24"))])
def test_refused_create_without_results_logs_its_reason_and_finds_the_gateway(std, caplog,
                                                                               primary, ret):
    """A re-run after a lost answer: the controller refuses the second create
    with a failure answer that has no "results"."""
    std.answer(PRIMARY_CREATE if primary else HA_CREATE,
               {"return": False, "reason": "Gateway gw1 already exists"})
    caplog.set_level(logging.INFO, LOGGER)
    memento = spoke.HsSpokeCmd("acct", "gw1", None, "vpc-1", "r", primary).create(
        ret["gw_subnet_cidr"], "198.51.100.7", "t3.small")
    assert memento.getSpokeInfo() == ret
    assert "  Returned: False  Reason: Gateway gw1 already exists" in messages(caplog)
    assert messages(caplog, "ERROR") == []


@pytest.mark.parametrize("lookup, created", [(ok([PRIMARY]), True), (failed("no such gw"), False)])
def test_lost_create_answer_is_recorded_or_fails_the_step(std, lookup, created):
    std.answer(PRIMARY_CREATE, lost(requests.ReadTimeout))
    std.answer("list_vpcs_summary", lookup)
    cmd = spoke.HsSpokeCmd("acct", "gw1", None, "vpc-1", "r")
    if created:
        assert cmd.create("10.0.1.0/24", None, "t3.small").getSpokeInfo()["gw_name"] == "gw1"
    else:
        with pytest.raises(CorvaneRollbackException, match="^Spoke gateway gw1 creation failure$"):
            cmd.create("10.0.1.0/24", None, "t3.small")


@pytest.mark.parametrize("change, after, reason", [
    (failed("busy"), "t3.large", None),
    (failed("busy"), "t3.small", "busy"),
    ({"return": False, "reason": "busy"}, "t3.small", "busy"),
    (lost(), "t3.large", None),
    (lost(requests.ReadTimeout), "t3.small", "ReadTimeout"),
    (not_json, "t3.large", None),
    (failed("busy"), failed("Gateway gw1 does not exist"), "busy"),
    (failed("busy"), lost(), "busy"),
])
def test_resize_without_accepted_answer_is_confirmed_by_the_size(std, caplog, change, after,
                                                                  reason):
    std.answer("change_gateway_size", change)
    later = ok({"vpc_size": after}) if isinstance(after, str) else after
    std.answer(INFO, [ok({"vpc_size": "t3.small"}), later])
    caplog.set_level(logging.INFO, LOGGER)
    if reason is None:
        spoke.changeSpokeSize(CID, URL, "gw1", "t3.large")
        assert messages(caplog)[-1] == "  spoke gateway gw1 is of size t3.large now"
    else:
        with pytest.raises(CorvaneRollbackException) as info:
            spoke.changeSpokeSize(CID, URL, "gw1", "t3.large")
        assert str(info.value) == f"Spoke gateway gw1 was not resized to t3.large: {reason}"
    assert std.controller.actions == [INFO, "change_gateway_size", INFO]
    assert not any(m.startswith("  Returned: ") and "Result" not in m and "Reason" not in m
                   for m in messages(caplog))
    assert no_session_id(caplog) and sent_with_settings(std)


@pytest.mark.parametrize("answer, why", [
    (failed("Gateway gw1 does not exist"), "Gateway gw1 does not exist"),
    (lost(requests.ConnectTimeout), "ConnectTimeout"),
    (not_json, "JSONDecodeError: Expecting value"),
    (ok({}), "KeyError: 'vpc_size'"),
    (ok("t3.small"), "TypeError: string indices must be integers"),
])
def test_resize_with_unreadable_size_raises_before_any_change(std, caplog, answer, why):
    std.answer(INFO, answer)
    with pytest.raises(CorvaneRollbackException) as info:
        spoke.changeSpokeSize(CID, URL, "gw1", "t3.large")
    assert str(info.value).startswith(
        f"Spoke gateway gw1 was not resized to t3.large: its size could not be read: {why}")
    assert std.controller.actions == [INFO]
    assert no_session_id(caplog)


@pytest.mark.parametrize("listing, gone", [
    (ok([{"name": "gw1-hagw"}]), True),
    (ok([{"name": "gw1"}]), False),
    (failed("busy"), False),
    (lost(), False),
])
def test_resize_undo_of_a_gateway_that_is_gone_is_done(std, caplog, listing, gone):
    std.answer(INFO, failed("Gateway gw1 does not exist"))
    std.answer(LIST, listing)
    caplog.set_level(logging.INFO, LOGGER)
    memento = spoke.ResizeSpokeGatewayMemento("gw1", "t3.small", "t3.large")
    if gone:
        assert memento.restore() is None
        assert messages(caplog)[-1] == "  spoke gateway gw1 is gone: nothing to size back"
    else:
        # the resize's own error, unchanged
        with pytest.raises(CorvaneRollbackException, match="its size could not be read: Gateway"):
            memento.restore()
    assert std.controller.actions == [INFO, LIST]
    assert {r.url for r in std.requests} == {"https://10.0.0.1/v2/api"}


DELETIONS = [("deleteHsSpoke", DEL), ("deleteSpoke", "delete_container")]


def listing(name, names):
    """What the listing that settles a deletion answers, for the function `name`:
    an HS listing of names, or gateway records (a classic gateway's HA in its
    record's HA list); anything but a list of names is the answer itself."""
    if not isinstance(names, list):
        return names
    if name == "deleteHsSpoke":
        return ok([{"name": n} for n in names])
    return ok([gateway_record("other", "10.0.9.0/24",
                              ha=[gateway_record(n, "10.0.8.0/24") for n in names])])


@pytest.mark.parametrize("name, action", DELETIONS)
@pytest.mark.parametrize("answer, names, reason", [
    (failed("Gateway gw1 does not exist"), ["other-hagw"], None),
    ({"return": False, "reason": "busy"}, ["gw1", "other-hagw"], "busy"),
    (lost(), [], None),
    (lost(requests.ReadTimeout), ["gw1"], "ReadTimeout"),
    (not_json, failed("listing refused"), "JSONDecodeError: Expecting value"),
    (failed("busy"), not_json, "busy"),
    (failed("busy"), ok([{"id": "gw1"}]), "busy"),
])
def test_deletion_that_did_not_happen_raises_and_a_gone_gateway_counts_as_deleted(
        std, caplog, name, action, answer, names, reason):
    std.answer(action, answer)
    # Each kind is settled by its own listing only: the other one names gw1.
    hs, classic = ("list_primary_and_ha_spoke_gateways", "list_vpcs_summary")
    own, other = (hs, classic) if name == "deleteHsSpoke" else (classic, hs)
    std.answer(own, listing(name, names))
    std.answer(other, listing("deleteHsSpoke" if other == hs else "deleteSpoke", ["gw1"]))
    caplog.set_level(logging.INFO, LOGGER)
    if reason is None:
        assert run(name, *CALLS[name]) is None
        assert messages(caplog)[-1] == "  spoke gateway gw1 is gone: counted as deleted"
    else:
        with pytest.raises(CorvaneRollbackException) as info:
            run(name, *CALLS[name])
        assert str(info.value).startswith(f"Spoke gateway gw1 was not deleted: {reason}")
    if name == "deleteHsSpoke":
        assert std.controller.actions[-2:] == [action, LIST]
        assert std.requests[-1].items == [("CID", CID), ("action", LIST)]
        assert std.controller.transport_calls == []
    else:
        assert std.controller.actions[-1] == action
        (lookup,) = std.controller.transport_calls
        assert lookup == dict(api_endpoint_url=URL, request_method="GET", payload={
            "action": "list_vpcs_summary", "CID": CID, "account_name": "", "acx_gw_only": "no",
            "gateway_name": None}, keyword_for_log="cvn-migration-function---", indent="    ")
    assert no_session_id(caplog) and sent_with_settings(std)


def test_delete_all_stops_at_a_deletion_that_did_not_happen(std):
    std.answer(LIST, ok([{"name": "gw1"}, {"name": "gw1-hagw"}]))
    std.answer(DEL, failed("busy"))
    with pytest.raises(CorvaneRollbackException, match="^Spoke gateway gw1-hagw was not deleted"):
        spoke.deleteAllHsSpokes(CID, URL, "gw1")
    assert std.controller.actions == [LIST, DEL, LIST]   # the primary is left alone


@pytest.mark.parametrize("answer, listing, info, outcome", [
    (failed("busy"), ok([]), None, "  spoke gateway gw1 is gone: its SNAT with it"),
    (failed("busy"), ok([{"name": "gw1"}]), ok({"snat": False}),
     "  SNAT is off on spoke gateway gw1"),
    (lost(), failed("busy"), ok({"snat": False}), "  SNAT is off on spoke gateway gw1"),
    (failed("busy"), ok([{"name": "gw1"}]), ok({"snat": True}), "busy"),
    (lost(), ok([{"name": "gw1"}]), failed("x"), "ConnectionError"),
    (failed("busy"), ok([{"name": "gw1"}]), ok({"vpc_size": "t3"}), "busy"),
])
def test_snat_off_counts_as_done_only_when_it_is_off(std, caplog, answer, listing, info,
                                                     outcome):
    std.answer("disable_snat", answer)
    std.answer(LIST, listing)
    std.answer(INFO, info)
    caplog.set_level(logging.INFO, LOGGER)
    if outcome.startswith("  "):
        assert spoke.disable_snat(CID, URL, "gw1") is None
        assert messages(caplog)[-1] == outcome
    else:
        with pytest.raises(CorvaneRollbackException) as error:
            spoke.disable_snat(CID, URL, "gw1")
        assert str(error.value) == f"SNAT was not disabled on spoke gateway gw1: {outcome}"
    assert std.controller.actions == ["disable_snat", LIST] + ([INFO] if info else [])
    assert no_session_id(caplog) and sent_with_settings(std)


@pytest.mark.parametrize("fault", UNUSABLE)
def test_snat_switch_without_usable_answer_raises(std, caplog, fault):
    answer, why = UNUSABLE[fault]
    std.answer("enable_snat", answer)
    std.handlers.result = None   # a handler that lets the "no return" answer through
    with pytest.raises(CorvaneRollbackException) as info:
        spoke.enableSNAT("gw1", URL, CID)
    assert str(info.value) == f"Single IP SNAT was not enabled on spoke gateway gw1: {why}"
    assert messages(caplog, "ERROR") == [
        f"  **Error** no usable answer to enable_snat for spoke gateway gw1: {why}"]
    assert no_session_id(caplog)


@pytest.mark.parametrize("name, action, args", [
    ("enableSNAT", "enable_snat", CALLS["enableSNAT"]),
    ("changeSpokeSize", "change_gateway_size", CALLS["changeSpokeSize"]),
])
def test_success_answer_without_results_is_logged(std, caplog, name, action, args):
    std.answer(action, {"return": True})
    caplog.set_level(logging.INFO, LOGGER)
    assert run(name, *args) is None
    assert messages(caplog)[-1] == "  Returned: True  Reason: None"


def test_controller_settings_are_read_for_each_request(std):
    def operator_changes_them(payload):
        std.globals.controller_verify = False
        std.globals.controller_timeout = (5.0, 1800.0)
        return ok({"vpc_size": "t3.small"})

    std.answer(INFO, operator_changes_them)
    spoke.changeSpokeSize(CID, URL, "gw1", "t3.large")
    first, second = std.requests
    assert (first.kwargs["verify"], first.kwargs["timeout"]) == (VERIFY, TIMEOUT)
    assert (second.kwargs["verify"], second.kwargs["timeout"]) == (False, (5.0, 1800.0))


@pytest.mark.parametrize("error", [RuntimeError("handler bug"), KeyboardInterrupt()])
def test_other_errors_are_not_taken_for_a_lost_answer(std, error):
    def broken(answer):
        raise error
    std.monkeypatch.setattr(spoke, "handleControllerApiFailure", broken)
    with pytest.raises(type(error)):
        spoke.deleteHsSpoke(CID, URL, "gw1")
    assert std.controller.actions == [DEL]


# --- references and memory --------------------------------------------------------------

@pytest.mark.parametrize("dry_run", [False, True])
def test_many_calls_leak_nothing(std, dry_run):
    std.globals.dry_run = dry_run
    # no records pile up in caplog; the log texts are still built
    std.monkeypatch.setattr(logging.getLogger(LOGGER), "disabled", True)
    args = {name: tuple(a) for name, a in CALLS.items()}
    watched = [CID, URL, NATS, NATS[0], "gw1"]

    def calls():
        for name, a in args.items():
            run(name, *a)

    assert_no_growth(std, calls, watched)


def assert_no_growth(fakes, calls, watched, rounds=300, limit=16 * 1024):
    """calls() many times over leaves no reference to `watched` and no more
    than `limit` bytes behind (what the interpreter's free lists and caches
    happen to hold varies by a few kilobytes; a leak grows with `rounds`)."""
    def round_():
        calls()
        fakes.controller.requests.clear()
        fakes.controller.responses.clear()
        fakes.controller.transport_calls.clear()
        fakes.handlers.seen.clear()
        fakes.handlers.seen_exit.clear()
        fakes.events.clear()

    for _ in range(20):
        round_()
    gc.collect()
    refs = [sys.getrefcount(o) for o in watched]
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for _ in range(rounds):
        round_()
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    growth = sum(s.size_diff for s in after.compare_to(before, "filename"))
    assert [sys.getrefcount(o) for o in watched] == refs
    assert growth < limit


def every_other(first, then):
    """An answer that alternates between two, starting with `first`."""
    turn = [0]

    def answer(payload):
        turn[0] += 1
        return first if turn[0] % 2 else then
    return answer


@pytest.mark.parametrize("scenario", ["seen at the second look-up", "never seen",
                                      "results not text", "classic deletion settled"])
def test_outcome_paths_leak_nothing(std, scenario):
    std.monkeypatch.setattr(logging.getLogger(LOGGER), "disabled", True)
    subnet, eip = "10.0.1.0/24", "198.51.100.7"
    watched = [CID, URL, subnet, eip, "gw1"]
    if scenario == "seen at the second look-up":
        std.answer("list_vpcs_summary", every_other(ok([]), ok([PRIMARY])))
    elif scenario == "never seen":
        std.answer("list_vpcs_summary", lost())
    elif scenario == "results not text":
        std.answer(PRIMARY_CREATE, ok({"gw_name": "gw1"}))
    else:
        std.answer("delete_container", failed("busy"))
        std.answer("list_vpcs_summary", ok([gateway_record("other", "10.0.9.0/24")]))

    def calls():
        if scenario == "classic deletion settled":
            spoke.deleteSpoke(CID, URL, "gw1")
            return
        try:
            spoke.deployPrimaryHsSpoke(CID, URL, "acct", "gw1", "t3.small", "vpc-1", "r",
                                       subnet, eip)
        except UnrecordedGateway:
            assert scenario == "never seen"

    # These paths hold more objects at once, and free lists vary by up to
    # ~20 KB: more rounds, so that a leak of one small object a round
    # (64 KB and more) still stands out.
    assert_no_growth(std, calls, watched, rounds=4000, limit=40 * 1024)
