"""The simulated controller, driven over HTTPS the way the package drives it."""

import re
import threading
import time

import pytest
import requests

from morvent.sim import routes
from morvent.sim.gateways import UNRESOLVED_TAG
from sim_fixtures import ACCOUNT, USERS, Api, api, sim, unique, world  # noqa: F401

INVALID_CID = "CID is invalid or expired."

pytestmark = pytest.mark.filterwarnings("ignore::urllib3.exceptions.InsecureRequestWarning")


def _instance(sim, name):
    return routes.instance(sim.ec2, sim.controller.gateways[name].instance_id)


def _address(sim, ip):
    return sim.ec2.describe_addresses(Filters=[{"Name": "public-ip", "Values": [ip]}])["Addresses"]


# -- sessions ----------------------------------------------------------------------

def test_login_gives_a_session_that_works(api):
    answer = api.login("operator", USERS["operator"])
    assert answer["results"] == "User login:operator authorized successfully"
    assert answer["CID"]
    assert api.get("list_version_info", version=1) == {
        "return": True, "results": {"current_version": "7.2.4996"}}


@pytest.mark.parametrize("username, password", [
    ("admin", "wrong"), ("nobody", USERS["admin"]), ("operator", USERS["admin"]),
])
def test_login_refuses_wrong_credentials(api, username, password):
    answer = api.login(username, password)
    assert answer == {"return": False, "reason": "Invalid username or password"}


def test_login_without_password_names_the_field(sim):
    answer = requests.post(Api(sim).url(1), data={"action": "login", "username": "admin"},
                           verify=False).json()
    assert answer == {"return": False, "reason": "Missing required parameter: password"}


@pytest.mark.parametrize("cid", [None, "", "0123456789abcdef0123456789abcdef"])
@pytest.mark.parametrize("action", ["list_version_info", "list_accounts",
                                    "list_primary_and_ha_spoke_gateways", "enable_snat"])
def test_bad_session_is_refused(api, cid, action):
    payload = {"action": action, "gateway_name": "x"}
    if cid is not None:
        payload["CID"] = cid
    answer = requests.post(api.url(2), data=payload, verify=False).json()
    assert answer == {"return": False, "reason": INVALID_CID}


def test_expired_sessions_are_refused(sim, api):
    sim.controller.expire_sessions()
    assert api.get("list_accounts", version=1) == {"return": False, "reason": INVALID_CID}
    api.login()
    assert api.get("list_accounts", version=1)["return"] is True


def test_session_time_to_live(sim, api):
    sim.controller.state.session_ttl = 0.05
    try:
        time.sleep(0.1)
        assert api.get("list_accounts", version=1)["reason"] == INVALID_CID
    finally:
        sim.controller.state.session_ttl = None


# -- request shapes ------------------------------------------------------------------

@pytest.mark.parametrize("send", ["post_body", "get_query", "get_body"])
def test_fields_are_read_from_body_and_query(api, send):
    payload = {"CID": api.cid, "action": "list_version_info"}
    if send == "post_body":
        response = requests.post(api.url(1), data=payload, verify=False)
    elif send == "get_query":
        response = requests.get(api.url(1), params=payload, verify=False)
    else:
        response = requests.get(api.url(1), data=payload, verify=False)
    assert response.headers["Content-Type"] == "application/json"
    assert response.json()["results"] == {"current_version": "7.2.4996"}
    record = api.sim.controller.requests[-1]
    assert record.action == "list_version_info"
    assert record.method == ("POST" if send == "post_body" else "GET")
    assert record.path == "/v1/api"
    assert (record.query if send == "get_query" else record.body) == payload


def test_records_mask_the_password(sim, api):
    api.login()
    login = sim.controller.calls("login")[-1]
    assert login.fields == {"action": "login", "username": "admin", "password": "********"}
    assert login.answer["return"] is True and login.status == 200
    assert isinstance(login.time, float)


def test_unknown_action_and_missing_action(api):
    assert api.post("make_coffee") == {"return": False, "reason": "Unknown action: make_coffee"}
    answer = requests.post(api.url(2), data={"CID": api.cid}, verify=False).json()
    assert answer == {"return": False, "reason": "Missing required parameter: action"}


def test_json_body_and_unknown_path_are_refused(api):
    response = requests.post(api.url(2), json={"CID": api.cid, "action": "list_accounts"},
                             verify=False)
    assert response.status_code == 400
    assert "form-encoded" in response.json()["reason"]
    response = requests.post(f"https://{api.sim.controller_ip}/v3/api",
                             data={"action": "login"}, verify=False)
    assert response.status_code == 404 and response.json()["return"] is False


def test_certificate_names_the_loopback_address(sim):
    response = requests.get(Api(sim).url(1), params={"action": "list_version_info"},
                            verify=sim.controller.cert_path)
    assert response.json()["reason"] == INVALID_CID


# Every action with all the fields it cannot do without.
REQUIRED = {
    "setup_account_profile": {"account_name": "a", "cloud_type": "1", "aws_account_number": "1" * 12},
    "get_gateway_info": {"gateway_name": "g"},
    "create_multicloud_primary_gateway": {
        "cloud_type": "1", "account_name": "a", "vpc_id": "v", "vpc_region": "r",
        "gw_name": "g", "gw_size": "t3.small", "gw_subnet": "10.0.0.0/24"},
    "create_multicloud_ha_gateway": {
        "cloud_type": "1", "primary_gw_name": "g", "gw_size": "t3.small", "gw_subnet": "c"},
    "delete_multicloud_gateway": {"gw_name": "g"},
    "create_spoke_gw": {"account_name": "a", "gw_name": "g", "gw_size": "t3.small",
                        "public_subnet": "c", "vpc_id": "v", "region": "r", "cloud_type": "1"},
    "enable_spoke_ha": {"gw_name": "g", "public_subnet": "c"},
    "disable_spoke_ha": {"gw_name": "g"},
    "delete_container": {"cloud_type": "1", "gw_name": "g"},
    "enable_snat": {"gateway_name": "g"},
    "disable_snat": {"gateway_name": "g"},
    "change_gateway_size": {"gw_name": "g", "gw_size": "t3.small"},
}


@pytest.mark.parametrize("action, missing", [
    (action, field) for action, fields in REQUIRED.items() for field in fields])
def test_missing_field_is_named(api, action, missing):
    fields = {k: v for k, v in REQUIRED[action].items() if k != missing}
    answer = api.post(action, **fields)
    assert answer == {"return": False, "reason": f"Missing required parameter: {missing}"}
    assert api.sim.controller.gateways.get("g") is None


@pytest.mark.parametrize("action, field", [
    ("get_gateway_info", "gateway_name"), ("delete_multicloud_gateway", "gw_name"),
    ("enable_snat", "gateway_name"), ("disable_snat", "gateway_name"),
    ("change_gateway_size", "gw_name"), ("disable_spoke_ha", "gw_name"),
    ("delete_container", "gw_name"), ("list_vpcs_summary", "gateway_name"),
])
def test_unknown_gateway_is_refused(api, action, field):
    fields = dict(REQUIRED.get(action, {}))
    fields[field] = "no-such-gw"
    answer = api.post(action, **fields)
    assert answer == {"return": False, "reason": "Gateway no-such-gw does not exist"}


# -- accounts -----------------------------------------------------------------------------

def test_accounts_are_set_up_once(api):
    name = unique("acct")
    fields = {"account_name": name, "cloud_type": 1, "aws_account_number": "210987654321",
              "aws_iam": "true", "aws_role_arn": "arn:aws:iam::210987654321:role/app",
              "aws_role_ec2": "arn:aws:iam::210987654321:role/ec2"}
    assert name in api.ok("setup_account_profile", version=1, **fields)
    listed = api.get("list_accounts", version=1)["results"]["account_list"]
    mine = [a for a in listed if a["account_name"] == name]
    assert mine and mine[0]["cloud_type"] == 1 and mine[0]["account_number"] == "210987654321"
    again = api.post("setup_account_profile", version=1, **fields)
    assert again == {"return": False, "reason": f"Account {name} already exists"}


@pytest.mark.parametrize("number, cloud_type, words", [
    ("12345", 1, "12 digits"), ("12345678901x", 1, "12 digits"), ("123456789012", 4, "cloud_type"),
])
def test_account_typos_are_refused(api, number, cloud_type, words):
    answer = api.post("setup_account_profile", version=1, account_name=unique("acct"),
                      cloud_type=cloud_type, aws_account_number=number)
    assert answer["return"] is False and words in answer["reason"]


# -- HS gateways ----------------------------------------------------------------------------

def test_primary_gateway_lives_in_ec2(sim, api, world):
    name = unique()
    answer = api.create_primary(world, name)
    assert answer == {"return": True, "results": f"{name} created successfully"}
    summary = api.get("list_vpcs_summary", account_name="", acx_gw_only="no",
                      gateway_name=name)["results"]
    assert len(summary) == 1
    record = summary[0]
    assert record["gw_name"] == name and record["public_subnet"] == world.public_cidrs[0]
    assert record["gw_subnet_id"] == world.zones[0].public_subnet_id
    assert record["vpc_id"] == world.vpc_id and record["vpc_size"] == "t3.small"
    assert record["hagw_details_list"] == []
    inst = _instance(sim, name)
    assert inst["State"]["Name"] == "running" and inst["SubnetId"] == record["gw_subnet_id"]
    assert inst["PrivateIpAddress"] == record["private_ip"]
    assert inst["PublicIpAddress"] == record["public_ip"] not in world.eips
    info = api.info(name)
    assert info["gw_subnet_cidr"] == world.public_cidrs[0] and info["snat"] is False
    assert "primary_gw_name" not in info


@pytest.mark.parametrize("change, words", [
    ({"account_name": "nobody"}, "Account nobody does not exist"),
    ({"vpc_id": "vpc-0000000000000000f"}, "VPC vpc-0000000000000000f does not exist"),
    ({"gw_subnet": "10.9.9.0/24"}, "Subnet 10.9.9.0/24 does not exist"),
    ({"gw_subnet": "private"}, "is not a public subnet"),
    ({"gw_size": "huge"}, "Invalid gateway size"),
    ({"gw_name": "two words"}, "Invalid gateway name"),
    ({"cloud_type": 8}, "Unsupported cloud_type 8"),
])
def test_primary_gateway_refusals(sim, api, world, change, words):
    fields = {"cloud_type": 1, "account_name": ACCOUNT, "vpc_id": world.vpc_id,
              "vpc_region": world.region, "gw_name": unique(), "gw_size": "t3.small",
              "gw_subnet": world.public_cidrs[0]}
    if change.get("gw_subnet") == "private":
        change = {"gw_subnet": world.zones[0].private_subnets[0].cidr}
    fields.update(change)
    running = len(sim.controller.gateways)
    answer = api.post("create_multicloud_primary_gateway", **fields)
    assert answer["return"] is False and words in answer["reason"], answer
    assert len(sim.controller.gateways) == running


def test_duplicate_gateway_name_is_refused(api, world):
    name = unique()
    api.create_primary(world, name)
    answer = api.create_primary(world, name, subnet=1)
    assert answer == {"return": False, "reason": f"Gateway {name} already exists"}


def test_ha_names_are_generated_from_the_primary(sim, api, world):
    name = unique()
    api.create_primary(world, name)
    made = [api.create_ha(world, name, 1)["results"].split(" ")[0] for _ in range(3)]
    assert made == [f"{name}-hagw", f"{name}-hagw-2", f"{name}-hagw-3"]
    assert api.create_ha(world, name, 0, name=f"{name}-mine")["results"] == f"{name}-mine created successfully"
    # A freed name is the first to come back.
    api.ok("delete_multicloud_gateway", gw_name=f"{name}-hagw")
    assert api.create_ha(world, name, 1)["results"].startswith(f"{name}-hagw ")

    listed = api.get("list_vpcs_summary", gateway_name=name)["results"][0]
    has = [r["gw_name"] for r in listed["hagw_details_list"]]
    assert sorted(has) == sorted(made + [f"{name}-mine"])
    ha = api.get("list_vpcs_summary", gateway_name=f"{name}-hagw-2")["results"]
    assert [r["gw_name"] for r in ha] == [f"{name}-hagw-2"]
    assert ha[0]["public_subnet"] == world.public_cidrs[1] and ha[0]["primary_gw_name"] == name
    assert api.info(f"{name}-hagw-3")["primary_gw_name"] == name

    spokes = api.post("list_primary_and_ha_spoke_gateways")["results"]
    mine = {s["name"]: s for s in spokes if s["name"].startswith(name)}
    assert mine[name]["primary_gw_name"] == name and mine[name]["is_ha"] is False
    assert mine[f"{name}-mine"]["primary_gw_name"] == name
    assert mine[f"{name}-mine"]["gw_subnet_cidr"] == world.public_cidrs[0]


def test_ha_of_an_ha_or_without_a_name_is_refused(api, world):
    name = unique()
    api.create_primary(world, name)
    api.create_ha(world, name, 1)
    answer = api.create_ha(world, f"{name}-hagw", 0)
    assert answer["return"] is False and "is an HA gateway" in answer["reason"]
    answer = api.post("create_multicloud_ha_gateway", cloud_type=1, primary_gw_name=name,
                      gw_size="t3.small", gw_subnet=world.public_cidrs[0], autogen_hagw_name="no")
    assert answer["return"] is False and "ha_gw_name" in answer["reason"]


def test_concurrent_ha_creations_get_distinct_names(sim, world):
    name = unique()
    client = Api(sim)
    client.login()
    client.create_primary(world, name)
    answers = []
    threads = [threading.Thread(target=lambda: answers.append(client.create_ha(world, name, 1)))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    names = sorted(a["results"].split(" ")[0] for a in answers)
    assert names == sorted([f"{name}-hagw"] + [f"{name}-hagw-{n}" for n in (2, 3, 4)])


def test_primary_with_ha_cannot_be_deleted(sim, api, world):
    name = unique()
    api.create_primary(world, name)
    api.create_ha(world, name, 1)
    answer = api.post("delete_multicloud_gateway", gw_name=name)
    assert answer["return"] is False and f"{name}-hagw" in answer["reason"]
    assert name in sim.controller.gateways
    api.ok("delete_multicloud_gateway", gw_name=f"{name}-hagw")
    api.ok("delete_multicloud_gateway", gw_name=name)
    assert api.get("get_gateway_info", gateway_name=name)["return"] is False


# -- Elastic IPs -------------------------------------------------------------------------------

def test_eip_held_by_a_nat_gateway_is_refused_until_it_is_deleted(sim, api, world):
    name, eip = unique(), world.eips[0]
    answer = api.create_primary(world, name, eip=eip)
    assert answer["return"] is False
    assert eip in answer["reason"] and world.nat_gateway_ids[0] in answer["reason"]
    assert name not in sim.controller.gateways
    sim.ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[0])
    assert api.create_primary(world, name, eip=eip)["return"] is True
    inst = _instance(sim, name)
    assert inst["PublicIpAddress"] == eip
    assert _address(sim, eip)[0]["InstanceId"] == inst["InstanceId"]
    assert api.info(name)["public_ip"] == eip


def test_eip_held_by_another_gateway_is_refused(sim, api, world):
    first, second = unique(), unique()
    sim.ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[1])
    assert api.create_primary(world, first, subnet=1, eip=world.eips[1])["return"] is True
    answer = api.create_ha(world, first, 1, eip=world.eips[1])
    assert answer["return"] is False and f"gateway {first}" in answer["reason"]
    answer = api.create_primary(world, second, eip=world.eips[1])
    assert answer["return"] is False and world.eips[1] in answer["reason"]


def test_unknown_eip_is_refused(api, world):
    answer = api.create_primary(world, unique(), eip="203.0.113.9")
    assert answer["return"] is False and "203.0.113.9" in answer["reason"]


def test_given_eip_is_returned_unassociated_fresh_one_released(sim, api, world):
    given, fresh = unique(), unique()
    sim.ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[0])
    api.create_primary(world, given, eip=world.eips[0])
    api.create_primary(world, fresh, subnet=1)
    fresh_ip = api.info(fresh)["public_ip"]
    instances = [sim.controller.gateways[n].instance_id for n in (given, fresh)]
    api.ok("delete_multicloud_gateway", gw_name=given)
    api.ok("delete_multicloud_gateway", gw_name=fresh)
    kept = _address(sim, world.eips[0])
    assert kept and not kept[0].get("AssociationId") and not kept[0].get("InstanceId")
    assert _address(sim, fresh_ip) == []
    for iid in instances:
        assert routes.instance(sim.ec2, iid)["State"]["Name"] == "terminated"
    # The address can serve again right away.
    assert api.create_primary(world, unique(), eip=world.eips[0])["return"] is True


# -- classic gateways -----------------------------------------------------------------------

def test_classic_gateway_with_ha(sim, api, world):
    name = unique("classic")
    create = {"account_name": ACCOUNT, "gw_name": name, "gw_size": "t3.small",
              "public_subnet": world.public_cidrs[0], "vpc_id": world.vpc_id,
              "region": world.region, "cloud_type": 1, "reuse_eip": "off"}
    api.ok("create_spoke_gw", version=1, **create)
    ha = {"account_name": ACCOUNT, "gw_name": name, "public_subnet": world.public_cidrs[1]}
    api.ok("enable_spoke_ha", version=1, **ha)
    assert api.info(f"{name}-hagw")["gw_subnet_cidr"] == world.public_cidrs[1]
    again = api.post("enable_spoke_ha", version=1, **ha)
    assert again["return"] is False and "already enabled" in again["reason"]
    refused = api.post("delete_container", version=1, cloud_type=1, gw_name=name)
    assert refused["return"] is False
    api.ok("disable_spoke_ha", version=1, gw_name=name)
    assert f"{name}-hagw" not in sim.controller.gateways
    assert "nothing to do" in api.ok("disable_spoke_ha", version=1, gw_name=name)
    api.ok("delete_container", version=1, cloud_type=1, gw_name=name)
    assert name not in sim.controller.gateways


# -- SNAT -------------------------------------------------------------------------------------

def _egress(sim, world):
    return {t: (e.target_kind, e.target_id) for t, e in sim.snapshot(world.vpc_id).items()
            if t in world.private_route_table_ids}


def _public_default(sim, world):
    table = sim.ec2.describe_route_tables(RouteTableIds=[world.public_route_table_id])["RouteTables"][0]
    return routes.route_target(routes.default_route(table))


def test_snat_points_each_zone_at_its_gateway_and_restores(sim, api):
    world = sim.build(zones=3, private_subnets_per_zone=2)
    before = _egress(sim, world)
    name = unique()
    api.create_primary(world, name, subnet=0)
    api.create_ha(world, name, 1)
    gws = sim.controller.gateways
    zone_gw = {world.zones[0].name: gws[name].instance_id,
               world.zones[1].name: gws[f"{name}-hagw"].instance_id,
               world.zones[2].name: gws[name].instance_id}     # no gateway there yet

    assert "6 route table(s)" in api.ok("enable_snat", gateway_name=name)
    assert api.info(name)["snat"] is True and api.info(f"{name}-hagw")["snat"] is True
    for table, target in _egress(sim, world).items():
        assert target == ("InstanceId", zone_gw[world.zone_of_table(table).name])
    assert _public_default(sim, world)[0] == "GatewayId"

    # An HA gateway that comes later takes its zone over; when it goes, the primary does.
    api.create_ha(world, name, 2)
    late = sim.controller.gateways[f"{name}-hagw-2"].instance_id
    for table, target in _egress(sim, world).items():
        expect = late if world.zone_of_table(table).name == world.zones[2].name else \
            zone_gw[world.zone_of_table(table).name]
        assert target == ("InstanceId", expect)
    api.ok("delete_multicloud_gateway", gw_name=f"{name}-hagw-2")
    for table, target in _egress(sim, world).items():
        assert target == ("InstanceId", zone_gw[world.zone_of_table(table).name])
    assert sim.blackholes(world.vpc_id) == 0

    assert "6 of 6" in api.ok("disable_snat", gateway_name=name)
    assert _egress(sim, world) == before
    assert api.info(name)["snat"] is False


def test_snat_enabled_twice_keeps_the_way_back(sim, api, world):
    before = _egress(sim, world)
    name = unique()
    api.create_primary(world, name)
    api.ok("enable_snat", gateway_name=name)
    assert "already enabled" in api.ok("enable_snat", gateway_name=name)
    api.ok("disable_snat", gateway_name=name)
    assert _egress(sim, world) == before
    assert "not enabled" in api.ok("disable_snat", gateway_name=name)


def test_snat_restore_finds_the_nat_gateway_now_in_the_subnet(sim, api, world):
    name = unique()
    api.create_primary(world, name)
    api.ok("enable_snat", gateway_name=name)
    old = world.nat_gateway_ids[1]
    sim.ec2.delete_nat_gateway(NatGatewayId=old)
    new = sim.ec2.create_nat_gateway(SubnetId=world.zones[1].public_subnet_id,
                                     AllocationId=world.zones[1].allocation_id)["NatGateway"]["NatGatewayId"]
    # The first zone's NAT gateway goes for good: nothing to go back to.
    sim.ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[0])
    message = api.ok("disable_snat", gateway_name=name)
    assert "1 of 2" in message and world.nat_gateway_ids[0] in message
    after = _egress(sim, world)
    zone1_table = world.zones[1].private_subnets[0].route_table_id
    zone0_table = world.zones[0].private_subnets[0].route_table_id
    assert after[zone1_table] == ("NatGatewayId", new)
    assert after[zone0_table] == ("InstanceId", sim.controller.gateways[name].instance_id)
    tags = sim.ec2.describe_route_tables(RouteTableIds=[zone0_table])["RouteTables"][0]["Tags"]
    assert any(t["Key"] == UNRESOLVED_TAG for t in tags)


def test_deleting_a_primary_with_snat_on_leaves_no_blackhole(sim, api, world):
    before = _egress(sim, world)
    name = unique()
    api.create_primary(world, name)
    api.ok("enable_snat", gateway_name=name)
    api.ok("delete_multicloud_gateway", gw_name=name)
    assert _egress(sim, world) == before
    assert sim.blackholes(world.vpc_id) == 0


def test_snat_on_an_ha_gateway_is_refused(api, world):
    name = unique()
    api.create_primary(world, name)
    api.create_ha(world, name, 1)
    for action in ("enable_snat", "disable_snat"):
        answer = api.post(action, gateway_name=f"{name}-hagw")
        assert answer["return"] is False and "primary" in answer["reason"]


# -- size ---------------------------------------------------------------------------------------

def test_change_gateway_size(sim, api, world):
    name = unique()
    api.create_primary(world, name)
    assert "resized to c5.xlarge" in api.ok("change_gateway_size", gw_name=name, gw_size="c5.xlarge")
    assert api.info(name)["vpc_size"] == "c5.xlarge"
    assert _instance(sim, name)["InstanceType"] == "c5.xlarge"
    assert "already" in api.ok("change_gateway_size", gw_name=name, gw_size="c5.xlarge")
    answer = api.post("change_gateway_size", gw_name=name, gw_size="xlarge")
    assert answer["return"] is False and "Invalid gateway size" in answer["reason"]
    assert api.info(name)["vpc_size"] == "c5.xlarge"


# -- faults ---------------------------------------------------------------------------------------

def _version(api):
    return requests.get(api.url(1), params={"CID": api.cid, "action": "list_version_info"},
                        verify=False)


def test_fault_hits_the_nth_call_only(sim, api):
    sim.controller.inject("list_version_info", nth=2, reason="controller busy")
    assert _version(api).json()["return"] is True
    assert _version(api).json() == {"return": False, "reason": "controller busy"}
    assert _version(api).json()["return"] is True
    assert [r.fault for r in sim.controller.calls("list_version_info")] == [None, "fail", None]


def test_http_500_and_dropped_connection(sim, api):
    sim.controller.inject("list_version_info", mode="http500")
    response = _version(api)
    assert response.status_code == 500
    with pytest.raises(requests.JSONDecodeError):
        response.json()
    sim.controller.inject("list_version_info", mode="drop")
    with pytest.raises(requests.ConnectionError):
        _version(api)
    assert _version(api).status_code == 200


def test_fault_after_the_work_is_done(sim, api, world):
    name = unique()
    sim.controller.inject("create_multicloud_primary_gateway", mode="drop", after=True)
    with pytest.raises(requests.ConnectionError):
        api.create_primary(world, name)
    assert name in sim.controller.gateways
    sim.controller.inject("delete_multicloud_gateway", mode="fail")
    assert api.post("delete_multicloud_gateway", gw_name=name)["return"] is False
    assert name in sim.controller.gateways


def test_observers_see_each_action_before_its_answer(sim, api, world):
    seen = []

    def observer(record, answer):
        # The gateway exists already while the client still waits.
        seen.append((record.action, answer["return"], record.fields.get("gw_name") in
                     sim.controller.gateways))

    def broken(record, answer):
        raise RuntimeError("observer bug")

    sim.controller.add_observer(broken)
    sim.controller.add_observer(observer)
    try:
        name = unique()
        assert api.create_primary(world, name)["return"] is True
        sim.controller.inject("list_version_info", mode="drop")
        with pytest.raises(requests.ConnectionError):
            _version(api)  # refused before the action: nothing to observe
    finally:
        sim.controller.remove_observer(broken)
        sim.controller.remove_observer(observer)
    _version(api)
    assert seen == [("create_multicloud_primary_gateway", True, True)]


def test_failure_answers_can_carry_results(sim, api):
    sim.controller.failures_carry_results = True
    try:
        sim.controller.inject("list_version_info", reason="busy")
        assert _version(api).json() == {"return": False, "reason": "busy", "results": "busy"}
        assert api.post("enable_snat", gateway_name="nope")["results"] == \
            "Gateway nope does not exist"
    finally:
        sim.controller.failures_carry_results = False
    assert "results" not in api.post("enable_snat", gateway_name="nope")


def test_latency_and_delay(sim, api):
    sim.controller.inject("list_version_info", mode="delay", delay=0.3)
    start = time.monotonic()
    assert _version(api).json()["return"] is True
    assert time.monotonic() - start >= 0.3
    sim.controller.set_latency(0.2)
    start = time.monotonic()
    api.get("list_accounts", version=1)
    assert time.monotonic() - start >= 0.2
    sim.controller.reset_faults()
    start = time.monotonic()
    api.get("list_accounts", version=1)
    assert time.monotonic() - start < 0.2


def test_a_fault_aimed_at_one_vpc_counts_only_its_calls(sim, api, world):
    other = sim.build(zones=2)
    sim.controller.inject("create_multicloud_primary_gateway", vpc_id=other.vpc_id)
    assert api.create_primary(world, unique())["return"] is True
    assert api.create_primary(other, unique())["return"] is False
    primary = unique()
    assert api.create_primary(other, primary)["return"] is True
    # An HA creation names the primary, not the VPC: it counts for the primary's VPC.
    sim.controller.inject("create_multicloud_ha_gateway", vpc_id=other.vpc_id)
    assert api.create_ha(other, primary, 1)["return"] is False
    assert [r.vpc_id for r in sim.controller.calls("create_multicloud_ha_gateway")] \
        == [other.vpc_id]


def test_a_slow_creation_holds_up_no_other_request(sim, api, world):
    sim.controller.set_latency(5, "create_multicloud_primary_gateway")
    answers = []
    creating = threading.Thread(target=lambda: answers.append(
        api.create_primary(world, unique())))
    creating.start()
    deadline = time.monotonic() + 5
    while not sim.controller.calls("create_multicloud_primary_gateway"):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    for _ in range(3):
        assert api.get("list_version_info", version=1)["return"] is True
    [record] = sim.controller.calls("create_multicloud_primary_gateway")
    assert record.status is None   # still waiting while the others were answered
    creating.join(30)
    assert answers[0]["return"] is True and record.status == 200


@pytest.mark.parametrize("kwargs", [
    {"mode": "explode"}, {"nth": 0}, {"delay": -1}, {"mode": "delay", "after": True},
])
def test_bad_fault_requests(sim, kwargs):
    with pytest.raises(ValueError):
        sim.controller.inject("login", **kwargs)


def test_controller_without_a_cloud_still_answers():
    from morvent.sim import ControllerSimulator

    with ControllerSimulator(users={"u": "p"}) as alone:
        alone.add_account("acct")
        cid = alone.login()
        answer = requests.post(alone.url(2), data={
            "CID": cid, "action": "create_multicloud_primary_gateway", "cloud_type": 1,
            "account_name": "acct", "vpc_id": "vpc-1", "vpc_region": "us-east-1",
            "gw_name": "g", "gw_size": "t3.small", "gw_subnet": "10.0.0.0/24"}, verify=False).json()
        assert answer["return"] is False and "no cloud" in answer["reason"]
        with pytest.raises(ValueError):
            alone.add_account("acct")
    with pytest.raises(RuntimeError):
        alone.address


def test_replacing_nat_gateways_keeps_each_zone_egress_address(sim, api):
    """The move the package makes, step by step: no route ever leads nowhere,
    and every zone leaves with the address it had."""
    world = sim.build(zones=2)
    ec2, name = sim.ec2, unique()
    zone_ip = {z.name: z.eip for z in world.zones}

    def egress_ips():
        assert sim.blackholes(world.vpc_id) == 0
        return {world.zone_of_table(t).name: e.public_ip
                for t, e in sim.snapshot(world.vpc_id).items() if t in world.private_route_table_ids}

    for table in world.zones[0].private_subnets:
        ec2.replace_route(RouteTableId=table.route_table_id, DestinationCidrBlock="0.0.0.0/0",
                          NatGatewayId=world.nat_gateway_ids[1])
    ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[0])
    assert set(egress_ips().values()) == {world.eips[1]}
    assert api.create_primary(world, name, subnet=0, eip=world.eips[0])["return"] is True
    api.ok("enable_snat", gateway_name=name)
    assert set(egress_ips().values()) == {world.eips[0]}
    ec2.delete_nat_gateway(NatGatewayId=world.nat_gateway_ids[1])
    assert api.create_ha(world, name, 1, eip=world.eips[1])["return"] is True
    assert egress_ips() == zone_ip

    # And back again.
    api.ok("delete_multicloud_gateway", gw_name=f"{name}-hagw")
    assert set(egress_ips().values()) == {world.eips[0]}
    ec2.create_nat_gateway(SubnetId=world.zones[1].public_subnet_id,
                           AllocationId=world.zones[1].allocation_id)
    api.ok("disable_snat", gateway_name=name)
    assert set(egress_ips().values()) == {world.eips[1]}
    api.ok("delete_multicloud_gateway", gw_name=name)
    assert not sim.ec2.describe_addresses(AllocationIds=[world.zones[0].allocation_id])[
        "Addresses"][0].get("AssociationId")


# -- garbled answers and hung requests ---------------------------------------------------------

def _account_fields(name):
    return {"CID": None, "action": "setup_account_profile", "account_name": name,
            "cloud_type": 1, "aws_account_number": "210987654321"}


def _has_account(api, name):
    listed = api.get("list_accounts", version=1)["results"]["account_list"]
    return any(a["account_name"] == name for a in listed)


@pytest.mark.parametrize("after", [False, True])
def test_garbled_answer_lacks_its_keys(sim, api, after):
    name = unique("acct")
    sim.inject("setup_account_profile", mode="garbled", after=after)
    response = requests.post(api.url(1), data={**_account_fields(name), "CID": api.cid},
                             verify=False)
    assert response.status_code == 200
    assert response.json() == {"status": "unknown"}
    assert _has_account(api, name) is after
    record = sim.controller.calls("setup_account_profile")[-1]
    assert (record.fault, record.answer) == ("garbled", {"status": "unknown"})


@pytest.mark.parametrize("after", [False, True])
def test_hang_gives_no_answer_and_the_server_goes_on_serving(sim, api, after):
    name = unique("acct")
    sim.inject("setup_account_profile", mode="hang", after=after)  # the default hold
    outcome = []

    def client():
        try:
            requests.post(api.url(1), data={**_account_fields(name), "CID": api.cid},
                          verify=False, timeout=(5, 0.5))
            outcome.append("answered")
        except requests.Timeout:
            outcome.append("timeout")

    hung = threading.Thread(target=client)
    hung.start()
    # While the request is held, others are answered.
    for _ in range(3):
        assert api.get("list_version_info", version=1)["return"] is True
    hung.join(10)
    assert outcome == ["timeout"]
    assert _has_account(api, name) is after
    assert sim.controller.calls("setup_account_profile")[-1].fault == "hang"


def test_hang_ends_by_closing_the_connection(api):
    api.sim.inject("list_version_info", mode="hang", delay=0.2)
    with pytest.raises(requests.ConnectionError) as info:
        _version(api)  # no client timeout: the server's hold bounds the wait
    assert not isinstance(info.value, requests.Timeout)
    assert _version(api).json()["return"] is True


def test_stop_lets_hung_requests_go():
    from morvent.sim import ControllerSimulator

    controller = ControllerSimulator(users={"u": "p"}).start()
    handlers, errors = [], []
    controller.add_observer(lambda record, answer: handlers.append(threading.current_thread()))
    try:
        controller.inject("login", mode="hang", after=True)  # the default hold: long
        client = threading.Thread(target=lambda: errors.append(pytest.raises(
            requests.ConnectionError, requests.post, controller.url(1),
            data={"action": "login", "username": "u", "password": "p"}, verify=False)))
        client.start()
        while not handlers:
            time.sleep(0.01)
    finally:
        controller.stop()
    assert not handlers[0].is_alive()  # stop() waited for the held request's thread
    client.join(10)
    assert not client.is_alive() and len(errors) == 1


@pytest.mark.parametrize("text, expected", [
    ("enable_snat", {"action": "enable_snat", "nth": 1, "mode": "fail", "after": False}),
    ("create_multicloud_ha_gateway:2",
     {"action": "create_multicloud_ha_gateway", "nth": 2, "mode": "fail", "after": False}),
    ("enable_snat:drop", {"action": "enable_snat", "nth": 1, "mode": "drop", "after": False}),
    ("create_multicloud_primary_gateway:1:drop-after",
     {"action": "create_multicloud_primary_gateway", "nth": 1, "mode": "drop", "after": True}),
    ("list_accounts:3:garbled",
     {"action": "list_accounts", "nth": 3, "mode": "garbled", "after": False}),
    ("change_gateway_size:hang-after=5",
     {"action": "change_gateway_size", "nth": 1, "mode": "hang", "after": True, "delay": 5.0}),
    (" login:delay=0.5 ", {"action": "login", "nth": 1, "mode": "delay", "after": False,
                           "delay": 0.5}),
    ("enable_snat:2:http500-after",
     {"action": "enable_snat", "nth": 2, "mode": "http500", "after": True}),
])
def test_parse_fault(text, expected):
    from morvent.sim.faults import FaultPlan, parse_fault

    assert parse_fault(text) == expected
    fault = FaultPlan().inject(**parse_fault(text))
    assert (fault.action, fault.nth, fault.mode, fault.after) == \
        (expected["action"], expected["nth"], expected["mode"], expected["after"])


@pytest.mark.parametrize("text, words", [
    ("", "ACTION[:N][:KIND]"),
    ("enable snat", "ACTION[:N][:KIND]"),
    ("enable_snat:1:drop:x", "ACTION[:N][:KIND]"),
    ("enable_snat:0", "1 or more"),
    ("enable_snat:drop:2", "1 or more"),
    ("enable_snat:explode", "unknown kind 'explode'"),
    ("enable_snat:2:drop-later", "unknown kind"),
    ("enable_snat:", "unknown kind ''"),
    ("enable_snat:hang=soon", "not a number of seconds"),
    ("enable_snat:hang=-1", "not a number of seconds"),
    ("enable_snat:hang=inf", "not a number of seconds"),
    ("enable_snat:delay-after", "'-after' means nothing"),
    (None, "text like"),
])
def test_parse_fault_refuses(text, words):
    from morvent.sim.faults import parse_fault

    with pytest.raises(ValueError, match=re.escape(words)) as info:
        parse_fault(text)
    assert "\n" not in str(info.value)
