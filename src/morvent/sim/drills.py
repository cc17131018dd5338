"""Drills on the simulated world: stop a migration half-way, then finish or undo it.

The promise under test: a run of ``morvent execute`` that dies, or meets a
controller that misbehaves, loses nothing and can always be resumed or
reverted.  Two kinds of drill:

- A kill drill runs ``python -m morvent execute`` as a child process and
  signals it (SIGKILL, SIGTERM or SIGINT) right before or right after one of
  its state-changing requests.  The simulators do it, server-side, so the
  moment is exact: "before" -- the request arrived and is never carried out,
  as if the process died just before sending it; "after" -- it was carried
  out and its answer is held back until the child is gone.  A follow-up then
  has to bring the VPC to a sound state: (a) ``execute`` again from the same
  local folder, (b) from an empty one (another machine), then ``revert``; or
  (c) ``revert`` straight away.
- A fault drill spoils one controller answer (refused, HTTP 500, dropped
  connection, answer lost, garbled, no answer at all) and runs the command
  again with no fault: it must end as an unfaulted run would.

`kill_drill` and `fault_drill` run one scenario each on a started
`SimulatedWorld` and return a `Cell`; `run_drills` runs many, in worker
processes; `format_table` prints the matrix.  tools/kill_matrix.py and
tools/fault_matrix.py are the command lines.
"""

from __future__ import annotations

import contextlib
import io
import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

from .cloud import DROP, AwsRequest
from .controller import RecordedRequest
from .demo import BUCKET, PASSWORD_ENV, ZONE_PEAK, write_config
from .invariants import (check_replaced, check_reverted, check_shape_replaced,
                         check_shape_reverted, full_state, route_picture)
from .monitor import READ_ONLY_ACTIONS, is_read_only_aws
from .world import World

SPOKE = "drill-spoke"
SIGNALS = {"KILL": signal.SIGKILL, "TERM": signal.SIGTERM, "INT": signal.SIGINT}
FOLLOW_UPS = ("a", "b", "c")
MOMENTS = ("before", "after")
#: Killed right after one of these, the change is made and nothing records
#: it yet: a revert has to stop and say so.
UNRECORDED_AFTER = frozenset({
    ("ec2", "DeleteNatGateway"),
    ("controller", "create_multicloud_primary_gateway"),
    ("controller", "create_multicloud_ha_gateway"),
})
#: Fault kinds of the controller: name -> (fault mode, after the action ran).
FAULT_KINDS = {
    "fail": ("fail", False),
    "http500": ("http500", False),
    "drop": ("drop", False),
    "drop-after": ("drop", True),
    "garbled": ("garbled", False),
    "garbled-after": ("garbled", True),
    "hang": ("hang", False),
    "hang-after": ("hang", True),
}
#: Seconds a client waits for a controller answer in the "hang" drills.
HANG_TIMEOUT = 2
RUN_TIMEOUT = 90.0
HOLD_TIMEOUT = 30.0

_tags = itertools.count(1)


def next_tag() -> str:
    """A name for one child run, carried in the user agent of its AWS requests."""
    return f"morvent-drill-{os.getpid()}-{next(_tags)}"


# -- what must hold ------------------------------------------------------------

def leaked_addresses(sim: Any, world: World) -> list[str]:
    """Elastic IPs allocated beyond the world's own, and own ones left unassociated."""
    problems = []
    own = {z.allocation_id: z.eip for z in world.zones}
    for address in sim.ec2.describe_addresses()["Addresses"]:
        if address["AllocationId"] not in own:
            problems.append(f"Elastic IP {address.get('PublicIp')} was allocated on the way "
                            "and is still held")
        elif not address.get("AssociationId"):
            problems.append(f"Elastic IP {address.get('PublicIp')} is associated with nothing")
    return problems


def orphan_gateways(sim: Any, world: World) -> list[str]:
    """More controller gateways or gateway instances in the VPC than zones."""
    problems = []
    names = sorted(n for n, gw in sim.controller.gateways.items() if gw.vpc_id == world.vpc_id)
    if len(names) > len(world.zones):
        problems.append(f"{len(names)} controller gateways for {len(world.zones)} zones: "
                        f"{', '.join(names)}")
    reservations = sim.ec2.describe_instances(Filters=[
        {"Name": "vpc-id", "Values": [world.vpc_id]},
        {"Name": "tag-key", "Values": ["corvane-gateway"]},
        {"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped"]},
    ])["Reservations"]
    instances = sorted(i["InstanceId"] for r in reservations for i in r["Instances"])
    if len(instances) > len(world.zones):
        problems.append(f"{len(instances)} gateway instances for {len(world.zones)} zones: "
                        f"{', '.join(instances)}")
    return problems


def replaced_problems(sim: Any, world: World, spoke: str, final_size: str | None) -> list[str]:
    """What keeps the VPC from being where a complete, unfaulted `execute` leaves it."""
    return (check_replaced(sim, world, spoke, final_size) + orphan_gateways(sim, world)
            + leaked_addresses(sim, world))


def reverted_problems(sim: Any, world: World) -> list[str]:
    """What keeps the VPC from being as it was before any `execute`."""
    return check_reverted(sim, world) + leaked_addresses(sim, world)


# -- one scenario's VPC ----------------------------------------------------------

@dataclass
class Run:
    """One run of the command line and how it ended."""

    command: str
    status: int | None
    stderr: str = ""              # standard error and standard output, as printed
    seconds: float = 0.0
    timed_out: bool = False
    stdout: str = ""              # standard output alone (runs in this process only)

    def error_line(self) -> str:
        """The line of the run's output that best says why it failed."""
        lines = [line.strip() for line in self.stderr.splitlines()
                 if line.strip() and "run it again to resume" not in line]
        for marker in ("**Error**", "morvent: error:", "ERROR", "Error"):
            found = [line for line in lines if marker in line]
            if found:
                return found[-1].split(marker, 1)[-1].strip(" :") or found[-1]
        return lines[-1] if lines else ""

    def describe(self) -> str:
        if self.timed_out:
            return f"{self.command} still running after {self.seconds:.0f} s (killed)"
        text = f"{self.command} exit {self.status}"
        if self.status not in (0, None):
            reason = self.error_line()
            if reason:
                text += f": {reason}"
        return text


class Stage:
    """A fresh VPC in a started `SimulatedWorld`, its configurations, and the runs on it.

    Every scenario starts from an empty cloud and a controller that knows
    nothing.  A "machine" is a local working folder: machine "a" and "b"
    share the S3 backup, not their local copies.
    """

    def __init__(self, sim: Any, folder: str, zones: int = 3, shape: str | None = None,
                 **options: Any) -> None:
        sim.reset()
        sim.client("s3").create_bucket(Bucket=BUCKET)
        self.sim = sim
        self.folder = folder
        self.shape = shape
        if shape is not None:
            from .shapes import build_shape

            self.world = build_shape(sim, shape)
            options = {**self.world.options, **options}
            # Every route as it was, to compare the routes with after a run.
            self.picture = route_picture(sim, self.world.vpc_id)
        else:
            self.world = sim.build(zones=zones, peaks=[ZONE_PEAK] * zones)
        self.zones = len(self.world.zones)
        self.options = options
        self._configs: dict[str, str] = {}

    def config(self, machine: str = "a") -> str:
        """The configuration file of `machine` (its own work_dir)."""
        if machine not in self._configs:
            folder = os.path.join(self.folder, machine)
            os.makedirs(folder, exist_ok=True)
            self._configs[machine] = write_config(self.sim, self.world, folder, spoke=SPOKE,
                                                  **self.options)
        return self._configs[machine]

    def _descriptor(self, machine: str = "a") -> Any:
        from morvent.core.ConfigAdaptor import ConfigAdaptor
        from morvent.core.config import load_config

        return ConfigAdaptor(load_config(self.config(machine))).backup_descriptor

    def _backup_files(self) -> Iterator[tuple[str, bytes]]:
        """(name, content) of every backup file: in S3 and on each machine."""
        des = self._descriptor()
        s3 = self.sim.client("s3")
        for page in s3.get_paginator("list_objects_v2").paginate(Bucket=BUCKET,
                                                                   Prefix=des.folder_key):
            for item in page.get("Contents", ()):
                body = s3.get_object(Bucket=BUCKET, Key=item["Key"])["Body"].read()
                yield f"s3://{BUCKET}/{item['Key']}", body
        for machine in self._configs:
            local = self._descriptor(machine).local_folder
            for root, _, names in os.walk(local):
                for name in names:
                    path = os.path.join(root, name)
                    with open(path, "rb") as f:
                        yield path, f.read()

    def _json_files(self) -> Iterator[tuple[str, Any]]:
        for name, body in self._backup_files():
            if name.endswith(".json"):
                try:
                    yield name, json.loads(body)
                except ValueError:
                    continue

    def planned_size(self) -> str | None:
        """The primary's final size as the discovery planned it (None: no discovery)."""
        for _, data in self._json_files():
            if isinstance(data, dict) and isinstance(data.get("commands"), list):
                for command in data["commands"]:
                    if command.get("index") == 0 and command.get("natgws"):
                        return command["natgws"][0].get("size")
        return None

    def records(self) -> set[str]:
        """Every undo record held anywhere (S3 or a machine), as canonical JSON."""
        found = set()
        for _, data in self._json_files():
            if isinstance(data, dict) and isinstance(data.get("mementos"), list):
                found |= {json.dumps(m, sort_keys=True) for m in data["mementos"]}
        return found

    def state(self) -> dict:
        """Everything a run that stops before changing anything leaves alone."""
        return full_state(self.sim, self.world)

    def holders(self) -> set[str]:
        """Names by which a message can say what holds a resource of the VPC."""
        names = {z.eip for z in self.world.zones} | {z.nat_gateway_id for z in self.world.zones}
        for name, gw in self.sim.controller.gateways.items():
            names |= {name, gw.instance_id or ""}
        return {n for n in names if n}

    def lock_id(self) -> str | None:
        """The id of the VPC's lock, as `morvent status` shows it (None: not locked)."""
        from morvent.lib.lock import VpcLock

        state = VpcLock(self.sim.client("s3"), self._descriptor()).state()
        return state.id if state is not None else None

    def replaced(self) -> list[str]:
        if self.shape is not None:
            zones = self.world.zones[:2] if self.options.get("hs_mode") == 1 else self.world.zones
            return (check_shape_replaced(self.sim, self.world, self.picture,
                                         {z.eip for z in zones})
                    + orphan_gateways(self.sim, self.world))
        size = self.planned_size()
        if size is None:
            return ["no discovery record tells the planned size of the primary"]
        return replaced_problems(self.sim, self.world, SPOKE, size)

    def reverted(self) -> list[str]:
        if self.shape is not None:
            return check_shape_reverted(self.sim, self.world, self.picture)
        return reverted_problems(self.sim, self.world)

    # -- runs ---------------------------------------------------------------------

    def run(self, command: str, machine: str = "a", *extra: str,
            switch: "KillSwitch | None" = None, timeout: float = RUN_TIMEOUT) -> Run:
        """`python -m morvent <command> --config <machine's file>` as a child process."""
        argv = [command, "--config", self.config(machine), *extra]
        tag = switch.tag if switch is not None else next_tag()
        return run_child(self.sim, argv, self.folder, tag, switch=switch, timeout=timeout)

    def run_inline(self, command: str, machine: str = "a", *extra: str) -> Run:
        """The same, in this process (faster; the simulators' short waits apply)."""
        return run_inline(self.sim, [command, "--config", self.config(machine), *extra],
                          self.folder)


# -- running the command line ---------------------------------------------------

_AWS_SETTINGS_DROPPED = ("AWS_PROFILE", "AWS_DEFAULT_PROFILE", "AWS_SESSION_TOKEN",
                         "AWS_SECURITY_TOKEN", "AWS_ROLE_ARN", "AWS_WEB_IDENTITY_TOKEN_FILE",
                         "AWS_ENDPOINT_URL")


def _no_proxy(environ: dict[str, str]) -> dict[str, str]:
    values = {}
    for key in ("NO_PROXY", "no_proxy"):
        hosts = [h.strip() for h in environ.get(key, "").split(",") if h.strip()]
        values[key] = ",".join(hosts + [h for h in ("127.0.0.1", "localhost") if h not in hosts])
    return values


def package_root() -> str:
    """The folder holding the `morvent` package this process runs with."""
    import morvent

    return os.path.dirname(os.path.dirname(os.path.abspath(morvent.__file__)))


def run_environment(sim: Any, folder: str, base: dict[str, str] | None = None) -> dict[str, str]:
    """The environment of a user whose command line talks to the simulators."""
    env = {k: v for k, v in (os.environ if base is None else base).items()
           if k not in _AWS_SETTINGS_DROPPED}
    env.update(_no_proxy(env))
    env.update({k: v for k, v in sim.environ().items() if k != "AWS_ENDPOINT_URL"})
    env[PASSWORD_ENV] = sim.password
    env["AWS_CONFIG_FILE"] = os.path.join(folder, "no-aws-config")
    env["AWS_SHARED_CREDENTIALS_FILE"] = os.path.join(folder, "no-aws-credentials")
    return env


def child_environment(sim: Any, folder: str, tag: str) -> dict[str, str]:
    """`run_environment` for a child process: this package first on its path,
    and `tag` in the user agent of its AWS requests (so the simulators tell
    them from their own)."""
    env = run_environment(sim, folder)
    env["PYTHONPATH"] = os.pathsep.join(
        p for p in (package_root(), os.environ.get("PYTHONPATH", "")) if p)
    env["AWS_SDK_UA_APP_ID"] = tag
    return env


def inheritable_sigint() -> None:
    """Let child processes get the default SIGINT behaviour.

    A process started in the background by a shell ignores SIGINT, and its
    children inherit that; a Python handler, by contrast, resets to the
    default in a child.  Call from the main thread.
    """
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def unattended(argv: Sequence[str]) -> list[str]:
    """`argv` with --yes for execute and revert: a drill has no terminal to be asked on."""
    argv = list(argv)
    if argv[:1] in (["execute"], ["revert"]) and not {"--yes", "--dry-run"} & set(argv):
        argv.insert(1, "--yes")
    return argv


def run_child(sim: Any, argv: Sequence[str], folder: str, tag: str, *,
              switch: "KillSwitch | None" = None, timeout: float = RUN_TIMEOUT,
              program: Sequence[str] = ("-m", "morvent")) -> Run:
    """`python -m morvent <argv>` (or `python <program> <argv>`) in a child
    process; waits at most `timeout` seconds."""
    env = child_environment(sim, folder, tag)
    command = " ".join(argv[:1])
    started = time.monotonic()
    with tempfile.TemporaryFile() as err:
        if switch is not None:
            switch.install(sim)
        try:
            proc = subprocess.Popen([sys.executable, *program, *unattended(argv)], env=env,
                                    stdin=subprocess.DEVNULL, stdout=err, stderr=err,
                                    cwd=folder)
            timed_out = False
            try:
                if switch is not None:
                    switch.attach(proc)
                try:
                    proc.wait(timeout)
                except subprocess.TimeoutExpired:
                    timed_out = True
                    proc.kill()
                    proc.wait()
            finally:
                if switch is not None:
                    switch.child_gone()
        finally:
            if switch is not None:
                switch.remove(sim)
        err.seek(0)
        stderr = err.read().decode("utf-8", "replace")
    return Run(command, proc.returncode, stderr, time.monotonic() - started, timed_out)


@contextlib.contextmanager
def short_waits() -> Iterator[None]:
    """Poll the simulated cloud fast and give up soon: it answers at once, and a
    wait that cannot end should fail fast."""
    from morvent.lib import natgw
    from morvent.lib import test as egress

    values = [(natgw, "POLL_INTERVAL", 0.05), (natgw, "EIP_RELEASE_TIMEOUT", 1.0),
              (natgw, "NATGW_CREATE_TIMEOUT", 5.0), (natgw, "NATGW_DELETE_TIMEOUT", 5.0),
              (egress, "POLL_INTERVAL", 0.05), (egress, "TEST_TIMEOUT", 1.0)]
    saved = [(module, name, getattr(module, name)) for module, name, _ in values]
    for module, name, value in values:
        setattr(module, name, value)
    try:
        yield
    finally:
        for module, name, value in saved:
            setattr(module, name, value)


@contextlib.contextmanager
def _environ(values: dict[str, str]) -> Iterator[None]:
    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(values)
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)


def run_inline(sim: Any, argv: Sequence[str], folder: str) -> Run:
    """`morvent <argv>` through `morvent.cli.main` in this process, its output captured."""
    from morvent import cli
    from morvent.core.Globals import Globals

    saved = {k: getattr(Globals, k) for k in ("CID", "controller_ip", "dry_run",
                                               "aws_client_manager", "cmdcnt")}
    out, stdout = io.StringIO(), io.StringIO()
    started = time.monotonic()
    try:
        with _environ(run_environment(sim, folder)), short_waits(), \
                contextlib.redirect_stderr(out), contextlib.redirect_stdout(_Tee(out, stdout)):
            try:
                status = cli.main(unattended(argv))
            except SystemExit as e:  # never expected; say so rather than stop the drill
                status = e.code if isinstance(e.code, int) else 1
                print(f"drill: SystemExit({e.code!r}) escaped the command line", file=out)
    finally:
        for key, value in saved.items():
            setattr(Globals, key, value)
    return Run(argv[0], status, out.getvalue(), time.monotonic() - started,
               stdout=stdout.getvalue())


class _Tee(io.TextIOBase):
    """A text stream that writes to several."""

    def __init__(self, *streams: io.TextIOBase) -> None:
        self.streams = streams

    def write(self, text: str) -> int:
        for stream in self.streams:
            stream.write(text)
        return len(text)


# -- kill points -------------------------------------------------------------------

@dataclass(frozen=True)
class Request:
    """The `occurrence`-th request of one operation in a run."""

    service: str          # "controller", "ec2", "s3"
    operation: str        # controller action or AWS operation name
    occurrence: int = 1
    #: What it was about, for people (an S3 object's name); not matched.
    note: str = field(default="", compare=False)

    @property
    def label(self) -> str:
        name = f"{self.service} {self.operation}"
        if self.occurrence > 1:
            name += f" #{self.occurrence}"
        return f"{name} ({self.note})" if self.note else name

    def matches(self, service: str, operation: str) -> bool:
        return (service, operation) == (self.service, self.operation)


@dataclass(frozen=True)
class KillPoint:
    """Where a kill drill strikes: at step `step` (1 = the run's first
    state-changing request), before or after it is carried out."""

    step: int
    request: Request
    moment: str

    @property
    def label(self) -> str:
        return f"{self.step:>2} {self.request.label} {self.moment}"

    @property
    def unrecorded(self) -> bool:
        """Killed here, the change is made and not yet recorded anywhere."""
        return self.moment == "after" and \
            (self.request.service, self.request.operation) in UNRECORDED_AFTER


def _changes_state(service: str, operation: str, s3: bool) -> bool:
    if service == "controller":
        return operation not in READ_ONLY_ACTIONS
    if service == "ec2" or (s3 and service == "s3"):
        return not is_read_only_aws(operation)
    return False


class RequestRecorder:
    """Writes down, in order, the state-changing requests of one child run."""

    def __init__(self, tag: str, s3: bool = False) -> None:
        self.tag = tag
        self.s3 = s3
        self.requests: list[tuple[str, str, str]] = []
        self._lock = threading.Lock()

    def _note(self, service: str, operation: str, note: str = "") -> None:
        if _changes_state(service, operation, self.s3):
            with self._lock:
                self.requests.append((service, operation, note))

    def on_controller(self, moment: str, record: RecordedRequest, answer: dict | None) -> None:
        if moment == "before":
            self._note("controller", record.action or "")

    def on_aws(self, moment: str, request: AwsRequest) -> None:
        if moment == "before" and f"app/{self.tag}" in request.user_agent:
            note = request.path.rsplit("/", 1)[-1] if request.service == "s3" else ""
            self._note(request.service, request.operation, note)

    def kill_points(self) -> list[KillPoint]:
        seen: Counter[tuple[str, str]] = Counter()
        points = []
        for step, (service, operation, note) in enumerate(self.requests, 1):
            seen[service, operation] += 1
            request = Request(service, operation, seen[service, operation], note)
            points += [KillPoint(step, request, moment) for moment in MOMENTS]
        return points


def kill_points(sim: Any, zones: int, *, s3: bool = False, timeout: float = RUN_TIMEOUT,
                shape: str | None = None) -> list[KillPoint]:
    """The kill points of an unfaulted `execute` of a `zones`-zone VPC (or of
    a VPC of that `shape`, accepting its address changes), found by running
    one as a child process."""
    with tempfile.TemporaryDirectory(prefix="morvent-drill-") as folder:
        stage = Stage(sim, folder, zones, shape=shape, **_accepting(shape))
        tag = next_tag()
        recorder = RequestRecorder(tag, s3)
        sim.controller.add_interceptor(recorder.on_controller)
        sim.aws.add_interceptor(recorder.on_aws)
        try:
            run = run_child(sim, ["execute", "--config", stage.config()], folder, tag,
                            timeout=timeout)
        finally:
            sim.controller.remove_interceptor(recorder.on_controller)
            sim.aws.remove_interceptor(recorder.on_aws)
        problems = stage.replaced()
        if run.status != 0 or problems:
            raise RuntimeError(f"the unfaulted run to find the kill points failed: "
                               f"{run.describe()}; {'; '.join(problems)}\n{run.stderr}")
    return recorder.kill_points()


def _accepting(shape: str | None) -> dict[str, Any]:
    """The configuration keys a drill on ``shape`` runs with: its address
    changes accepted, where it has some."""
    from .shapes import SHAPES

    if shape is not None and SHAPES[shape].outcome == "accept":
        return {"accept_address_changes": True}
    return {}


class KillSwitch:
    """Signals a child process at one kill point, from inside the simulators.

    Install it on a world, start the child, `attach` it; the switch counts
    the child's requests and fires once: "before" -- it signals the child,
    holds the request until the child is gone (or `hold` seconds passed) and
    closes the connection without carrying it out; "after" -- the request is
    carried out, then the same.  Every other request is served as usual, the
    child's own clean-up after a graceful signal included.  AWS requests
    count only when their user agent carries `tag`.
    """

    def __init__(self, point: KillPoint, signum: int, tag: str | None = None,
                 hold: float = HOLD_TIMEOUT) -> None:
        self.point = point
        self.signum = signum
        self.tag = tag or next_tag()
        self.hold = hold
        self.fired = threading.Event()
        self._lock = threading.Lock()
        self._seen = 0
        self._target: object | None = None
        self._proc: subprocess.Popen | None = None
        self._attached = threading.Event()
        self._gone = threading.Event()

    def install(self, sim: Any) -> None:
        sim.controller.add_interceptor(self._on_controller)
        sim.aws.add_interceptor(self._on_aws)

    def remove(self, sim: Any) -> None:
        sim.controller.remove_interceptor(self._on_controller)
        sim.aws.remove_interceptor(self._on_aws)

    def attach(self, proc: subprocess.Popen) -> None:
        self._proc = proc
        self._attached.set()

    def child_gone(self) -> None:
        """The child has exited (or was given up on): let held requests go."""
        self._gone.set()
        self._attached.set()

    def _on_controller(self, moment: str, record: RecordedRequest,
                       answer: dict | None) -> str | None:
        return self._on(moment, "controller", record.action or "", record)

    def _on_aws(self, moment: str, request: AwsRequest) -> str | None:
        if f"app/{self.tag}" not in request.user_agent:
            return None
        return self._on(moment, request.service, request.operation, request)

    def _on(self, moment: str, service: str, operation: str, request: object) -> str | None:
        with self._lock:
            if self.fired.is_set():
                return None
            if moment == "before":
                if not self.point.request.matches(service, operation):
                    return None
                self._seen += 1
                if self._seen != self.point.request.occurrence:
                    return None
                if self.point.moment == "after":
                    self._target = request
                    return None
            elif request is not self._target:
                return None
            self.fired.set()
        self._attached.wait(self.hold)
        if self._proc is not None:
            self._proc.send_signal(self.signum)
        self._gone.wait(self.hold)
        return DROP


# -- results --------------------------------------------------------------------------

@dataclass
class Cell:
    """The outcome of one scenario: "ok", "ok*" or a short reason."""

    text: str
    ok: bool
    details: list[str] = field(default_factory=list)
    seconds: float = 0.0

    @classmethod
    def failed(cls, reason: str, *details: str) -> "Cell":
        return cls(reason, False, [reason, *details])


_AWS_ID = re.compile(r"\b(vpc|subnet|rtb|nat|igw|eni|eipalloc|i)-[0-9a-f]{8,17}\b")
_PATH = re.compile(r"(?<![\w:/])(?:/[\w.-]+)+/([\w.-]+)")
_VARYING = re.compile(r"\d{4}-\d\d-\d\dT[\d:.+Z-]+|(?<=pid )\d+")


def compact(text: str) -> str:
    """`text` as the same for every scenario: AWS resource ids cut to their
    kind ("vpc-…"), local paths to their last part, no times or process ids."""
    text = _AWS_ID.sub(r"\1-…", text)
    return _VARYING.sub("…", _PATH.sub(r"\1", text))


class _Failed(Exception):
    def __init__(self, reason: str, *details: str) -> None:
        super().__init__(reason)
        self.reason = reason
        self.details = list(details)


def _tail(run: Run, lines: int = 12) -> str:
    text = "\n".join(run.stderr.rstrip().splitlines()[-lines:])
    return f"--- last lines of {run.command}:\n{text}" if text else ""


def _expect(prefix: str, run: Run, problems: Callable[[], list[str]]) -> None:
    """Fail the drill unless `run` succeeded and `problems()` is empty; the
    reason starts with `prefix`."""
    if run.timed_out or run.status != 0:
        raise _Failed(f"{prefix}{run.describe()}", _tail(run))
    found = problems()
    if found:
        raise _Failed(f"{prefix}after {run.command}: {found[0]}", *found[1:], _tail(run))


def _finish(build: Callable[[], str]) -> Cell:
    started = time.monotonic()
    try:
        cell = Cell(build(), True)
    except _Failed as failure:
        cell = Cell.failed(failure.reason, *(d for d in failure.details if d))
        cell.text = compact(failure.reason)
    except Exception as error:  # a fault of the drill itself: show it, go on
        cell = Cell.failed(f"drill error: {type(error).__name__}: {error}")
    cell.seconds = time.monotonic() - started
    return cell


# -- kill drills ----------------------------------------------------------------------

@dataclass(frozen=True)
class KillScenario:
    zones: int
    point: KillPoint
    signal: str           # a key of SIGNALS
    follow: str           # "a", "b" or "c"
    timeout: float = RUN_TIMEOUT
    hold: float = HOLD_TIMEOUT
    shape: str | None = None

    @property
    def column(self) -> str:
        return f"{self.signal}/{self.follow}"


def kill_drill(sim: Any, scenario: KillScenario) -> Cell:
    """Kill `execute` at `scenario.point` with `scenario.signal`, then the follow-up."""
    folder = tempfile.mkdtemp(prefix="morvent-drill-")
    try:
        return _finish(lambda: _kill_drill(sim, scenario, folder))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _kill_drill(sim: Any, scenario: KillScenario, folder: str) -> str:
    stage = Stage(sim, folder, scenario.zones, shape=scenario.shape,
                  **_accepting(scenario.shape))
    switch = KillSwitch(scenario.point, SIGNALS[scenario.signal], hold=scenario.hold)
    killed = stage.run("execute", switch=switch, timeout=scenario.timeout)
    if not switch.fired.is_set():
        raise _Failed(f"kill point never reached ({killed.describe()})", _tail(killed))
    if killed.timed_out or killed.status == 0:
        raise _Failed(f"SIG{scenario.signal} did not stop the run ({killed.describe()})",
                      _tail(killed))
    # The lock of a run that got no chance to clean up stays: the documented
    # way on is --break-lock with the lock's id (its holder is gone: refused
    # otherwise).  A run told to stop must release it itself.
    lock_id = stage.lock_id()
    if (lock_id is not None) is not (scenario.signal == "KILL"):
        raise _Failed(f"SIG{scenario.signal} left " + ("a lock" if lock_id else "no lock"),
                      _tail(killed))
    unlock = ("--break-lock", lock_id) if lock_id else ()

    def run(command: str, machine: str = "a", *extra: str) -> Run:
        return stage.run(command, machine, *extra, timeout=scenario.timeout)

    if scenario.follow in ("a", "b"):
        machine = scenario.follow
        _expect(f"{machine}: ", run("execute", machine, *unlock), stage.replaced)
        _expect(f"{machine}: ", run("revert", machine), stage.reverted)
        return "ok"
    before, records = stage.state(), stage.records()
    reverted = run("revert", "a", *unlock)
    if not scenario.point.unrecorded:
        _expect("c: ", reverted, stage.reverted)
        return "ok"
    _expect_stop(stage, reverted, before, records)
    _expect("c: stopped, then ", run("execute"), stage.replaced)
    _expect("c: stopped, then ", run("revert"), stage.reverted)
    return "ok*"


def _expect_stop(stage: Stage, run: Run, before: dict, records: set[str]) -> None:
    """A revert facing a change made with no record: exit 1, nothing changed,
    every record kept, one line naming the holder and `morvent execute`."""
    if run.timed_out or run.status != 1:
        raise _Failed(f"c: revert did not stop ({run.describe()})", _tail(run))
    holders = stage.holders()
    if not any("morvent execute" in line and any(h in line for h in holders)
               for line in run.stderr.splitlines()):
        raise _Failed(f"c: {run.describe()}", "no line names what holds the resource and "
                      "`morvent execute`", _tail(run))
    after = stage.state()
    changed = sorted(k for k in before if before[k] != after.get(k))
    if changed:
        raise _Failed(f"c: the stopped revert changed {', '.join(changed)}", _tail(run))
    lost = records - stage.records()
    if lost:
        raise _Failed(f"c: the stopped revert lost {len(lost)} record(s)", *sorted(lost))


# -- fault drills -----------------------------------------------------------------------

@dataclass(frozen=True)
class FaultTarget:
    """The `occurrence`-th call of a controller `action` in one phase's run."""

    action: str
    occurrence: int

    @property
    def label(self) -> str:
        return f"{self.action}#{self.occurrence}"


@dataclass(frozen=True)
class FaultScenario:
    zones: int
    phase: str            # "execute" or "revert"
    target: FaultTarget
    kind: str             # a key of FAULT_KINDS

    @property
    def column(self) -> str:
        return self.kind


def fault_targets(sim: Any, zones: int, phase: str) -> list[FaultTarget]:
    """Every state-changing controller call of an unfaulted run of `phase`
    (execute, or revert after a clean execute), and every gateway look-up."""
    with tempfile.TemporaryDirectory(prefix="morvent-drill-") as folder:
        stage = Stage(sim, folder, zones)
        if phase == "revert":
            _check_clean(stage.run_inline("execute"), stage.replaced)
        sim.controller.clear_requests()
        _check_clean(stage.run_inline(phase),
                     stage.replaced if phase == "execute" else stage.reverted)
        actions = sim.controller.actions()
    seen: Counter[str] = Counter()
    targets = []
    for action in actions:
        if action is None:
            continue
        seen[action] += 1
        if action not in READ_ONLY_ACTIONS or action == "get_gateway_info":
            targets.append(FaultTarget(action, seen[action]))
    return targets


def _check_clean(run: Run, problems: Callable[[], list[str]]) -> None:
    found = problems()
    if run.status != 0 or found:
        raise RuntimeError(f"an unfaulted {run.command} failed: {run.describe()}; "
                           f"{'; '.join(found)}\n{run.stderr}")


def fault_drill(sim: Any, scenario: FaultScenario) -> Cell:
    """Fault one controller call of `scenario.phase`, then run the phase again cleanly."""
    folder = tempfile.mkdtemp(prefix="morvent-drill-")
    try:
        return _finish(lambda: _fault_drill(sim, scenario, folder))
    finally:
        sim.reset_faults()
        shutil.rmtree(folder, ignore_errors=True)


def _fault_drill(sim: Any, scenario: FaultScenario, folder: str) -> str:
    mode, after = FAULT_KINDS[scenario.kind]
    options = {"controller_timeout": HANG_TIMEOUT} if mode == "hang" else {}
    stage = Stage(sim, folder, scenario.zones, **options)
    sound = stage.replaced if scenario.phase == "execute" else stage.reverted
    if scenario.phase == "revert":
        _expect("unfaulted ", stage.run_inline("execute"), stage.replaced)
    try:
        fault = sim.inject(scenario.target.action, scenario.target.occurrence, mode, after=after)
    except ValueError as e:
        raise _Failed(f"cannot inject {mode!r}: {e}") from None
    faulted = stage.run_inline(scenario.phase)
    if not fault.fired:
        raise _Failed(f"fault never hit ({faulted.describe()})", _tail(faulted))
    sim.reset_faults()
    if faulted.status == 0:
        _expect("[0] success reported, yet ", faulted, sound)
    again = stage.run_inline(scenario.phase)
    _expect(f"[{faulted.status}] again: ", again, sound)
    return f"ok [{faulted.status}]"


# -- many drills ---------------------------------------------------------------------------

_worker_sim: Any = None


def _start_worker() -> None:
    """Initialiser of a worker process: its own simulated world, stopped at exit."""
    global _worker_sim
    from multiprocessing.util import Finalize

    from . import SimulatedWorld

    inheritable_sigint()
    _worker_sim = SimulatedWorld().start()
    Finalize(None, _worker_sim.stop, exitpriority=10)


def _run_in_worker(drill: Callable[[Any, Any], Cell], scenario: Any) -> Cell:
    return drill(_worker_sim, scenario)


def run_drills(drill: Callable[[Any, Any], Cell], scenarios: Sequence[Any], *, jobs: int = 1,
               sim: Any = None,
               progress: Callable[[Any, Cell], None] | None = None) -> dict[Any, Cell]:
    """Run `drill(sim, scenario)` for every scenario; `jobs` > 1: in that many worker
    processes, each with its own simulated world (moto keeps one cloud per
    process).  With one job, `sim` (or a world of its own) is used here."""
    cells: dict[Any, Cell] = {}
    if jobs <= 1:
        with contextlib.ExitStack() as stack:
            if sim is None:
                from . import SimulatedWorld

                sim = stack.enter_context(SimulatedWorld())
            for scenario in scenarios:
                cells[scenario] = drill(sim, scenario)
                if progress is not None:
                    progress(scenario, cells[scenario])
        return cells
    import concurrent.futures
    import multiprocessing

    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(jobs, mp_context=context,
                                                initializer=_start_worker) as pool:
        futures = {pool.submit(_run_in_worker, drill, scenario): scenario
                   for scenario in scenarios}
        for future in concurrent.futures.as_completed(futures):
            scenario = futures[future]
            try:
                cells[scenario] = future.result()
            except Exception as error:
                cells[scenario] = Cell.failed(f"worker error: {type(error).__name__}: {error}")
            if progress is not None:
                progress(scenario, cells[scenario])
    return {scenario: cells[scenario] for scenario in scenarios}


def format_table(rows: Sequence[str], columns: Sequence[str],
                 cell: Callable[[str, str], str | None], width: int = 34) -> list[str]:
    """Lines of a table: one row per `rows` label, one column per `columns`
    label, `cell(row, column)` in each (None: not run, shown as "-")."""
    def fit(text: str) -> str:
        return text if len(text) <= width else text[:width - 1] + "…"

    body = [[row] + [fit(cell(row, col) or "-") for col in columns] for row in rows]
    head = ["", *columns]
    widths = [max(len(line[i]) for line in [head, *body]) for i in range(len(head))]
    lines = ["  ".join(text.ljust(w) for text, w in zip(head, widths)).rstrip(),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(text.ljust(w) for text, w in zip(line, widths)).rstrip()
              for line in body]
    return lines


def failure_lines(cells: Iterable[Cell]) -> list[str]:
    """The distinct failure reasons, most frequent first, with their counts."""
    counts = Counter(c.text for c in cells if not c.ok)
    return [f"{n:>4} x  {text}" for text, n in counts.most_common()]


def summary(cells: Iterable[Cell], seconds: float) -> str:
    """One line: how many scenarios ran, held and failed, and the time taken."""
    cells = list(cells)
    starred = sum(1 for c in cells if c.ok and c.text.startswith("ok*"))
    failed = sum(1 for c in cells if not c.ok)
    return (f"{len(cells)} scenario(s): {len(cells) - failed} ok"
            + (f" ({starred} after a stop)" if starred else "")
            + f", {failed} failed; {seconds:.0f} s")


def report(cells: dict[Any, Cell], title: Callable[[Any], str], seconds: float,
           verbose: bool = False) -> int:
    """Print what closes a matrix: with `verbose` the details of each failed
    scenario under `title(scenario)`, then the failures by reason and the summary
    line.  The exit status for the script: 1 if any scenario failed."""
    if verbose:
        for scenario, cell in cells.items():
            if not cell.ok:
                print(f"\n{title(scenario)}:")
                for detail in cell.details:
                    print("  " + detail.replace("\n", "\n    "))
    reasons = failure_lines(cells.values())
    if reasons:
        print()
        print("Failures by reason:")
        for line in reasons:
            print(line)
    print()
    print(summary(cells.values(), seconds))
    return 1 if reasons else 0
