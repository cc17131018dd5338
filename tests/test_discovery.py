"""Manager.get_natgw_id_by_subnet and Manager.get_natgw_infos: the refresh of
the discovered NAT gateway records from what EC2 holds now."""

import logging
from types import SimpleNamespace

import pytest

from morvent.commands import brindlemark

Manager = brindlemark.Manager
LOGGER = "morvent.commands.brindlemark"


def description(nat_id, private_ip, public_ip):
    return {"NatGatewayId": nat_id,
            "NatGatewayAddresses": [{"PrivateIp": private_ip, "PublicIp": public_ip}]}


class FakeEc2:
    """get_natgw_by_subnet stand-in: NAT gateways by subnet, calls recorded."""

    def __init__(self, by_subnet):
        self.by_subnet = by_subnet
        self.calls = []

    def lookup(self, ec2_client, subnet_id, vpc_id):
        assert ec2_client is self
        self.calls.append((subnet_id, vpc_id))
        return self.by_subnet.get(subnet_id, [])


@pytest.fixture
def world(monkeypatch):
    def install(by_subnet, records):
        ec2 = FakeEc2(by_subnet)
        monkeypatch.setattr(brindlemark, "get_natgw_by_subnet", ec2.lookup)
        monkeypatch.setattr(brindlemark, "CommandHistory",
                            SimpleNamespace(get_discovered_natgws=lambda: records))
        return ec2
    return install


CA = SimpleNamespace(vpc_id="vpc-0123abcd")


def test_first_gateway_of_a_subnet_wins(world, caplog):
    ec2 = world({"subnet-a": [description("nat-1", "10.0.0.5", "1.1.1.1"),
                              description("nat-2", "10.0.0.6", "2.2.2.2")]}, [])
    assert Manager.get_natgw_id_by_subnet(ec2, "subnet-a", "vpc-1")["NatGatewayId"] == "nat-1"
    assert ec2.calls == [("subnet-a", "vpc-1")]
    assert caplog.records == []


@pytest.mark.parametrize("found", [[], ()])
def test_subnet_without_nat_gateway_logs_vpc_and_subnet(world, caplog, found):
    ec2 = world({"subnet-b": found}, [])
    caplog.set_level(logging.INFO, logger=LOGGER)
    assert Manager.get_natgw_id_by_subnet(ec2, "subnet-b", "vpc-1") is None
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        (LOGGER, logging.INFO, "  No Natgw found in vpc-1::subnet-b")]


def test_refresh_updates_records_in_place(world, caplog):
    records = [
        {"subnet_id": "subnet-a", "subnet_cidr": "10.0.0.0/24", "nat_gw_id": "nat-old"},
        {"subnet_id": "subnet-b", "subnet_cidr": "10.0.1.0/24", "nat_gw_id": "nat-gone",
         "eip": "3.3.3.3"},
    ]
    first, second = records[0], dict(records[1])
    ec2 = world({"subnet-a": [description("nat-new", "10.0.0.9", "1.1.1.1")]}, records)
    caplog.set_level(logging.INFO, logger=LOGGER)

    result = Manager.get_natgw_infos(ec2, CA)

    assert result is records and result[0] is first
    assert list(first.items()) == [
        ("subnet_id", "subnet-a"), ("subnet_cidr", "10.0.0.0/24"), ("nat_gw_id", "nat-new"),
        ("private_ip", "10.0.0.9"), ("eip", "1.1.1.1")]
    assert records[1] == second  # no NAT gateway any more: left as discovered
    assert ec2.calls == [("subnet-a", "vpc-0123abcd"), ("subnet-b", "vpc-0123abcd")]
    assert [r.getMessage() for r in caplog.records] == ["  No Natgw found in vpc-0123abcd::subnet-b"]


def test_refresh_of_an_empty_discovery_looks_nothing_up(world, caplog):
    ec2 = world({}, [])
    assert Manager.get_natgw_infos(ec2, CA) == []
    assert ec2.calls == [] and caplog.records == []


def test_refresh_goes_through_the_class_so_subclasses_can_override(world):
    records = [{"subnet_id": "s1"}, {"subnet_id": "s2"}]
    world({}, records)
    seen = []

    class Custom(Manager):
        @classmethod
        def get_natgw_id_by_subnet(cls, ec2_client, subnet_id, vpc_id):
            seen.append((cls, subnet_id, vpc_id))
            return description("nat-" + subnet_id, "10.0.0.1", "9.9.9.9")

    assert Custom.get_natgw_infos("ec2", CA) is records
    assert seen == [(Custom, "s1", "vpc-0123abcd"), (Custom, "s2", "vpc-0123abcd")]
    assert [r["nat_gw_id"] for r in records] == ["nat-s1", "nat-s2"]


@pytest.mark.parametrize("bad, error", [
    ({"NatGatewayAddresses": [{"PrivateIp": "a", "PublicIp": "b"}]}, KeyError),
    ({"NatGatewayId": "nat-1", "NatGatewayAddresses": []}, IndexError),
    ({"NatGatewayId": "nat-1", "NatGatewayAddresses": [{"PublicIp": "b"}]}, KeyError),
])
def test_malformed_description_raises_and_keeps_earlier_updates(world, bad, error):
    records = [{"subnet_id": "ok"}, {"subnet_id": "bad"}]
    ec2 = world({"ok": [description("nat-ok", "10.0.0.1", "1.1.1.1")], "bad": [bad]}, records)
    with pytest.raises(error):
        Manager.get_natgw_infos(ec2, CA)
    assert records[0]["nat_gw_id"] == "nat-ok"


def test_record_without_subnet_id_raises_key_error(world):
    ec2 = world({}, [{"subnet_cidr": "10.0.0.0/24"}])
    with pytest.raises(KeyError, match="subnet_id"):
        Manager.get_natgw_infos(ec2, CA)
