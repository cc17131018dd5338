"""Fixtures for the simulated controller and cloud tests.

Import the fixtures you use into the test module:
    from sim_fixtures import api, sim, world  # noqa: F401
"""

from __future__ import annotations

import itertools

import pytest
import requests
import urllib3

from morvent.sim import SimulatedWorld

USERS = {"admin": "s3cret-pass", "operator": "other-pass"}
ACCOUNT = "sim-aws"

urllib3.disable_warnings(urllib3.exceptions.InsecureRequestWarning)
_names = itertools.count(1)


def unique(prefix: str = "gw") -> str:
    """A gateway name no other test uses."""
    return f"{prefix}{next(_names)}"


class Api:
    """Talks to the simulated controller exactly as the package does."""

    def __init__(self, sim: SimulatedWorld) -> None:
        self.sim = sim
        self.cid = ""

    def url(self, version: int = 1) -> str:
        return f"https://{self.sim.controller_ip}/v{version}/api"

    def login(self, username: str = "admin", password: str = USERS["admin"]) -> dict:
        answer = requests.post(self.url(1), data={
            "action": "login", "username": username, "password": password}, verify=False).json()
        if answer.get("return"):
            self.cid = answer["CID"]
        return answer

    def post(self, action: str, version: int = 2, **fields) -> dict:
        payload = {"CID": self.cid, "action": action, **fields}
        return requests.post(self.url(version), data=payload, verify=False).json()

    def get(self, action: str, version: int = 2, **fields) -> dict:
        payload = {"CID": self.cid, "action": action, **fields}
        return requests.get(self.url(version), params=payload, verify=False).json()

    def ok(self, action: str, version: int = 2, **fields):
        """POST and insist on success; the results."""
        answer = self.post(action, version, **fields)
        assert answer["return"] is True, answer
        return answer["results"]

    def create_primary(self, world, name: str, subnet: int = 0, eip: str | None = None,
                       size: str = "t3.small") -> dict:
        fields = {"cloud_type": 1, "account_name": ACCOUNT, "vpc_id": world.vpc_id,
                  "vpc_region": world.region, "gw_name": name, "gw_size": size,
                  "gw_subnet": world.public_cidrs[subnet]}
        if eip is not None:
            fields["eip"] = eip
        return self.post("create_multicloud_primary_gateway", **fields)

    def create_ha(self, world, primary: str, subnet: int, eip: str | None = None,
                  name: str | None = None, size: str = "t3.small") -> dict:
        fields = {"cloud_type": 1, "primary_gw_name": primary, "gw_size": size,
                  "gw_subnet": world.public_cidrs[subnet], "autogen_hagw_name": "yes"}
        if eip is not None:
            fields["eip"] = eip
        if name is not None:
            fields["ha_gw_name"] = name
        return self.post("create_multicloud_ha_gateway", **fields)

    def info(self, name: str) -> dict:
        answer = self.get("get_gateway_info", gateway_name=name)
        assert answer["return"] is True, answer
        return answer["results"]


@pytest.fixture(scope="module")
def sim():
    with SimulatedWorld(users=USERS) as world:
        world.controller.add_account(ACCOUNT)
        yield world


@pytest.fixture
def api(sim):
    """A logged-in client; faults and the request log start empty."""
    sim.controller.reset_faults()
    client = Api(sim)
    cid = getattr(sim, "_test_cid", "")
    if sim.controller.state.session_valid(cid):
        client.cid = cid
    else:
        assert client.login()["return"] is True
        sim._test_cid = client.cid
    sim.controller.clear_requests()
    yield client
    sim.controller.reset_faults()


@pytest.fixture
def world(sim):
    """A fresh two-zone VPC in the module's simulated cloud."""
    return sim.build(zones=2)
