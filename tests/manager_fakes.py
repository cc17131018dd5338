"""A scriptable fake world for ``Manager`` of ``morvent.commands.brindlemark``.

``World.install(monkeypatch)`` puts recording fakes in place of every
collaborator global of the module.  All of them write into one event log,
``world.events``, as tuples ``(name, *args)`` with a trailing dict of keyword
arguments when there are any, so a test can assert the exact call order.

The world keeps:
- the NAT gateways that exist in EC2 (``natgws``, by subnet id), which the
  deletions remove and their restores bring back;
- the discovered records that the sizing command hands out (``records``);
- a LIFO memento history with group marks (``history``), whose
  ``is_memento_exist`` iterator says "held" for as many positions as the
  history held when it was asked for;
- what each S3 upload saw (``uploads``: the memento labels, oldest first).

``world.fail(name, exc, nth=1)`` makes the nth event called ``name`` raise.
"""

from __future__ import annotations

import logging
from types import SimpleNamespace

from morvent.commands import brindlemark
from morvent.core.exceptions import CorvaneRollbackException

LOGGER = "morvent.commands.brindlemark"
FOLDER = "/backup/vpc-1"
CONFIG = {"name": "the raw configuration"}

# Group openers: snapshot s1 for record 0, the deletion for every further one.
GROUP_OPENERS = ("snapshot:s1",) + tuple(f"delete:{i}" for i in range(1, 10))


def sequence(n: int = 3, *, test: bool = False, resize: bool = True,
             hs_mode: int = 2, cmdcnt: int = -1) -> list[str]:
    """The memento labels of a complete run, in order."""
    labels = ["test-prep"] if test else []
    for i in range(n):
        if hs_mode == 1 and i > 1:
            continue
        if cmdcnt >= 0 and i >= cmdcnt:
            break
        if i == 0:
            labels += ["snapshot:s1", "traffic:0", "delete:0", "spoke:0", "snapshot:s2", "snat"]
        else:
            labels += [f"delete:{i}", f"spoke:{i}"]
    if resize:
        labels.append("resize")
    return labels


def newest_group(labels: list[str]) -> list[str]:
    """What a rollback undoes from a history holding ``labels``: newest first,
    down to and including the newest group opener (or everything)."""
    undone = []
    for label in reversed(labels):
        undone.append(label)
        if label in GROUP_OPENERS:
            break
    return undone


class FakeMemento:
    def __init__(self, world: World, label: str, spoke_info: dict | None = None):
        self.world = world
        self.label = label
        self.spoke_info = spoke_info

    def getSpokeInfo(self):
        return self.spoke_info

    def restore(self):
        w = self.world
        w.restored_with_globals.append(
            (self.label, w.Globals.CID, w.Globals.controller_ip, w.Globals.aws_client_manager))
        w.record("restore", self.label)
        if self.label.startswith("delete:"):
            i = int(self.label.split(":")[1])
            w.natgws[f"subnet-{i}"] = w.description(i)

    def __repr__(self):
        return f"<memento {self.label}>"


class World:
    def __init__(self, n: int = 3, *, enable_test: bool = False, hs_mode: int = 2,
                 spoke_gw_size=None, resize: bool = True, cmdcnt: int = -1,
                 hs_limit: int = 6):
        self.n = n
        self.resize = resize
        self.reset()
        self.backup_des = SimpleNamespace(getAbsolutePath=self._absolute_path)
        self.ca = SimpleNamespace(
            controller_password_env="MORVENT_TEST_PASSWORD",
            controller_ip="127.0.0.1",
            controller_user="admin",
            backup_descriptor=self.backup_des,
            vpc_id="vpc-1",
            hs_mode=hs_mode,
            tag_route_table="rtb-tag",
            enable_test=enable_test,
            input_test_config="test-in.json",
            output_test_config="test-out.json",
            s3_bucket="bucket-1",
            aws_account_name="acct-1",
            spoke_gw_name="spoke-gw",
            spoke_gw_size=spoke_gw_size,
            region="us-east-1",
        )
        self.Globals = self._make_globals(cmdcnt, hs_limit)
        self.client_mgr = None

    # -- world state ---------------------------------------------------------

    def reset(self) -> None:
        """A new VPC: nothing discovered, nothing held, nothing recorded."""
        self.events: list[tuple] = []
        self.failures: dict[str, tuple[BaseException, int]] = {}
        self.counts: dict[str, int] = {}
        self.natgws = {f"subnet-{i}": self.description(i) for i in range(self.n)}
        self.records = [self.record_of(i, self.resize) for i in range(self.n)]
        self.discovered = False
        self.history: list[list] = []  # [memento, MarkBegin]
        self.uploads: list[list[str]] = []
        self.restored_with_globals: list[tuple] = []
        self.deleted_records: list[dict] = []
        self.run_test_results: list = []
        self.cid_result = ("7.1", "CID-1")

    @staticmethod
    def description(i: int) -> dict:
        return {"NatGatewayId": f"nat-{i}",
                "NatGatewayAddresses": [{"PrivateIp": f"10.0.{i}.5",
                                         "PublicIp": f"198.51.100.{10 + i}"}]}

    @staticmethod
    def record_of(i: int, resize: bool = True) -> dict:
        return {"subnet_id": f"subnet-{i}", "subnet_cidr": f"10.0.{i}.0/24",
                "initial_size": "t3.small", "size": "t3.medium" if resize else "t3.small"}

    def resume(self, labels: list[str]) -> None:
        """A later run: discovery recorded, the history holds ``labels``, and
        the NAT gateways those steps deleted are gone."""
        self.discovered = True
        for label in labels:
            self.history.append([self.memento(label), label in GROUP_OPENERS])
            if label.startswith("delete:"):
                self.natgws.pop(f"subnet-{label.split(':')[1]}", None)
        for i, r in enumerate(self.records):
            r.update(nat_gw_id=f"nat-{i}", private_ip=f"10.0.{i}.5", eip=f"198.51.100.{10 + i}")

    def memento(self, label: str) -> FakeMemento:
        info = None
        if label.startswith("spoke:"):
            i = int(label.split(":")[1])
            info = {"gw_name": f"spoke-gw-{i}", "gw_subnet_cidr": f"10.0.{i}.0/24"}
        return FakeMemento(self, label, info)

    def labels(self) -> list[str]:
        return [m.label for m, _ in self.history]

    # -- recording -----------------------------------------------------------

    def fail(self, name: str, exc: BaseException, nth: int = 1) -> None:
        self.failures[name] = (exc, nth)

    def record(self, name: str, *args, **kwargs) -> None:
        self.events.append((name, *args, kwargs) if kwargs else (name, *args))
        self.counts[name] = self.counts.get(name, 0) + 1
        if name in self.failures:
            exc, nth = self.failures[name]
            if self.counts[name] == nth:
                raise exc

    def names(self, *, without=("next",)) -> list[str]:
        return [e[0] for e in self.events if e[0] not in without]

    def calls(self, name: str) -> list[tuple]:
        return [e[1:] for e in self.events if e[0] == name]

    def appended(self) -> list[tuple]:
        """(label, MarkBegin) of every append, in order."""
        return [(e[1], e[2].get("MarkBegin", False) if len(e) > 2 else False)
                for e in self.events if e[0] == "MementoHistory.append"]

    def restored(self) -> list[str]:
        return [e[1] for e in self.events if e[0] == "restore"]

    def _absolute_path(self):
        self.record("getAbsolutePath")
        return FOLDER

    # -- fakes ---------------------------------------------------------------

    def _make_globals(self, cmdcnt, hs_limit):
        world = self

        class Meta(type):
            def __setattr__(cls, name, value):
                world.record(f"Globals.{name}=", value)
                super().__setattr__(name, value)

        return Meta("Globals", (), {"CID": None, "controller_ip": None, "dry_run": False,
                                    "aws_client_manager": None, "cmdcnt": cmdcnt,
                                    "HS_LIMIT": hs_limit})

    def fakes(self) -> dict:
        w = self

        def ConfigAdaptor(config):
            w.record("ConfigAdaptor", config)
            return w.ca

        class AwsClientManager:
            def __init__(self, config):
                w.record("AwsClientManager", config)
                w.client_mgr = self

            def getEc2Client(self):
                w.record("getEc2Client")
                return "ec2"

            def getCwClient(self):
                w.record("getCwClient")
                return "cw"

            def getS3Client(self):
                w.record("getS3Client")
                return "s3"

        def getCid(ip, user, password):
            w.record("getCid", ip, user, password)
            return w.cid_result

        class CreateCorvaneAccount:
            def __init__(self, ca):
                w.record("CreateCorvaneAccount", ca)

            def execute(self):
                w.record("CreateCorvaneAccount.execute")

        class S3BackupCmdV2:
            def __init__(self, s3_client, backup_des):
                self.args = (s3_client, backup_des)

            def download(self):
                w.record("S3BackupCmdV2.download", *self.args)

            def upload(self):
                w.uploads.append(w.labels())
                w.record("S3BackupCmdV2.upload", *self.args)

        class CommandHistory:
            @classmethod
            def init(cls, folder, vpc_id, version=None):
                w.record("CommandHistory.init", folder, vpc_id, version=version)

            @classmethod
            def is_command_i_done(cls, i):
                w.record("CommandHistory.is_command_i_done", i)
                return w.discovered

            @classmethod
            def log_discover_natgw_cmd(cls, records):
                w.record("CommandHistory.log_discover_natgw_cmd", records)
                w.discovered = True
                w.records = records

            @classmethod
            def get_discovered_natgws(cls):
                w.record("CommandHistory.get_discovered_natgws")
                return w.records

        class MementoHistory:
            @classmethod
            def init(cls, folder):
                w.record("MementoHistory.init", folder)

            @classmethod
            def is_memento_exist(cls):
                w.record("MementoHistory.is_memento_exist")
                held = len(w.history)

                def positions():
                    pos = 0
                    while True:
                        pos += 1
                        w.record("next", pos)
                        yield pos <= held

                return positions()

            @classmethod
            def append(cls, memento, **kwargs):
                w.record("MementoHistory.append", memento.label, **kwargs)
                w.history.append([memento, kwargs.get("MarkBegin", False)])

            @classmethod
            def isEmpty(cls):
                w.record("MementoHistory.isEmpty")
                return not w.history

            @classmethod
            def isCmdBegin(cls):
                w.record("MementoHistory.isCmdBegin")
                return w.history[-1][1]

            @classmethod
            def pop(cls):
                memento = w.history[-1][0]
                w.record("MementoHistory.pop", memento.label)
                return w.history.pop()[0]

        def get_existing_natgws(ec2_client, natgw_id, vpc_id):
            w.record("get_existing_natgws", ec2_client, natgw_id, vpc_id)
            return [w.natgws[k] for k in sorted(w.natgws)]

        def get_natgw_by_subnet(ec2_client, subnet_id, vpc_id):
            w.record("get_natgw_by_subnet", ec2_client, subnet_id, vpc_id)
            return [w.natgws[subnet_id]] if subnet_id in w.natgws else []

        def backupAllRtbs(*args, **kwargs):
            w.record("backupAllRtbs", *args, **kwargs)

        class DetermineGwSizeCmd:
            def __init__(self, *args):
                w.record("DetermineGwSizeCmd", *args)

            def execute(self):
                w.record("DetermineGwSizeCmd.execute")

            def getNatGwInfo(self):
                w.record("DetermineGwSizeCmd.getNatGwInfo")
                return w.records

        class TestCmd:
            def __init__(self, *args):
                w.record("TestCmd", *args)

            def execute(self):
                w.record("TestCmd.execute")
                return w.memento("test-prep")

        class SnapshotRTCmd:
            def __init__(self, *args, **kwargs):
                w.record("SnapshotRTCmd", *args, **kwargs)
                self.tag = kwargs.get("tag")

            def execute(self):
                w.record("SnapshotRTCmd.execute")
                return w.memento(f"snapshot:{self.tag}")

        class NatGwTrafficCmd:
            def __init__(self, *args, **kwargs):
                w.record("NatGwTrafficCmd", *args, **kwargs)

            def moveTraffic(self, target_subnet_id):
                w.record("NatGwTrafficCmd.moveTraffic", target_subnet_id)
                return w.memento("traffic:0")

        class NatGwCmd:
            def __init__(self, *args, **kwargs):
                w.record("NatGwCmd", *args, **kwargs)

            def delete(self, record):
                w.record("NatGwCmd.delete", record["subnet_id"])
                w.deleted_records.append(record)
                i = record["subnet_id"].split("-")[1]
                w.natgws.pop(record["subnet_id"], None)
                return w.memento(f"delete:{i}")

        class HsSpokeCmd:
            def __init__(self, *args, **kwargs):
                w.record("HsSpokeCmd", *args, **kwargs)

            def create(self, subnet_cidr, eip, gw_size):
                w.record("HsSpokeCmd.create", subnet_cidr, eip, gw_size)
                i = subnet_cidr.split(".")[2]
                return w.memento(f"spoke:{i}")

        class SnatCmd:
            def __init__(self, *args):
                w.record("SnatCmd", *args)

            def enable(self):
                w.record("SnatCmd.enable")
                return w.memento("snat")

        class ResizeSpokeGatewayCmd:
            def __init__(self, *args):
                w.record("ResizeSpokeGatewayCmd", *args)

            def execute(self):
                w.record("ResizeSpokeGatewayCmd.execute")
                return w.memento("resize")

        class Test:
            @staticmethod
            def generate_test_config(input_config, output_config, spoke_info):
                w.record("Test.generate_test_config", input_config, output_config,
                         spoke_info["gw_name"])

            @staticmethod
            def run_test():
                w.record("Test.run_test")
                return w.run_test_results.pop(0) if w.run_test_results else True

        def exit(code):  # noqa: A001 - stands in for the builtin
            w.record("exit", code)
            raise SystemExit(code)

        return {
            "ConfigAdaptor": ConfigAdaptor, "AwsClientManager": AwsClientManager,
            "getCid": getCid, "CreateCorvaneAccount": CreateCorvaneAccount,
            "S3BackupCmdV2": S3BackupCmdV2, "CommandHistory": CommandHistory,
            "MementoHistory": MementoHistory, "get_existing_natgws": get_existing_natgws,
            "get_natgw_by_subnet": get_natgw_by_subnet, "backupAllRtbs": backupAllRtbs,
            "DetermineGwSizeCmd": DetermineGwSizeCmd, "TestCmd": TestCmd, "Test": Test,
            "SnapshotRTCmd": SnapshotRTCmd, "NatGwTrafficCmd": NatGwTrafficCmd,
            "NatGwCmd": NatGwCmd, "HsSpokeCmd": HsSpokeCmd, "SnatCmd": SnatCmd,
            "ResizeSpokeGatewayCmd": ResizeSpokeGatewayCmd, "Globals": self.Globals,
            "CorvaneRollbackException": CorvaneRollbackException, "exit": exit,
            "logging": logging,
        }

    def install(self, monkeypatch) -> World:
        for name, fake in self.fakes().items():
            monkeypatch.setattr(brindlemark, name, fake, raising=False)
        monkeypatch.setenv("MORVENT_TEST_PASSWORD", "s3cret")
        return self
