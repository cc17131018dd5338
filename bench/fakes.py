"""Zero-latency, in-process stand-ins for the collaborators of the native modules.

Everything here answers from dictionaries prepared before the clock starts:
no sockets, no copies, no recording on the timed path.  The same fake
objects are installed in the native module and in the interpreted reference,
so both pay exactly the same for their collaborators.

`Recorder` is the exception: a transport that also writes down every
request, used only by the equivalence check that runs before any timing.
"""

from __future__ import annotations

import logging
from types import SimpleNamespace
from typing import Any, Callable

# Logger names of the code under measurement.  The reference logs under its
# own module name; it gets the same level and handlers as the native ones.
LOGGERS = (
    "morvent.lib.spoke",
    "morvent.commands.brindlemark",
    "morvent.commands.base_case_handler",
    "morvent.lib.commonlib",
    "reference",
)

CID = "bench-cid"
CONTROLLER_IP = "127.0.0.1"
URL = f"https://{CONTROLLER_IP}/v2/api"


class Patcher:
    """setattr with undo, the subset of pytest's monkeypatch that cases use."""

    _missing = object()

    def __init__(self) -> None:
        self._undo: list[tuple[Any, str, Any]] = []

    def setattr(self, target: Any, name: str, value: Any, raising: bool = True) -> None:
        self._undo.append((target, name, getattr(target, name, self._missing)))
        setattr(target, name, value)

    def undo(self) -> None:
        while self._undo:
            target, name, old = self._undo.pop()
            if old is self._missing:
                delattr(target, name)
            else:
                setattr(target, name, old)


# -- controller transport ------------------------------------------------------

class Response:
    """A controller answer whose json() hands out the prepared body itself."""

    __slots__ = ("body",)

    def __init__(self, body: Any) -> None:
        self.body = body

    def json(self) -> Any:
        return self.body


def ok(results: Any = "done") -> Response:
    return Response({"return": True, "results": results})


class Transport:
    """Stands in for the `requests` module and for `_send_corvane_api`.

    Answers by the payload's "action"; the lookups "get_gateway_info" and
    "list_vpcs_summary" are answered per gateway name from `info` and
    `summary`.  Anything else gets ok().
    """

    def __init__(self, by_action: dict[str, Response] | None = None,
                 info: dict[Any, Response] | None = None,
                 summary: dict[Any, Response] | None = None) -> None:
        self.by_action = dict(by_action or {})
        self.by_name = {"get_gateway_info": dict(info or {}),
                        "list_vpcs_summary": dict(summary or {})}
        self.default = ok()

    def _answer(self, payload: dict) -> Response:
        action = payload["action"]
        by_name = self.by_name.get(action)
        if by_name:
            answer = by_name.get(payload["gateway_name"])
            if answer is not None:
                return answer
        return self.by_action.get(action, self.default)

    def post(self, url, data=None, verify=True, timeout=None):
        return self._answer(data)

    def get(self, url, data=None, params=None, verify=True, timeout=None):
        return self._answer(data if data is not None else params)

    def send_corvane_api(self, api_endpoint_url, request_method, payload, keyword_for_log,
                         indent):
        return self._answer(payload)


class Recorder(Transport):
    """A Transport that writes down every request (equivalence check only)."""

    def __init__(self, *args, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self.log: list[tuple] = []

    def post(self, url, data=None, verify=True, timeout=None):
        self.log.append(("POST", url, "data", list(data.items()), verify, timeout))
        return super().post(url, data=data, verify=verify, timeout=timeout)

    def get(self, url, data=None, params=None, verify=True, timeout=None):
        keyword, payload = ("data", data) if data is not None else ("params", params)
        self.log.append(("GET", url, keyword, list(payload.items()), verify, timeout))
        return super().get(url, data=data, params=params, verify=verify, timeout=timeout)

    def send_corvane_api(self, api_endpoint_url, request_method, payload, keyword_for_log,
                         indent):
        self.log.append(("transport", api_endpoint_url, request_method, list(payload.items()),
                         keyword_for_log, indent))
        return super().send_corvane_api(api_endpoint_url, request_method, payload,
                                        keyword_for_log, indent)


def handleControllerApiFailure(answer):
    return answer["return"] is True


def handleControllerApiFailureAndExit(answer):
    return None


class Operations:
    """Stands in for `comm`, the operation log.  Counts, so that it never
    grows while timed; keeps the names too when `record` is set."""

    def __init__(self, record: bool = False) -> None:
        self.count = 0
        self.names: list | None = [] if record else None

    def logOperation(self, name):
        self.count += 1
        if self.names is not None:
            self.names.append(name)


def make_globals(dry_run: Any = False) -> type:
    """A settings class like morvent.core.Globals."""
    return type("Globals", (), {"CID": CID, "controller_ip": CONTROLLER_IP, "dry_run": dry_run,
                                "aws_client_manager": None, "cmdcnt": -1, "HS_LIMIT": 6,
                                "controller_verify": False,
                                "controller_timeout": (15.0, 900.0)})


def install_spoke(patch: Patcher, module, transport: Transport, operations: Operations,
                  dry_run: Any = False) -> None:
    """Replace the controller collaborators of a spoke implementation."""
    patch.setattr(module, "requests", transport)
    patch.setattr(module, "_send_corvane_api", transport.send_corvane_api)
    patch.setattr(module, "handleControllerApiFailure", handleControllerApiFailure)
    patch.setattr(module, "handleControllerApiFailureAndExit", handleControllerApiFailureAndExit)
    patch.setattr(module, "Globals", make_globals(dry_run))
    patch.setattr(module, "comm", operations)


# -- gateway records -----------------------------------------------------------

def gateway_record(name: str, subnet: str) -> dict:
    """A gateway record as "list_vpcs_summary" lists it."""
    return {"public_subnet": subnet, "private_ip": f"10.9.0.{len(name) % 250}",
            "gw_name": name, "public_ip": "198.51.100.7", "gw_subnet_id": f"subnet-{name}"}


def nat_info(i: int, size: str = "t3.small") -> SimpleNamespace:
    """A NAT gateway info object, read through attributes."""
    return SimpleNamespace(subnet_cidr=f"10.0.{i}.0/24", nat_gw_id=f"nat-{i}",
                           gateway_size=size)


# -- the NAT gateway replacement world -----------------------------------------

class Memento:
    __slots__ = ("label", "spoke_info")

    def __init__(self, label: str, spoke_info: dict | None = None) -> None:
        self.label = label
        self.spoke_info = spoke_info

    def getSpokeInfo(self):
        return self.spoke_info

    def restore(self):
        return None


class ManagerWorld:
    """An in-memory VPC with `n` NAT gateways and the collaborators of Manager.

    `fresh()` makes the next run a first run: nothing discovered, an empty
    memento history, every NAT gateway still there.  `completed()` makes it
    a repeated run of a finished replacement: the history holds every step
    and the NAT gateways are gone.
    """

    def __init__(self, n: int = 6) -> None:
        self.n = n
        self.descriptions = [
            {"NatGatewayId": f"nat-{i}", "SubnetId": f"subnet-{i}",
             "NatGatewayAddresses": [{"PrivateIp": f"10.0.{i}.5",
                                      "PublicIp": f"198.51.100.{10 + i}"}]}
            for i in range(n)]
        self.mementos = self._mementos()
        self.backup = SimpleNamespace(getAbsolutePath=lambda: "/backup/vpc-1")
        self.ca = SimpleNamespace(
            controller_password_env="MORVENT_BENCH_PASSWORD", controller_ip=CONTROLLER_IP,
            controller_user="admin", backup_descriptor=self.backup, vpc_id="vpc-1", hs_mode=2,
            tag_route_table="rtb-tag", enable_test=False, input_test_config="in.json",
            output_test_config="out.json", s3_bucket="bucket-1", aws_account_name="acct-1",
            spoke_gw_name="spoke-gw", spoke_gw_size=None, region="us-east-1")
        self.Globals = make_globals()
        self.fresh()

    def _mementos(self) -> list[list]:
        """[memento, MarkBegin] of every step of a complete run, in order."""
        steps = [["snapshot:s1", True], ["traffic:0", False], ["delete:0", False],
                 ["spoke:0", False], ["snapshot:s2", False], ["snat", False]]
        for i in range(1, self.n):
            steps += [[f"delete:{i}", True], [f"spoke:{i}", False]]
        steps.append(["resize", False])
        return [[Memento(label), begin] for label, begin in steps]

    def records(self) -> list[dict]:
        return [{"subnet_id": f"subnet-{i}", "subnet_cidr": f"10.0.{i}.0/24",
                 "initial_size": "t3.small", "size": "t3.medium"} for i in range(self.n)]

    def fresh(self) -> None:
        self.discovered = False
        self.stored = self.records()
        self.natgws = {d["SubnetId"]: [d] for d in self.descriptions}
        self.history: list[list] = []

    def completed(self) -> None:
        self.discovered = True
        self.stored = self.records()
        self.natgws = {}
        self.history = list(self.mementos)

    def fakes(self) -> dict[str, Any]:
        w = self
        spoke_info = {"gw_name": "spoke-gw", "gw_subnet_cidr": "10.0.0.0/24"}
        memento = {m.label: m for m, _ in self.mementos}

        def ConfigAdaptor(config):
            return w.ca

        class AwsClientManager:
            def __init__(self, config):
                pass

            def getEc2Client(self):
                return "ec2"

            def getCwClient(self):
                return "cw"

            def getS3Client(self):
                return "s3"

        def getCid(ip, user, password):
            return ("7.1", CID)

        class CreateCorvaneAccount:
            def __init__(self, ca):
                pass

            def execute(self):
                return None

        class S3BackupCmdV2:
            def __init__(self, s3_client, backup_des):
                pass

            def download(self):
                return None

            def upload(self):
                return None

        class CommandHistory:
            @staticmethod
            def init(folder, vpc_id, version=None):
                return None

            @staticmethod
            def is_command_i_done(i):
                return w.discovered

            @staticmethod
            def log_discover_natgw_cmd(records):
                w.discovered = True
                w.stored = records

            @staticmethod
            def get_discovered_natgws():
                return w.stored

        class MementoHistory:
            @staticmethod
            def init(folder):
                return None

            @staticmethod
            def is_memento_exist():
                held = len(w.history)

                def positions():
                    pos = 0
                    while True:
                        pos += 1
                        yield pos <= held

                return positions()

            @staticmethod
            def append(m, MarkBegin=False):
                w.history.append([m, MarkBegin])

            @staticmethod
            def isEmpty():
                return not w.history

            @staticmethod
            def isCmdBegin():
                return w.history[-1][1]

            @staticmethod
            def pop():
                return w.history.pop()[0]

        def get_existing_natgws(ec2_client, natgw_id, vpc_id):
            return list(w.descriptions)

        def get_natgw_by_subnet(ec2_client, subnet_id, vpc_id):
            return w.natgws.get(subnet_id, [])

        def backupAllRtbs(ec2_client, folder, vpc_id, tag, nat_gw_ids, version=None):
            return None

        class DetermineGwSizeCmd:
            def __init__(self, ec2_client, cw_client, num_of_spoke, nat_gws):
                pass

            def execute(self):
                return None

            def getNatGwInfo(self):
                return w.records()

        class SnapshotRTCmd:
            def __init__(self, ec2_client, folder, vpc_id, infos, bucket, tag=None,
                         version=None):
                self.tag = tag

            def execute(self):
                return memento[f"snapshot:{self.tag}"]

        class NatGwTrafficCmd:
            def __init__(self, ec2_client, nat_gw_id, subnet_id, vpc_id, folder, tag=None):
                pass

            def moveTraffic(self, target_subnet_id):
                return memento["traffic:0"]

        class NatGwCmd:
            def __init__(self, ec2_client, vpc_id, folder, version=None):
                pass

            def delete(self, record):
                return memento["delete:" + record["subnet_id"][7:]]

        class HsSpokeCmd:
            def __init__(self, account_name=None, spoke_gw_name=None, spoke_gw_size=None,
                         vpc_id=None, region=None, primary=True):
                pass

            def create(self, subnet_cidr, eip, gw_size):
                m = memento["spoke:" + subnet_cidr.split(".")[2]]
                m.spoke_info = spoke_info
                return m

        class SnatCmd:
            def __init__(self, spoke_gw_name):
                pass

            def enable(self):
                return memento["snat"]

        class ResizeSpokeGatewayCmd:
            def __init__(self, spoke_gw_name, from_size, to_size):
                pass

            def execute(self):
                return memento["resize"]

        def exit(code):  # noqa: A001 - stands in for the builtin
            raise SystemExit(code)

        return {
            "ConfigAdaptor": ConfigAdaptor, "AwsClientManager": AwsClientManager,
            "getCid": getCid, "CreateCorvaneAccount": CreateCorvaneAccount,
            "S3BackupCmdV2": S3BackupCmdV2, "CommandHistory": CommandHistory,
            "MementoHistory": MementoHistory, "get_existing_natgws": get_existing_natgws,
            "get_natgw_by_subnet": get_natgw_by_subnet, "backupAllRtbs": backupAllRtbs,
            "DetermineGwSizeCmd": DetermineGwSizeCmd, "SnapshotRTCmd": SnapshotRTCmd,
            "NatGwTrafficCmd": NatGwTrafficCmd, "NatGwCmd": NatGwCmd, "HsSpokeCmd": HsSpokeCmd,
            "SnatCmd": SnatCmd, "ResizeSpokeGatewayCmd": ResizeSpokeGatewayCmd,
            "Globals": self.Globals, "exit": exit,
        }

    def install(self, patch: Patcher, module) -> None:
        for name, fake in self.fakes().items():
            # `exit` is a builtin, not a module global, until replaced.
            patch.setattr(module, name, fake, raising=name != "exit")


# -- logging -------------------------------------------------------------------

class FormattingSink(logging.Handler):
    """Formats every record it gets and throws the text away: the cost of a
    real handler minus the I/O."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s %(message)s"))
        self.count = 0

    def emit(self, record: logging.LogRecord) -> None:
        self.format(record)
        self.count += 1


def set_logging(mode: str) -> Callable[[], None]:
    """Put the measured loggers in `mode` ("quiet": WARNING, no handler;
    "info": INFO into a FormattingSink); returns the undo."""
    saved = []
    sink = FormattingSink()
    for name in LOGGERS:
        logger = logging.getLogger(name)
        saved.append((logger, logger.level, logger.propagate, list(logger.handlers)))
        logger.handlers = [sink] if mode == "info" else []
        logger.propagate = False
        logger.setLevel(logging.INFO if mode == "info" else logging.WARNING)

    def undo() -> None:
        for logger, level, propagate, handlers in saved:
            logger.setLevel(level)
            logger.propagate = propagate
            logger.handlers = handlers

    return undo
