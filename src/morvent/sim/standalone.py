"""``morvent sim``: the simulated controller and AWS cloud, up until Ctrl-C.

For rehearsals and failure drills run from another shell.  Starts both
simulators on 127.0.0.1, builds a VPC with one NAT gateway per zone, creates
the S3 bucket for its backups, writes a configuration file for it, prints
the environment to export and the commands to run, and serves until SIGINT
or SIGTERM; then it stops both servers.  Every controller request is shown
as it is answered.  ``--fault ACTION[:N][:KIND]`` arms the controller's fault
injection (see ``morvent.sim.faults.parse_fault``).

Exit status: 0 when stopped by SIGINT or SIGTERM once ready, 1 when the
simulators could not start or stop, 2 for bad options or a missing 'sim'
extra, 130 or 143 when stopped while starting.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import logging
import math
import os
import shlex
import shutil
import signal
import sys
import tempfile
import textwrap
import threading
import time
from collections import Counter
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from .cloud import CREDENTIALS
from .demo import (BUCKET, PASSWORD_ENV, WRITTEN_BY, ZONE_PEAK, _ENV_REMOVED, _environment,
                   _log_levels, write_config)
from .extra import missing_extra
from .faults import HANG_SECONDS, parse_fault

PROG = "morvent sim"
CONFIG_FILE = "morvent.yaml"
#: The fleet manifest of --vpcs (written with the VPCs' configurations).
FLEET_FILE = "fleet.yaml"
#: Controller actions that create a gateway (what --create-seconds slows).
CREATE_ACTIONS = ("create_multicloud_primary_gateway", "create_multicloud_ha_gateway",
                  "create_spoke_gw", "enable_spoke_ha")
ENV_FILE = "env.sh"
#: Hosts a configured proxy must not be asked for: the simulators.
LOCAL_HOSTS = "127.0.0.1,localhost"
#: Seconds between two looks at the controller's requests while serving.
TICK = 0.2

_FAULT_WORDS = {
    "fail": "refused",
    "http500": "answered with HTTP 500",
    "drop": "connection closed without an answer",
    "delay": "answered normally",
    "garbled": "answered without 'return' or 'results'",
    "hang": "no answer for {hold:g} s, then the connection is closed",
}

_FAULT_HELP = """\
faults (--fault ACTION[:N][:KIND], calls counted from the start, across every
command run against the simulator):
  enable_snat                           the next enable_snat is refused
  create_multicloud_ha_gateway:2        the second one is refused
  enable_snat:drop                      connection closed without an answer
  create_multicloud_primary_gateway:1:drop-after
                                        created, but the answer is lost
  change_gateway_size:hang-after=5      resized, then 5 s without an answer
KIND is fail (default), http500, drop, delay, garbled or hang, optionally with
-after (the action is carried out first) and =SECONDS."""

_FLEET_HELP = """many VPCs (--vpcs N): vpc001, vpc002, ... with zone counts drawn from
--vpc-zones (deterministic from --seed), written as fleet.yaml beside their
own configurations (vpcs/KEY.yaml). --regions 2 adds us-west-2 (four zones
there); --accounts 2 adds a second AWS account, reached with the profile
morvent-sim-b of the credentials file written beside them. --fault
KEY:ACTION[:N][:KIND] aims a fault at one VPC: its Nth call of ACTION (the
calls that name the VPC or one of its gateways)."""


def _shapes_help() -> str:
    from .shapes import SHAPES

    words = {"ok": "replaced", "accept": "needs --accept-address-changes",
             "refused": "refused"}
    lines = ["shapes (--shape NAME; what morvent execute does with it):"]
    for shape in SHAPES.values():
        lines += textwrap.wrap(f"{words[shape.outcome]}: {shape.summary}", 80,
                               initial_indent=f"  {shape.name:<24} ",
                               subsequent_indent=" " * 27)
    return "\n".join(lines)


class UsageError(ValueError):
    """Bad options: one line, exit status 2."""


class Stopped(BaseException):
    """SIGINT or SIGTERM arrived while the simulators were starting."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="Start the simulated controller and AWS cloud on 127.0.0.1 with a VPC\n"
                    "whose NAT gateways can be replaced, write a configuration file for it\n"
                    "and serve until Ctrl-C, for rehearsals and failure drills run from\n"
                    "another shell.",
        epilog=_FAULT_HELP + "\n\n" + _shapes_help())
    parser.add_argument("--zones", type=int, metavar="N",
                        help="availability zones, one NAT gateway each (2 to 6; default 3)")
    world = parser.add_mutually_exclusive_group()
    world.add_argument("--shape", metavar="NAME",
                       help="build a VPC of this shape instead of the tidy one (see the list "
                            "below)")
    world.add_argument("--like", metavar="CONFIG",
                       help="copy the shape of the VPC this morvent configuration names, "
                            "read-only (every request to its account is a read), under new "
                            "ids; the mapping of ids and addresses is printed")
    parser.add_argument("--dir", metavar="D",
                        help="folder for the configuration file and the local backups, "
                             "created if missing and kept (default: a new temporary folder, "
                             "removed when the simulator stops)")
    parser.add_argument("--fault", action="append", default=[], metavar="ACTION[:N][:KIND]",
                        help="make a controller call go wrong (repeatable; see below)")
    parser.add_argument("--create-seconds", type=float, default=0.0, metavar="S",
                        help="gateway creations take S seconds, as on a real controller "
                             "(other requests are answered meanwhile)")
    parser.add_argument("--throttle", metavar="SPEC",
                        help="EC2 answers the tool's requests with RequestLimitExceeded: a "
                             "share (30%%), the next N (burst=N) or beyond a rate (10/s)")
    fleet = parser.add_argument_group("many VPCs")
    fleet.add_argument("--vpcs", type=int, metavar="N",
                       help="build N VPCs and write a fleet manifest for them (see below)")
    fleet.add_argument("--vpc-zones", metavar="MIN-MAX",
                       help="zones per VPC with --vpcs, drawn from this range (default 2-6)")
    fleet.add_argument("--regions", type=int, choices=(1, 2),
                       help="spread the VPCs over this many regions (default 1)")
    fleet.add_argument("--accounts", type=int, choices=(1, 2),
                       help="spread the VPCs over this many AWS accounts (default 1)")
    fleet.add_argument("--seed", type=int,
                       help="the seed of the zone counts (default 1)")
    parser.epilog = f"{parser.epilog}\n\n{_FLEET_HELP}"
    return parser


def read_fault(text: str, keys: Sequence[str] = ()) -> dict[str, Any]:
    """`parse_fault`, and the action must be one the controller knows; with
    the VPC keys of a fleet, "KEY:ACTION[:N][:KIND]" aims it at that VPC
    (the fault's "vpc" names it)."""
    from .actions import known_actions

    head, _, rest = text.strip().partition(":")
    if keys and rest and head not in known_actions():
        if head not in keys:
            close = difflib.get_close_matches(head, list(keys), n=1)
            hint = f" (did you mean '{close[0]}'?)" if close else ""
            raise UsageError(f"fault {text!r}: {head!r} is neither an action of the controller "
                             f"nor a VPC of the fleet{hint}")
        fault = read_fault(rest)
        fault["vpc"] = head
        return fault
    if not keys and rest and head not in known_actions() \
            and rest.partition(":")[0] in known_actions():
        raise UsageError(f"fault {text!r}: a fault aimed at one VPC (KEY:ACTION) goes with "
                         "--vpcs N")
    fault = parse_fault(text)
    known = known_actions()
    if fault["action"] not in known:
        close = difflib.get_close_matches(fault["action"], known, n=1)
        hint = f" (did you mean '{close[0]}'?)" if close else ""
        raise UsageError(f"fault {text!r}: the controller has no action "
                         f"{fault['action']!r}{hint}")
    return fault


def describe_fault(fault: dict[str, Any]) -> str:
    """"call 2 of enable_snat: refused", as the ready message lists the faults."""
    mode = fault["mode"]
    delay = fault.get("delay", 0.0)
    what = _FAULT_WORDS[mode].format(hold=delay or HANG_SECONDS)
    if delay and mode != "hang":
        what = f"{what} after {delay:g} s"
    if fault.get("after"):
        what = f"carried out, then {what}"
    whose = f" for {fault['vpc']}" if fault.get("vpc") else ""
    return f"call {fault['nth']} of {fault['action']}{whose}: {what}"


def _working_folder(option: str | None, written: str = CONFIG_FILE) -> tuple[str, bool]:
    """(folder, whether to remove it at the end).  A folder given with --dir
    is created when missing; a configuration file in it (``written``) that
    this program did not write is not overwritten."""
    if option is None:
        return tempfile.mkdtemp(prefix="morvent-sim-"), True
    folder = os.path.abspath(os.path.expanduser(option))
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as e:
        raise UsageError(f"--dir {option}: cannot create the folder: {e.strerror or e}") from None
    config = os.path.join(folder, written)
    try:
        with open(config, encoding="utf-8", errors="replace") as f:
            first = f.readline()
    except FileNotFoundError:
        return folder, False
    except OSError as e:
        raise UsageError(f"--dir {option}: cannot read {config}: {e.strerror or e}") from None
    if not first.startswith(WRITTEN_BY):
        raise UsageError(f"--dir {option}: {config} exists and was not written by the "
                         "simulator; choose another folder")
    return folder, False


def environment(sim: Any, folder: str) -> dict[str, str]:
    """What a shell running the commands needs, besides dropping _ENV_REMOVED:
    the password, the simulated cloud's test credentials, AWS configuration
    files that do not exist (so no profile of the user's is read) and no proxy
    for 127.0.0.1."""
    return {
        PASSWORD_ENV: sim.password,
        "AWS_ACCESS_KEY_ID": CREDENTIALS["aws_access_key_id"],
        "AWS_SECRET_ACCESS_KEY": CREDENTIALS["aws_secret_access_key"],
        "AWS_CONFIG_FILE": os.path.join(folder, "no-aws-config"),
        "AWS_SHARED_CREDENTIALS_FILE": os.path.join(folder, "no-aws-credentials"),
        "NO_PROXY": LOCAL_HOSTS,
        "no_proxy": LOCAL_HOSTS,
    }


def shell_lines(values: dict[str, str]) -> list[str]:
    """The environment as POSIX shell commands."""
    return ([f"unset {' '.join(_ENV_REMOVED)}"]
            + [f"export {key}={shlex.quote(value)}" for key, value in values.items()])


def _morvent_command() -> str:
    if shutil.which("morvent"):
        return "morvent"
    return f"{shlex.quote(sys.executable)} -m morvent"


def _request_line(record: Any, names: dict[str, str] | None = None) -> str | None:
    """One line on a controller request once it is answered, else None;
    ``names``: the fleet's VPC keys by VPC id, to say whose request it is."""
    if record.fault is not None:
        result = f"FAULT {record.fault}"
    elif record.status is None:
        return None
    elif record.answer is not None and record.answer.get("return") is False:
        result = f"refused: {record.answer.get('reason')}"
    else:
        result = "ok" if record.status == 200 else f"HTTP {record.status}"
    whose = f" ({names[record.vpc_id]})" if names and record.vpc_id in names else ""
    return (f"  {time.strftime('%H:%M:%S')} controller {record.action or '(no action)'}"
            f"{whose}: {result}")


class RequestLog:
    """Prints each controller request once it is answered."""

    def __init__(self, sim: Any, say: Callable[[str], None],
                 names: dict[str, str] | None = None) -> None:
        self.sim = sim
        self.say = say
        self.names = names
        self._next = 0            # every request before this one is shown
        self._shown: set[int] = set()

    def show_new(self) -> None:
        records = self.sim.requests
        for index in range(self._next, len(records)):
            if index in self._shown:
                continue
            line = _request_line(records[index], self.names)
            if line is not None:
                self.say(line)
                self._shown.add(index)
        while self._next in self._shown:
            self._shown.discard(self._next)
            self._next += 1


class StopSignals:
    """SIGINT and SIGTERM: while starting they raise `Stopped`; once serving
    they end `serve()`; a second one while stopping is ignored, so the
    servers are always stopped in full."""

    def __init__(self) -> None:
        self.received: int | None = None
        self.serving = False
        self._saved: dict[int, Any] = {}

    def _handle(self, signum: int, frame: Any) -> None:
        if self.received is not None:
            return
        self.received = signum
        if not self.serving:
            raise Stopped(signum)

    def __enter__(self) -> "StopSignals":
        if threading.current_thread() is threading.main_thread():
            for signum in (signal.SIGINT, signal.SIGTERM):
                self._saved[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        for signum, handler in self._saved.items():
            signal.signal(signum, handler)
        self._saved.clear()

    def serve(self, tick: Callable[[], None]) -> str:
        """Call `tick` every TICK seconds until a signal comes; its name."""
        self.serving = True
        while self.received is None:
            tick()
            time.sleep(TICK)
        tick()
        return signal.Signals(self.received).name


class Simulator:
    def __init__(self, args: argparse.Namespace, faults: list[dict[str, Any]],
                 out: TextIO) -> None:
        self.args = args
        self.faults = faults
        self.out = out

    def say(self, text: str = "") -> None:
        print(text, file=self.out, flush=True)

    def run(self) -> int:
        fleet = self.args.vpcs is not None
        folder, temporary = _working_folder(self.args.dir, FLEET_FILE if fleet else CONFIG_FILE)
        signals = StopSignals()
        try:
            with signals:
                name = (self.serve_fleet if fleet else self.serve)(folder, signals)
        except Stopped as e:
            print(f"{PROG}: stopped by {e} while starting; both servers are down",
                  file=sys.stderr)
            return 128 + e.signum
        except Exception as e:
            when = "stopping" if signals.received is not None else (
                "serving" if signals.serving else "starting")
            print(f"{PROG}: error while {when}: {type(e).__name__}: {e}", file=sys.stderr)
            return 1
        finally:
            if temporary:
                shutil.rmtree(folder, ignore_errors=True)
        where = f"removed {folder}" if temporary else f"kept {folder}"
        self.say(f"{PROG}: stopped by {name}: the simulated controller and AWS cloud are "
                 f"down; {where}")
        return 0

    def serve(self, folder: str, signals: StopSignals) -> str:
        from . import SimulatedWorld

        zones = self.args.zones
        source, options = None, {}
        if self.args.like:
            # Read with the operator's own AWS access, before the simulators'
            # environment replaces it.
            source, options = self.read_like(self.args.like)
        with contextlib.ExitStack() as stack:
            stack.enter_context(_log_levels({"werkzeug": logging.WARNING,
                                             "morvent.sim": logging.WARNING}))
            self.say("Starting the simulated controller and AWS cloud on 127.0.0.1 ...")
            sim = SimulatedWorld()
            env = environment(sim, folder)
            # What the user is told to export holds here too: the simulators'
            # own AWS clients read no profile of the user's and use no proxy.
            stack.enter_context(_environment(env))
            stack.enter_context(sim)
            copied = None
            if source is not None:
                from .like import copy_into

                copied = copy_into(sim, source)
                world = copied.world
            elif self.args.shape:
                from .shapes import build_shape

                world = build_shape(sim, self.args.shape)
                options = dict(world.options)
            else:
                world = sim.build(zones=zones, peaks=[ZONE_PEAK] * zones)
            sim.client("s3").create_bucket(Bucket=BUCKET)
            config = write_config(sim, world, folder, by=PROG, **options)
            if copied is not None:
                self.show_copy(copied)
            env_file = self.write_env(folder, env)
            for fault in self.faults:
                sim.inject(**fault)
            self.slow_down(sim)

            signals.serving = True
            self.ready(sim, world, folder, config, env_file, env)
            name = signals.serve(RequestLog(sim, self.say).show_new)
            self.say(f"{PROG}: {name}: stopping ...")
        return name

    @staticmethod
    def read_like(path: str) -> tuple[Any, dict[str, Any]]:
        """The VPC a configuration names, read-only, and the keys the copy keeps."""
        from morvent.core.config import load_config

        from .like import read_source

        config = load_config(path)
        options = {key: getattr(config, key) for key in ("hs_mode", "spoke_gw_size",
                                                         "accept_address_changes")
                   if getattr(config, key) not in (None, 0, False)}
        return read_source(config), {"spoke": config.spoke_gw_name, **options}

    def show_copy(self, copied: Any) -> None:
        self.say("Copied (original -> copy):")
        for original, copy in copied.mapping.items():
            self.say(f"  {original} -> {copy}")
        for note in copied.notes:
            self.say(f"  note: {note}")

    @staticmethod
    def write_env(folder: str, env: dict[str, str]) -> str:
        path = os.path.join(folder, ENV_FILE)
        with open(path, "w", encoding="utf-8") as f:
            f.write("# The environment for morvent commands against the simulator.\n")
            f.write("\n".join(shell_lines(env)) + "\n")
        return path

    def ready(self, sim: Any, world: Any, folder: str, config: str, env_file: str,
              env: dict[str, str]) -> None:
        morvent = _morvent_command()
        quoted = shlex.quote(config)
        say = self.say
        say(f"  controller  https://{sim.controller_ip} (user {sim.username}, its "
            f"certificate pinned: SHA-256 {sim.controller.cert_sha256})")
        say(f"  AWS         {sim.aws.url} (region {world.region}, bucket {BUCKET})")
        if self.args.shape or self.args.like:
            what = f"shape {world.shape}" if self.args.shape else f"a copy of {self.args.like}"
            say(f"  VPC         {world.vpc_id}: {what}, NAT gateways with "
                f"{', '.join(world.eips) or 'no public address'}")
        else:
            say(f"  VPC         {world.vpc_id}: {len(world.zones)} zones, one NAT gateway each "
                f"({', '.join(world.eips)})")
        say(f"  folder      {folder}")
        say(f"  config      {config}")
        if self.faults:
            say("  faults      (calls counted from now, across every command)")
            for fault in self.faults:
                say(f"    {describe_fault(fault)}")
        else:
            say("  faults      none")
        self.say_slowed()
        self.say_shell(env, env_file)
        for command in ("plan", "execute", "status", "revert"):
            say(f"  {morvent} {command} --config {quoted}")
        say()
        say("Edit the configuration to rehearse your own settings (spoke_gw_size, hs_mode, "
            "...). Controller requests are shown below as they are answered.")
        say(f"{PROG}: ready; Ctrl-C stops it")

    # -- slower and busier: a controller that takes its time, a throttling cloud --------

    def slow_down(self, sim: Any) -> None:
        """Gateway creations that take --create-seconds, EC2 throttled as --throttle says."""
        from .throttle import parse_throttle

        if self.args.create_seconds:
            for action in CREATE_ACTIONS:
                sim.controller.set_latency(self.args.create_seconds, action)
        if self.args.throttle:
            sim.aws.throttle.set(**parse_throttle(self.args.throttle))

    def say_shell(self, env: dict[str, str], env_file: str) -> None:
        """The environment another shell needs, and where it is written."""
        self.say()
        self.say(f"In another shell (or: . {shlex.quote(env_file)}):")
        self.say()
        for line in shell_lines(env):
            self.say(f"  {line}")
        self.say()

    def say_slowed(self) -> None:
        if self.args.create_seconds:
            self.say(f"  creations   take {self.args.create_seconds:g} s each (other requests "
                     "are answered meanwhile)")
        if self.args.throttle:
            from .throttle import Throttle, parse_throttle

            what = Throttle().set(**parse_throttle(self.args.throttle)).describe()
            self.say(f"  throttled   {what} of the tool: RequestLimitExceeded")

    # -- many VPCs -------------------------------------------------------------------------

    def serve_fleet(self, folder: str, signals: StopSignals) -> str:
        """Build the VPCs of --vpcs, write fleet.yaml and their configurations, serve."""
        import resource

        from . import SimulatedWorld
        from .fleet import CREDENTIALS_FILE, build_fleet, write_fleet

        planned = self.args.planned
        with contextlib.ExitStack() as stack:
            stack.enter_context(_log_levels({"werkzeug": logging.WARNING,
                                             "morvent.sim": logging.WARNING}))
            self.say(f"Starting the simulated controller and AWS cloud on 127.0.0.1 and "
                     f"building {len(planned)} VPCs ...")
            sim = SimulatedWorld()
            env = environment(sim, folder)
            if any(p.account.profile for p in planned):
                env["AWS_SHARED_CREDENTIALS_FILE"] = os.path.join(folder, CREDENTIALS_FILE)
            stack.enter_context(_environment(env))
            stack.enter_context(sim)
            started = time.monotonic()
            fleet = build_fleet(sim, planned, progress=self._progress(started))
            built = time.monotonic() - started
            memory = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
            manifest, configs = write_fleet(sim, fleet, folder, by=PROG)
            env_file = self.write_env(folder, env)
            ids = {vpc.key: vpc.vpc_id for vpc in fleet}
            for fault in self.faults:
                sim.inject(**fault)
            for fault in self.args.vpc_faults:
                options = {k: v for k, v in fault.items() if k != "vpc"}
                sim.inject(**options, vpc_id=ids[fault["vpc"]])
            self.slow_down(sim)

            signals.serving = True
            self.fleet_ready(sim, fleet, folder, manifest, configs, env_file, env,
                             f"{built:.1f} s, peak memory {memory:.0f} MiB")
            names = {vpc.vpc_id: vpc.key for vpc in fleet}
            name = signals.serve(RequestLog(sim, self.say, names).show_new)
            self.say(f"{PROG}: {name}: stopping ...")
        return name

    def _progress(self, started: float) -> Callable[[int, int], None]:
        def progress(done: int, total: int) -> None:
            if done == total or done % max(1, total // 10) == 0:
                self.say(f"  built {done} of {total} VPCs ({time.monotonic() - started:.1f} s)")
        return progress

    def fleet_ready(self, sim: Any, fleet: list, folder: str, manifest: str,
                    configs: dict[str, str], env_file: str, env: dict[str, str],
                    took: str) -> None:
        morvent = _morvent_command()
        say = self.say
        by_region = Counter(vpc.planned.region.name for vpc in fleet)
        by_account = Counter(vpc.planned.account for vpc in fleet)
        zones = Counter(vpc.planned.zones for vpc in fleet)
        say(f"  controller  https://{sim.controller_ip} (user {sim.username}, its "
            f"certificate pinned: SHA-256 {sim.controller.cert_sha256})")
        say(f"  AWS         {sim.aws.url}")
        span = fleet[0].key if len(fleet) == 1 else f"{fleet[0].key} to {fleet[-1].key}"
        say(f"  VPCs        {len(fleet)} ({span}; seed {self.args.seed}), built in {took}")
        say(f"  zones       " + ", ".join(f"{n} zones: {zones[n]}" for n in sorted(zones)))
        say(f"  regions     " + ", ".join(f"{r}: {n}" for r, n in by_region.items()))
        for account, n in by_account.items():
            reach = f"profile {account.profile}" if account.profile else "the default keys"
            say(f"  account     {account.name} ({account.number}, {reach}, bucket "
                f"{account.bucket}): {n} VPCs")
        say(f"  folder      {folder}")
        say(f"  manifest    {manifest}")
        say(f"  configs     {os.path.join(folder, 'vpcs')}/KEY.yaml")
        faults = [describe_fault(f) for f in [*self.faults, *self.args.vpc_faults]]
        say("  faults      " + ("(calls counted from now, across every command)"
                                if faults else "none"))
        for text in faults:
            say(f"    {text}")
        self.say_slowed()
        self.say_shell(env, env_file)
        first = shlex.quote(configs[fleet[0].key])
        say(f"  {morvent} fleet check --manifest {shlex.quote(manifest)}")
        for command in ("plan", "execute", "status", "revert"):
            say(f"  {morvent} {command} --config {first}")
        say()
        say("Controller requests are shown below as they are answered, with the VPC they "
            "are for.")
        say(f"{PROG}: ready; Ctrl-C stops it")


def _zone_range(text: str) -> tuple[int, int]:
    low, _, high = text.partition("-")
    try:
        return int(low), int(high or low)
    except ValueError:
        raise UsageError(f"--vpc-zones {text!r}: expected MIN-MAX, such as 2-4") from None


#: Options of --vpcs and what they are when not given.
_FLEET_DEFAULTS = {"vpc_zones": "2-6", "regions": 1, "accounts": 1, "seed": 1}


def _fleet_options(args: argparse.Namespace) -> None:
    """Check the options of many VPCs and the slowed controller, and fill in
    the defaults; with --vpcs, lay the fleet out (``args.planned``) and take
    the faults aimed at one of its VPCs out of ``args.fault`` (into
    ``args.vpc_faults``)."""
    from .fleet import MAX_VPCS, plan_fleet
    from .throttle import parse_throttle

    args.planned, args.vpc_faults = [], []
    if not (math.isfinite(args.create_seconds) and 0 <= args.create_seconds <= 3600):
        raise UsageError("--create-seconds must be 0 to 3600")
    if args.throttle is not None:
        parse_throttle(args.throttle)
    given = [name for name in _FLEET_DEFAULTS if getattr(args, name) is not None]
    for name, default in _FLEET_DEFAULTS.items():
        if getattr(args, name) is None:
            setattr(args, name, default)
    if args.vpcs is None:
        if given:
            raise UsageError(f"--{given[0].replace('_', '-')} goes with --vpcs N")
        if args.zones is None:
            args.zones = 3
        return
    if args.zones is not None:
        raise UsageError("--zones is for the single VPC; with --vpcs give --vpc-zones MIN-MAX")
    if args.shape or args.like:
        raise UsageError(f"--{'shape' if args.shape else 'like'} is for the single VPC; "
                         "--vpcs builds tidy VPCs")
    if not 1 <= args.vpcs <= MAX_VPCS:
        raise UsageError(f"--vpcs must be 1 to {MAX_VPCS}")
    zones = _zone_range(args.vpc_zones)
    if not 2 <= zones[0] <= zones[1] <= 6:
        raise UsageError(f"--vpc-zones {args.vpc_zones}: 2 to 6 zones, the smaller first")
    args.planned = plan_fleet(args.vpcs, seed=args.seed, zones=zones,
                              regions=args.regions, accounts=args.accounts)
    keys = [p.key for p in args.planned]
    aimed = [read_fault(text, keys) for text in args.fault]
    args.vpc_faults = [f for f in aimed if f.get("vpc")]
    args.fault = [text for text, f in zip(args.fault, aimed) if not f.get("vpc")]


def main(argv: Sequence[str] | None = None) -> int:
    """Run the simulator until SIGINT or SIGTERM; returns the exit status."""
    parser = _parser()
    try:
        args = parser.parse_args(list(sys.argv[1:] if argv is None else argv))
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    try:
        _fleet_options(args)
        if args.vpcs is None and not 2 <= args.zones <= 6:
            raise UsageError("--zones must be 2 to 6 (a replacement needs two NAT gateways; "
                             "the simulated region has six zones)")
        if args.like:
            from morvent.core.config import ConfigError, load_config

            try:
                load_config(args.like)
            except ConfigError as e:
                raise UsageError(f"--like: {e}") from None
        if args.shape:
            from .shapes import SHAPES

            if args.shape not in SHAPES:
                close = difflib.get_close_matches(args.shape, list(SHAPES), n=1)
                hint = f" (did you mean '{close[0]}'?)" if close else ""
                raise UsageError(f"--shape: no shape {args.shape!r}{hint}; `morvent sim "
                                 "--help` lists them")
        faults = [read_fault(text) for text in args.fault]
    except ValueError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    try:
        problem = missing_extra(PROG)
        if problem:
            print(problem, file=sys.stderr)
            return 2
        return Simulator(args, faults, sys.stdout).run()
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:  # before the signal handlers are in place
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
