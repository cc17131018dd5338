"""``morvent demo``: a whole replacement and its revert on a simulated world.

Starts the simulated controller and AWS endpoint on 127.0.0.1, builds a VPC
with one NAT gateway per zone, writes a configuration file for it and runs
``morvent execute`` and ``morvent revert`` on it exactly as a user would
(through the command line, in this process).  Around each run it prints
where every private route table sends internet traffic, and at the end it
checks what must hold and prints a verdict with the figures: run times,
controller requests by action, AWS requests, and how often a route table
was found routing into nothing (the VPC is looked at after every request).

Exit status: 0 when every check holds, 1 otherwise, 2 for bad options.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import os
import shutil
import sys
import tempfile
import time
from collections import Counter
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, TextIO

import yaml

PASSWORD_ENV = "MORVENT_DEMO_PASSWORD"
BUCKET = "morvent-demo-backups"
ACCOUNT = "demo-aws"
SPOKE = "demo-egress"
#: How the first line of a configuration written here starts.
WRITTEN_BY = "# Written by"
#: Bytes per hour at the daily peak of each zone's NAT gateway: each zone
#: alone fits the smallest spoke size, all of them together do not, so the
#: primary starts large (it carries the whole VPC for a while) and is resized
#: at the end.
ZONE_PEAK = 2.0e10

_ENV_REMOVED = ("AWS_PROFILE", "AWS_DEFAULT_PROFILE", "AWS_SESSION_TOKEN", "AWS_SECURITY_TOKEN",
                "AWS_ROLE_ARN", "AWS_WEB_IDENTITY_TOKEN_FILE", "AWS_ENDPOINT_URL")


@dataclass
class Phase:
    """One run of the command line and what it took."""

    name: str
    status: int | None = None
    seconds: float = 0.0
    controller: Counter = field(default_factory=Counter)
    aws: Counter = field(default_factory=Counter)
    aws_changes: int = 0
    samples: int = 0
    blackholes: list = field(default_factory=list)
    problems: list[str] = field(default_factory=list)
    checked: str = ""


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="morvent demo",
        description="Replace the NAT gateways of a simulated VPC by spoke gateways and put "
                    "them back, on a simulated controller and AWS cloud on 127.0.0.1; then "
                    "check that nothing was lost on the way.")
    parser.add_argument("--zones", type=int, default=3, metavar="N",
                        help="availability zones, one NAT gateway each (2 to 6; default 3)")
    parser.add_argument("--egress-test", action="store_true",
                        help="also run the egress check after each replacement "
                             "(enable_test in the configuration)")
    parser.add_argument("--keep", action="store_true",
                        help="keep the working folder (configuration, local backup, full log) "
                             "and print where it is")
    verbosity = parser.add_mutually_exclusive_group()
    verbosity.add_argument("-v", "--verbose", action="store_true",
                           help="the runs log in detail, the simulators too")
    verbosity.add_argument("-q", "--quiet", action="store_true",
                           help="only the tables and the verdict, no progress lines")
    return parser


@contextlib.contextmanager
def _environment(values: dict[str, str]) -> Iterator[None]:
    """Set `values` (and drop the user's AWS profile settings) for a while."""
    saved = {k: os.environ.get(k) for k in (*values, *_ENV_REMOVED)}
    for key in _ENV_REMOVED:
        os.environ.pop(key, None)
    os.environ.update(values)
    try:
        yield
    finally:
        for key, value in saved.items():
            if value is None:
                os.environ.pop(key, None)
            else:
                os.environ[key] = value


def _no_proxy_for_localhost() -> dict[str, str]:
    """NO_PROXY extended so that a proxy configured for the internet is not
    asked for the simulators on 127.0.0.1."""
    values = {}
    for key in ("NO_PROXY", "no_proxy"):
        current = [h.strip() for h in os.environ.get(key, "").split(",") if h.strip()]
        values[key] = ",".join(current + [h for h in ("127.0.0.1", "localhost")
                                          if h not in current])
    return values


@contextlib.contextmanager
def _log_levels(levels: dict[str, int]) -> Iterator[None]:
    saved = {name: logging.getLogger(name).level for name in levels}
    for name, level in levels.items():
        logging.getLogger(name).setLevel(level)
    try:
        yield
    finally:
        for name, level in saved.items():
            logging.getLogger(name).setLevel(level)


@contextlib.contextmanager
def _log_file(path: str) -> Iterator[None]:
    from morvent.lib.corvane_backend import SecretMaskingFilter

    handler = logging.FileHandler(path, encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)-7s %(name)s: %(message)s"))
    handler.addFilter(SecretMaskingFilter())  # no session id or password in the file
    handler.setLevel(logging.DEBUG)
    root = logging.getLogger()
    root.addHandler(handler)
    try:
        yield
    finally:
        root.removeHandler(handler)
        handler.close()


def write_config(sim: Any, world: Any, folder: str | os.PathLike, *, spoke: str = SPOKE,
                 egress_test: bool = False, by: str = "morvent demo", **options: Any) -> str:
    """Write a configuration for the simulated VPC `world` into `folder`; its path.

    The controller and AWS endpoint are the simulators', the controller's
    certificate is pinned (controller_cert_sha256), the password comes from
    PASSWORD_ENV, the backup goes to BUCKET (which must exist) and the local
    working folder is `folder`/work.  `options` are further keys (a key given
    as None is left out); `by` names the writer in the file's first line.
    """
    config = {
        "controller_ip": sim.controller_ip,
        "controller_cert_sha256": sim.controller.cert_sha256,
        "controller_user": sim.username,
        "controller_password_env": PASSWORD_ENV,
        "aws_account_name": ACCOUNT,
        "region": world.region,
        "aws_endpoint_url": sim.aws.url,
        "vpc_id": world.vpc_id,
        "spoke_gw_name": spoke,
        "s3_bucket": BUCKET,
        "work_dir": os.path.join(folder, "work"),
    }
    if egress_test:
        with open(os.path.join(folder, "egress-input.json"), "w", encoding="utf-8") as f:
            f.write("{}\n")
        config.update(enable_test=True, input_test_config="egress-input.json",
                      output_test_config="egress-output.json")
    config.update(options)
    config = {key: value for key, value in config.items() if value is not None}
    path = os.path.join(folder, "morvent.yaml")
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"{WRITTEN_BY} {by} for a simulated VPC.\n")
        yaml.safe_dump(config, f, sort_keys=False)
    return path


class Demo:
    def __init__(self, args: argparse.Namespace, out: TextIO) -> None:
        self.args = args
        self.out = out
        self.phases: list[Phase] = []

    def say(self, text: str = "") -> None:
        print(text, file=self.out, flush=True)

    # -- the world and its configuration -------------------------------------------

    def write_config(self, sim: Any, world: Any, folder: str) -> str:
        return write_config(sim, world, folder, egress_test=self.args.egress_test)

    @staticmethod
    def planned_sizes(config_path: str) -> tuple[str | None, str | None]:
        """(initial, final) size of the primary as the discovery planned them."""
        from morvent.core.ConfigAdaptor import ConfigAdaptor
        from morvent.core.config import load_config

        folder = ConfigAdaptor(load_config(config_path)).backup_descriptor.local_folder
        try:
            with open(os.path.join(folder, "command_history.json"), encoding="utf-8") as f:
                commands = json.load(f)["commands"]
            first = next(c for c in commands if c["index"] == 0)["natgws"][0]
        except (OSError, ValueError, KeyError, IndexError, StopIteration):
            return None, None
        return first.get("initial_size"), first.get("size")

    # -- output ------------------------------------------------------------------------

    def table(self, title: str, rows: list) -> None:
        self.say()
        self.say(title)
        head = ("route table", "zone", "default route target", "leaves with")
        lines = [(r.route_table_id, r.zone, r.target, r.public_ip) for r in rows]
        widths = [max(len(str(x)) for x in col) for col in zip(head, *lines)]
        fmt = "  " + "  ".join(f"{{:<{w}}}" for w in widths)
        self.say(fmt.format(*head))
        self.say(fmt.format(*("-" * w for w in widths)))
        for line in lines:
            self.say(fmt.format(*line))

    # -- runs ----------------------------------------------------------------------------

    def run(self, name: str, argv: list[str], monitor: Any) -> Phase:
        from morvent import cli

        phase = Phase(name)
        self.say()
        self.say(f"=== morvent {' '.join(argv)}")
        monitor.reset()
        verbosity = ["-v"] if self.args.verbose else ["-q"] if self.args.quiet else []
        started = time.monotonic()
        phase.status = cli.main(verbosity + argv)
        phase.seconds = time.monotonic() - started
        phase.controller = Counter(monitor.controller_actions)
        phase.aws = Counter(monitor.aws_operations)
        phase.aws_changes = sum(monitor.aws_changes(None).values())
        phase.samples = monitor.samples
        phase.blackholes = list(monitor.blackhole_samples)
        for error in monitor.sample_errors:
            phase.problems.append(f"could not look at the VPC: {error}")
        if phase.status != 0:
            phase.problems.append(f"exit status {phase.status}, expected 0")
        for sample in phase.blackholes:
            phase.problems.append(f"after {sample.after}: {', '.join(sample.tables)} routed "
                                  "into nothing")
        self.say(f"=== exit status {phase.status} after {phase.seconds:.1f} s")
        self.phases.append(phase)
        return phase

    def verdict(self, total: float) -> int:
        self.say()
        self.say("Verdict")
        self.say("-------")
        failed = False
        for phase in self.phases:
            self.say(f"{phase.name}: exit status {phase.status}, {phase.seconds:.1f} s")
            actions = ", ".join(f"{a} {n}" for a, n in sorted(phase.controller.items()))
            self.say(f"  controller requests {sum(phase.controller.values())}: {actions}")
            services = Counter()
            for op, n in phase.aws.items():
                services[op.split(".")[0]] += n
            per_service = ", ".join(f"{s} {n}" for s, n in sorted(services.items()))
            self.say(f"  AWS requests {sum(phase.aws.values())} ({per_service}), "
                     f"{phase.aws_changes} of them changing something")
            self.say(f"  egress looked at after each request: {phase.samples} samples, "
                     f"{len(phase.blackholes)} with a route into nothing")
            for problem in phase.problems:
                self.say(f"  FAILED: {problem}")
            if not phase.problems:
                self.say(f"  all checks hold: {phase.checked}")
            failed = failed or bool(phase.problems)
        self.say()
        if failed:
            self.say(f"RESULT: FAILED (demo took {total:.1f} s)")
            return 1
        self.say(f"RESULT: OK - every NAT gateway was replaced and put back, each zone kept "
                 f"its address, no route led into nothing (demo took {total:.1f} s)")
        return 0

    # -- the whole thing -------------------------------------------------------------------

    def main(self) -> int:
        from . import SimulatedWorld
        from .invariants import check_replaced, check_reverted, egress_rows
        from .monitor import RunMonitor

        started = time.monotonic()
        zones = self.args.zones
        folder = tempfile.mkdtemp(prefix="morvent-demo-")
        try:
            levels = {"morvent.sim": logging.DEBUG if self.args.verbose else logging.WARNING,
                      "werkzeug": logging.WARNING}
            with contextlib.ExitStack() as stack:
                stack.enter_context(_log_levels(levels))
                if self.args.keep:
                    stack.enter_context(_log_file(os.path.join(folder, "demo.log")))
                self.say("Starting the simulated controller and AWS cloud on 127.0.0.1 ...")
                stack.enter_context(_environment(_no_proxy_for_localhost()))
                sim = stack.enter_context(SimulatedWorld())
                stack.enter_context(_environment({
                    **{k: v for k, v in sim.environ().items() if k != "AWS_ENDPOINT_URL"},
                    PASSWORD_ENV: sim.password,
                    "AWS_CONFIG_FILE": os.path.join(folder, "no-aws-config"),
                    "AWS_SHARED_CREDENTIALS_FILE": os.path.join(folder, "no-aws-credentials"),
                }))
                self.say(f"  controller https://{sim.controller_ip}, AWS endpoint {sim.aws.url}")
                world = sim.build(zones=zones, peaks=[ZONE_PEAK] * zones)
                sim.client("s3").create_bucket(Bucket=BUCKET)
                config = self.write_config(sim, world, folder)
                self.say(f"  VPC {world.vpc_id} in {world.region}: {zones} zones, one NAT "
                         f"gateway each ({', '.join(world.eips)})")
                self.say(f"  configuration {config} (password in ${PASSWORD_ENV})")
                self.table("Before: where each private route table sends internet traffic",
                           egress_rows(sim, world))

                monitor = stack.enter_context(RunMonitor(sim, world.vpc_id))
                phase = self.run("execute", ["execute", "--config", config, "--yes"], monitor)
                initial, final = self.planned_sizes(config)
                phase.problems += check_replaced(sim, world, SPOKE, final)
                phase.checked = (f"no NAT gateway left; every zone leaves through a spoke "
                                 f"gateway with its own Elastic IP; SNAT on; {SPOKE} is a "
                                 f"{final}")
                self.table(f"After execute (primary {SPOKE} sized {initial} -> {final})",
                           egress_rows(sim, world))

                phase = self.run("revert", ["revert", "--config", config, "--yes"], monitor)
                phase.problems += check_reverted(sim, world)
                phase.checked = ("every zone leaves through a NAT gateway in its own subnet "
                                 "with its own Elastic IP; no spoke gateway left")
                self.table("After revert", egress_rows(sim, world))
        finally:
            if self.args.keep:
                self.say()
                self.say(f"Working folder kept: {folder}")
            else:
                shutil.rmtree(folder, ignore_errors=True)
        return self.verdict(time.monotonic() - started)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the demo; returns the exit status."""
    parser = _parser()
    try:
        args = parser.parse_args(list(argv or []))
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    if not 2 <= args.zones <= 6:
        print("morvent demo: error: --zones must be 2 to 6 (a replacement needs two NAT "
              "gateways; the simulated region has six zones)", file=sys.stderr)
        return 2
    from .extra import missing_extra

    problem = missing_extra("morvent demo")
    if problem:
        print(problem, file=sys.stderr)
        return 2
    return Demo(args, sys.stdout).main()
