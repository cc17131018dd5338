"""Watch a whole run against the simulated world, request by request.

    with RunMonitor(sim, world.vpc_id) as monitor:
        cli.main(["execute", "--config", path, "--yes"])
    monitor.controller_actions      # Counter of controller actions
    monitor.aws_operations          # Counter of "ec2.DeleteNatGateway" & co.
    monitor.blackhole_samples       # samples that found a route into nothing

After every controller action (seen from inside the simulated controller,
before its answer goes back) and after every EC2 request of the run (boto3's
"after-call" event on the clients the run's `AwsClientManager` hands out),
the monitor looks at every private route table of the VPC and records the
tables whose default route leads to something that no longer exists.

`inject_aws(operation, nth)` makes the Nth call of an AWS operation fail
with a `ClientError`, before it reaches the cloud or, with ``after=True``,
after the cloud carried it out (an answer lost on the way back).
"""

from __future__ import annotations

import threading
import time
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator

from botocore.exceptions import ClientError

from . import routes

#: Controller actions that change nothing.
READ_ONLY_ACTIONS = frozenset({
    "login", "list_version_info", "list_accounts", "list_vpcs_summary", "get_gateway_info",
    "list_primary_and_ha_spoke_gateways",
})
_READ_PREFIXES = ("Describe", "Get", "List", "Head")
_HANDLER_ID = "morvent-run-monitor"


def is_read_only_aws(operation: str) -> bool:
    """True for an AWS operation name that only reads ("DescribeRouteTables")."""
    return operation.split(".")[-1].startswith(_READ_PREFIXES)


@dataclass
class Sample:
    """One look at the VPC that found default routes into nothing."""

    after: str                     # "controller enable_snat", "ec2 DeleteNatGateway", ...
    tables: list[str]
    time: float = field(default_factory=time.time)


@dataclass
class AwsFault:
    operation: str                 # "DeleteNatGateway" or "ec2.DeleteNatGateway"
    nth: int
    code: str
    message: str
    after: bool
    seen: int = 0
    fired: bool = False

    def matches(self, service: str, operation: str) -> bool:
        return self.operation in (operation, f"{service}.{operation}")


def dead_route_tables(ec2: Any, vpc_id: str) -> list[str]:
    """Route tables of the VPC with a route that leads nowhere.

    Every route is looked at, not only the default ones: a route to a NAT
    gateway, an instance or a network interface that is gone, or one EC2
    reports as a blackhole.  Three requests however many tables there are,
    so that it can run after every request of a run.
    """
    tables = routes.vpc_route_tables(ec2, vpc_id)
    targets = []
    for table in tables:
        for route in table.get("Routes", []):
            if route.get("GatewayId") == "local":
                continue
            targets.append((table["RouteTableId"], route, routes.route_target(route)))
    nat_ids = {t[1] for _, _, t in targets if t and t[0] == "NatGatewayId"}
    live_nats = set()
    if nat_ids:
        for page in ec2.get_paginator("describe_nat_gateways").paginate(
                Filters=[{"Name": "nat-gateway-id", "Values": sorted(nat_ids)}]):
            live_nats |= {n["NatGatewayId"] for n in page["NatGateways"]
                          if n["State"] in routes.LIVE_NAT_STATES}
    instance_ids = {t[1] for _, _, t in targets if t and t[0] == "InstanceId"}
    live_instances = set()
    if instance_ids:
        found = ec2.describe_instances(
            Filters=[{"Name": "instance-id", "Values": sorted(instance_ids)}])["Reservations"]
        live_instances = {i["InstanceId"] for r in found for i in r["Instances"]
                          if i["State"]["Name"] not in routes.DEAD_INSTANCE_STATES}
    dead = set()
    for table_id, route, target in targets:
        if target is None or route.get("State") == "blackhole":
            dead.add(table_id)
        elif target[0] == "NatGatewayId":
            if target[1] not in live_nats:
                dead.add(table_id)
        elif target[0] == "InstanceId":
            if target[1] not in live_instances:
                dead.add(table_id)
        elif target[0] == "NetworkInterfaceId" and not routes.target_exists(ec2, target, route):
            dead.add(table_id)
    return sorted(dead)


class RunMonitor:
    """Counts a run's requests, samples the VPC's egress after each, injects AWS faults.

    `sim` is a started `SimulatedWorld`; `vpc_id` the VPC to watch (None:
    count requests only, take no samples).  `sample` says after which
    requests the VPC is looked at: "all", or "changes" (state-changing
    controller actions and mutating EC2 requests only: a read cannot route
    anything into nothing, and skipping it makes long test runs faster).
    Use it as a context manager around the runs to watch; counters keep
    adding up until `reset()`.
    """

    def __init__(self, sim: Any, vpc_id: str | None = None, *, sample: str = "all") -> None:
        if sample not in ("all", "changes"):
            raise ValueError(f"sample must be 'all' or 'changes', not {sample!r}")
        self.sim = sim
        self.vpc_id = vpc_id
        self.sample_enabled = vpc_id is not None
        self.sample_reads = sample == "all"
        self._lock = threading.Lock()
        self._faults: list[AwsFault] = []
        self._clients: list[Any] = []
        self._original_client: Callable | None = None
        self.reset()

    # -- counters ---------------------------------------------------------

    def reset(self) -> None:
        """Forget what was counted and sampled so far (faults stay)."""
        with self._lock:
            self.controller_actions: Counter[str] = Counter()
            self.aws_operations: Counter[str] = Counter()
            self.samples = 0
            self.blackhole_samples: list[Sample] = []
            self.sample_errors: list[str] = []

    @property
    def controller_requests(self) -> int:
        return sum(self.controller_actions.values())

    @property
    def aws_requests(self) -> int:
        return sum(self.aws_operations.values())

    def controller_changes(self) -> Counter[str]:
        """The state-changing controller actions counted."""
        return Counter({a: n for a, n in self.controller_actions.items()
                        if a not in READ_ONLY_ACTIONS})

    def aws_changes(self, service: str | None = "ec2") -> Counter[str]:
        """The mutating AWS operations counted (of one service, or all with None)."""
        return Counter({op: n for op, n in self.aws_operations.items()
                        if not is_read_only_aws(op)
                        and (service is None or op.split(".")[0] == service)})

    # -- faults -------------------------------------------------------------

    def inject_aws(self, operation: str, nth: int = 1, *, code: str = "UnauthorizedOperation",
                   message: str | None = None, after: bool = False) -> AwsFault:
        """Make the `nth` call (from now on) of an AWS operation raise a ClientError."""
        if nth < 1:
            raise ValueError(f"nth must be a positive integer, not {nth!r}")
        fault = AwsFault(operation, nth, code,
                         message or f"Simulated failure of {operation}", after)
        with self._lock:
            self._faults.append(fault)
        return fault

    def pending_faults(self) -> list[AwsFault]:
        with self._lock:
            return [f for f in self._faults if not f.fired]

    def clear_faults(self) -> None:
        with self._lock:
            self._faults.clear()

    def _fault_for(self, service: str, operation: str, after: bool) -> AwsFault | None:
        with self._lock:
            for fault in self._faults:
                if fault.fired or fault.after != after or not fault.matches(service, operation):
                    continue
                fault.seen += 1
                if fault.seen == fault.nth:
                    fault.fired = True
                    return fault
        return None

    @staticmethod
    def _raise(fault: AwsFault, operation: str) -> None:
        raise ClientError({"Error": {"Code": fault.code, "Message": fault.message},
                           "ResponseMetadata": {"HTTPStatusCode": 403}}, operation)

    # -- sampling -------------------------------------------------------------

    def sample(self, after: str) -> list[str]:
        """Look at the VPC now; record and return the tables routed into nothing."""
        if not self.sample_enabled:
            return []
        try:
            dead = dead_route_tables(self.sim.ec2, self.vpc_id)
        except Exception as err:  # never let the watcher break the run it watches
            with self._lock:
                self.sample_errors.append(f"after {after}: {type(err).__name__}: {err}")
            return []
        with self._lock:
            self.samples += 1
            if dead:
                self.blackhole_samples.append(Sample(after, dead))
        return dead

    # -- hooks ---------------------------------------------------------------------

    def _on_controller(self, record: Any, answer: dict) -> None:
        with self._lock:
            self.controller_actions[record.action or "?"] += 1
        if self.sample_reads or record.action not in READ_ONLY_ACTIONS:
            self.sample(f"controller {record.action}")

    def _before_call(self, model: Any, **kwargs: Any) -> None:
        service = model.service_model.service_name
        fault = self._fault_for(service, model.name, after=False)
        if fault is not None:
            with self._lock:
                self.aws_operations[f"{service}.{model.name}"] += 1
            self._raise(fault, model.name)

    def _after_call(self, model: Any, **kwargs: Any) -> None:
        service = model.service_model.service_name
        with self._lock:
            self.aws_operations[f"{service}.{model.name}"] += 1
        if service == "ec2" and (self.sample_reads or not is_read_only_aws(model.name)):
            self.sample(f"ec2 {model.name}")
        fault = self._fault_for(service, model.name, after=True)
        if fault is not None:
            self._raise(fault, model.name)

    def watch_client(self, client: Any) -> Any:
        """Count, sample and inject faults on this boto3 client's requests."""
        events = client.meta.events
        events.register("before-call", self._before_call, unique_id=_HANDLER_ID + "-before")
        events.register("after-call", self._after_call, unique_id=_HANDLER_ID + "-after")
        with self._lock:
            if not any(c is client for c in self._clients):
                self._clients.append(client)
        return client

    def start(self) -> "RunMonitor":
        from morvent.lib.aws_cred import AwsClientManager

        if self._original_client is not None:
            return self
        original = AwsClientManager.client
        monitor = self

        def client(manager: Any, service: str) -> Any:
            return monitor.watch_client(original(manager, service))

        client.__doc__ = original.__doc__
        self._original_client = original
        AwsClientManager.client = client
        self.sim.controller.add_observer(self._on_controller)
        return self

    def stop(self) -> None:
        from morvent.lib.aws_cred import AwsClientManager

        if self._original_client is None:
            return
        self.sim.controller.remove_observer(self._on_controller)
        AwsClientManager.client = self._original_client
        self._original_client = None
        with self._lock:
            clients, self._clients = self._clients, []
        for client in clients:
            client.meta.events.unregister("before-call", unique_id=_HANDLER_ID + "-before")
            client.meta.events.unregister("after-call", unique_id=_HANDLER_ID + "-after")

    def __enter__(self) -> "RunMonitor":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def summary_lines(self) -> Iterator[str]:
        """The figures, as lines for people."""
        actions = ", ".join(f"{a} {n}" for a, n in sorted(self.controller_actions.items()))
        yield f"controller requests: {self.controller_requests} ({actions or 'none'})"
        ops = Counter()
        for op, n in self.aws_operations.items():
            ops[op.split(".")[0]] += n
        per_service = ", ".join(f"{s} {n}" for s, n in sorted(ops.items()))
        changes = sum(self.aws_changes(None).values())
        yield (f"AWS requests: {self.aws_requests} ({per_service or 'none'}; "
               f"{changes} changing)")
        yield (f"egress samples: {self.samples}, with a route into nothing: "
               f"{len(self.blackhole_samples)}")
