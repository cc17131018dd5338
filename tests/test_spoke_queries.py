"""Unit tests of the read-only spoke queries: getSpokeInfo, list_gateway_info
and getSubnetWithSpokeGw."""

import logging

import pytest

from morvent.lib import spoke
from spoke_fakes import (CID, LOGGER, TIMEOUT, URL, VERIFY, FakeResponse, failed, gateway_record,
                         messages, ok, spoke_info, world)  # noqa: F401  (fixture)

A, B, C = "10.0.1.0/24", "10.0.2.0/24", "10.0.3.0/24"


@pytest.mark.parametrize("info, subnet, expected", [
    # the primary wins even when an HA gateway sits in the same subnet
    (gateway_record("p", A, ha=[gateway_record("h", A)]), A, spoke_info("p", A)),
    (gateway_record("p", A, ha=[gateway_record("h1", B), gateway_record("h2", B)]), B,
     spoke_info("h1", B)),
    (gateway_record("p", A, ha=[gateway_record("h1", B), gateway_record("h2", C)]), C,
     spoke_info("h2", C)),
    (gateway_record("p", A), B, {"gw_name": None}),
    (gateway_record("p", A, ha=[]), B, {"gw_name": None}),
    (gateway_record("p", A, ha=[gateway_record("h", B)]), C, {"gw_name": None}),
    (gateway_record("p", None), None, spoke_info("p", None)),
])
def test_get_spoke_info(info, subnet, expected):
    result = spoke.getSpokeInfo(info, subnet)
    assert list(result.items()) == list(expected.items())


def test_get_spoke_info_sends_nothing(world):
    spoke.getSpokeInfo(gateway_record("p", A), B)
    assert world.requests == [] and world.controller.transport_calls == []


@pytest.mark.parametrize("info, error", [
    ({"gw_name": "p"}, KeyError),                                  # no "public_subnet"
    ({**gateway_record("p", A), "private_ip": None, "gw_subnet_id": None}, None),
    (dict(gateway_record("p", A), hagw_details_list=[{"gw_name": "h"}]), KeyError),
    (dict(gateway_record("p", A), hagw_details_list=None), TypeError),
    (None, TypeError),
    ({k: v for k, v in gateway_record("p", B).items() if k != "public_ip"}, KeyError),
])
def test_get_spoke_info_malformed_record(info, error):
    if error is None:
        assert spoke.getSpokeInfo(info, A)["gw_private_ip"] is None
    else:
        with pytest.raises(error):
            spoke.getSpokeInfo(info, B)


@pytest.mark.parametrize("kwargs, payload, keyword", [
    ({}, {"CID": "", "account_name": "", "acx_gw_only": "no", "gateway_name": None},
     "cvn-migration-function---"),
    (dict(api_endpoint_url=URL, CID=CID, vpc_access_account_name="acct", acx_gw_only="yes",
          gw_name="gw1", keyword_for_log="k"),
     {"CID": CID, "account_name": "acct", "acx_gw_only": "yes", "gateway_name": "gw1"}, "k"),
    (dict(CID=None, gw_name=None), {"CID": None, "account_name": "", "acx_gw_only": "no",
                                    "gateway_name": None}, "cvn-migration-function---"),
])
def test_list_gateway_info_payload(world, kwargs, payload, keyword):
    result = spoke.list_gateway_info(**kwargs)
    (call,) = world.controller.transport_calls
    assert list(call["payload"].items()) == [("action", "list_vpcs_summary"), *payload.items()]
    assert call["api_endpoint_url"] == kwargs.get("api_endpoint_url", "")
    assert (call["request_method"], call["keyword_for_log"], call["indent"]) == (
        "GET", keyword, "    ")
    assert set(call) == {"api_endpoint_url", "request_method", "payload", "keyword_for_log",
                         "indent"}
    assert result is world.controller.responses[0]     # handed back unchanged
    assert world.requests == []


def test_list_gateway_info_positional_order(world):
    spoke.list_gateway_info(URL, CID, "acct", "yes", "gw1", "k")
    (call,) = world.controller.transport_calls
    assert call["api_endpoint_url"] == URL and call["keyword_for_log"] == "k"
    assert list(call["payload"].values()) == ["list_vpcs_summary", CID, "acct", "yes", "gw1"]


def test_list_gateway_info_leaves_checking_to_callers(world):
    world.answer("list_vpcs_summary", FakeResponse(error=ValueError("not json")))
    response = spoke.list_gateway_info(CID=CID)
    with pytest.raises(ValueError):
        response.json()


def info_answers(known):
    """get_gateway_info answers: the known gateways and their subnets."""
    def answer(payload):
        name = payload["gateway_name"]
        if name in known:
            return ok({"gw_name": name, "gw_subnet_cidr": known[name], "vpc_size": "t3"})
        return failed(f"gateway {name} does not exist")
    return answer


@pytest.mark.parametrize("names, known, result", [
    ([], {}, []),
    (["a", "b"], {"a": A, "b": B}, [{"gw_name": "a", "cidr": A}, {"gw_name": "b", "cidr": B}]),
    (["x", "a", "y"], {"a": A}, [{"gw_name": "a", "cidr": A}]),
    (("a", "a"), {"a": A}, [{"gw_name": "a", "cidr": A}] * 2),
])
def test_get_subnet_with_spoke_gw(world, caplog, names, known, result):
    world.answer("get_gateway_info", info_answers(known))
    caplog.set_level(logging.INFO, LOGGER)
    assert spoke.getSubnetWithSpokeGw(CID, URL, names) == result
    assert [(r.method, r.url, r.kwargs) for r in world.requests] == [
        ("GET", URL, {"data": {"CID": CID, "action": "get_gateway_info", "gateway_name": n},
                      "verify": VERIFY, "timeout": TIMEOUT}) for n in names]
    assert [list(r.payload) for r in world.requests] == [["CID", "action", "gateway_name"]] * len(
        names)
    # one error line per unknown name, the whole answer
    assert messages(caplog, "ERROR") == [
        str(failed(f"gateway {n} does not exist")) for n in names if n not in known]
    assert messages(caplog, "INFO") == []


@pytest.mark.parametrize("body, error", [
    ({"results": {"gw_name": "a", "gw_subnet_cidr": A}}, KeyError),     # no "return"
    (ok({"gw_name": "a"}), KeyError),
    (ok("a is at 10.0.1.0/24"), TypeError),
    (ok(None), TypeError),
    (FakeResponse(error=ValueError("Expecting value")), ValueError),
])
def test_get_subnet_malformed_answer(world, body, error):
    world.answer("get_gateway_info", body)
    with pytest.raises(error):
        spoke.getSubnetWithSpokeGw(CID, URL, ["a"])


def test_get_subnet_return_other_than_false_counts_as_found(world):
    """Only an answer whose "return" equals False is skipped."""
    world.answer("get_gateway_info", {"return": None, "results": {"gw_name": "a",
                                                                  "gw_subnet_cidr": A}})
    assert spoke.getSubnetWithSpokeGw(CID, URL, ["a"]) == [{"gw_name": "a", "cidr": A}]


@pytest.mark.parametrize("name, args", [
    ("getSpokeInfo", ({"public_subnet": A},)),
    ("getSubnetWithSpokeGw", (CID, URL)),
    ("list_gateway_info", (URL, CID, "", "no", None, "k", "extra")),
])
def test_query_argument_count(name, args):
    with pytest.raises(TypeError):
        getattr(spoke, name)(*args)
