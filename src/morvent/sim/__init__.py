"""A simulated controller and AWS cloud, all on 127.0.0.1.

    with SimulatedWorld() as sim:
        world = sim.build(zones=2)           # VPC, NAT gateways, routes, traffic
        cid = sim.controller.login()
        url = sim.controller.url(2)          # https://127.0.0.1:PORT/v2/api
        ...
        assert sim.blackholes(world.vpc_id) == 0

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
