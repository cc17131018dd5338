"""A simulated controller and AWS cloud, all on 127.0.0.1.

    with SimulatedWorld() as sim:
        world = sim.build(zones=2)           # VPC, NAT gateways, routes, traffic
        cid = sim.controller.login()
        url = sim.controller.url(2)          # https://127.0.0.1:PORT/v2/api
        ...
        assert sim.blackholes(world.vpc_id) == 0

Faults: `sim.inject("enable_snat", nth=1, mode="drop")`, or from a short
text: `sim.inject(**parse_fault("enable_snat:1:drop"))`; requests seen:
`sim.requests`.  moto keeps its state per process, so two worlds running at
once share one cloud, and stopping a world wipes it.

The controller answers the REST API actions the package sends and makes its
gateways real in the simulated EC2; see `controller` and `world`.
"""

from __future__ import annotations

from typing import Any

from .cloud import AwsEndpoint
from .controller import DEFAULT_USERS, ControllerSimulator, RecordedRequest
from .world import Egress, World, blackhole_tables, blackholes, build_world, snapshot

__all__ = [
    "AwsEndpoint", "ControllerSimulator", "Egress", "RecordedRequest", "SimulatedWorld",
    "World", "blackhole_tables", "blackholes", "build_world", "snapshot",
]


class SimulatedWorld:
    """Both servers, started together and torn down together."""

    def __init__(self, *, region: str = "us-east-1", users: dict[str, str] | None = None,
                 session_ttl: float | None = None) -> None:
        self.region = region
        self.users = dict(users or DEFAULT_USERS)
        self.aws = AwsEndpoint(region=region)
        self.controller = ControllerSimulator(self.aws, users=self.users, session_ttl=session_ttl)

    def start(self) -> "SimulatedWorld":
        self.aws.start()
        try:
            self.controller.start()
        except BaseException:
            self.aws.stop()
            raise
        return self

    def stop(self) -> None:
        try:
            self.controller.stop()
        finally:
            self.aws.stop()

    def __enter__(self) -> "SimulatedWorld":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    @property
    def controller_ip(self) -> str:
        """"127.0.0.1:PORT": what a configuration names as the controller."""
        return self.controller.address

    @property
    def username(self) -> str:
        return next(iter(self.users))

    @property
    def password(self) -> str:
        return self.users[self.username]

    def url(self, version: int = 1) -> str:
        """The controller API URL, "https://127.0.0.1:PORT/v1/api" or /v2/api."""
        return self.controller.url(version)

    def inject(self, action: str, nth: int = 1, mode: str = "fail", **options: Any) -> Any:
        """Make the `nth` controller call of `action` from now on go wrong
        (see `ControllerSimulator.inject`)."""
        return self.controller.inject(action, nth, mode, **options)

    def reset(self) -> None:
        """Start over: an empty cloud and a controller that knows nothing, on
        the same addresses (cheaper than a new world)."""
        self.controller.reset()
        self.aws.reset()
        self.aws.throttle.off()

    def reset_faults(self) -> None:
        self.controller.reset_faults()
        self.aws.throttle.off()

    @property
    def requests(self) -> list[RecordedRequest]:
        """Every controller request so far, oldest first."""
        return self.controller.requests

    def client(self, service: str, region: str | None = None) -> Any:
        return self.aws.client(service, region)

    @property
    def ec2(self) -> Any:
        return self.aws.client("ec2")

    @property
    def cloudwatch(self) -> Any:
        return self.aws.client("cloudwatch")

    def build(self, **options: Any) -> World:
        """`build_world` on this cloud, with traffic figures."""
        return build_world(self.ec2, self.cloudwatch, **options)

    def snapshot(self, vpc_id: str | None = None) -> dict[str, Egress]:
        return snapshot(self.ec2, vpc_id)

    def blackholes(self, vpc_id: str | None = None) -> int:
        return blackholes(self.ec2, vpc_id)

    def environ(self) -> dict[str, str]:
        """Environment that points boto3 at the simulated cloud."""
        return self.aws.environ()
