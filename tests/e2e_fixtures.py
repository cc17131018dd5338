"""Whole migrations on the simulated world, driven through the command line.

One `SimulatedWorld` serves a test module (moto keeps its state per process;
stopping a world wipes it); every test builds its own VPC in it and gets a
`Migration`: the configuration file for that VPC and a `RunMonitor` that
counts requests and looks at the VPC's routes after each of them.

    from e2e_fixtures import migration, sim  # noqa: F401
"""

from __future__ import annotations

import itertools
import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import pytest

import iam_policy
from morvent import cli
from morvent.core.Globals import Globals
from morvent.lib import natgw, test as egress
from morvent.sim import SimulatedWorld, World
from morvent.sim.demo import ACCOUNT, BUCKET, PASSWORD_ENV, write_config
from morvent.sim.invariants import check_replaced, check_reverted, egress_rows, full_state
from morvent.sim.monitor import RunMonitor

#: Bytes per hour at each zone's daily peak: every zone alone gets the
#: smallest spoke size, the whole VPC a larger one, so the primary is created
#: large and resized at the end (the resize step takes part in every run).
ZONE_PEAK = 2.0e10

_names = itertools.count(1)


@pytest.fixture(scope="module")
def sim():
    """The module's simulated controller and cloud, with the environment of a user pointed at them, and short AWS waits."""
    with SimulatedWorld() as world, pytest.MonkeyPatch.context() as mp, iam_policy.watch(world):
        for key, value in world.environ().items():
            if key != "AWS_ENDPOINT_URL":  # the configuration names the endpoint
                mp.setenv(key, value)
        for key in ("AWS_PROFILE", "AWS_DEFAULT_PROFILE", "AWS_SESSION_TOKEN"):
            mp.delenv(key, raising=False)
        mp.setenv(PASSWORD_ENV, world.password)
        # Waits that a real cloud needs; the simulated one answers at once,
        # and a wait that cannot end should fail fast here.
        mp.setattr(natgw, "POLL_INTERVAL", 0.05)
        mp.setattr(natgw, "EIP_RELEASE_TIMEOUT", 1.0)
        mp.setattr(natgw, "NATGW_CREATE_TIMEOUT", 5.0)
        mp.setattr(natgw, "NATGW_DELETE_TIMEOUT", 5.0)
        mp.setattr(egress, "POLL_INTERVAL", 0.05)
        mp.setattr(egress, "TEST_TIMEOUT", 1.0)
        mp.setattr(Globals, "lookup_pause", 0.05)
        yield world


@dataclass
class Result:
    status: int
    stderr: str
    stdout: str = ""


class Migration:
    """One VPC of the simulated world, its configuration and the runs on it."""

    def __init__(self, sim: SimulatedWorld, world: World, folder: Path, spoke: str,
                 capsys: Any, sample: str = "changes", **options: Any) -> None:
        self.sim = sim
        self.world = world
        self.folder = folder
        self.spoke = spoke
        self.capsys = capsys
        self.monitor = RunMonitor(sim, world.vpc_id, sample=sample)
        egress_test = options.pop("enable_test", False)
        self.config_path = Path(write_config(sim, world, folder, spoke=spoke,
                                             egress_test=egress_test, **options))

    # -- runs ------------------------------------------------------------------

    def cli(self, command: str, *extra: str) -> Result:
        """`morvent <command> --config <file> <extra>` in this process; execute and
        revert go ahead without asking (--yes)."""
        self.capsys.readouterr()
        if command in ("execute", "revert") and "--dry-run" not in extra:
            extra = ("--yes", *extra)
        status = cli.main([command, "--config", str(self.config_path), *extra])
        out, err = self.capsys.readouterr()
        return Result(status, err, out)

    def execute(self, *extra: str) -> Result:
        return self.cli("execute", *extra)

    def revert(self, *extra: str) -> Result:
        return self.cli("revert", *extra)

    # -- what the runs left --------------------------------------------------------

    @property
    def backup_folder(self) -> Path:
        return self.folder / "work" / ACCOUNT / self.world.region / self.world.vpc_id

    def planned_size(self) -> str:
        """The primary's final size as the discovery planned it."""
        history = json.loads((self.backup_folder / "command_history.json").read_text())
        return history["commands"][0]["natgws"][0]["size"]

    def replaced_problems(self) -> list[str]:
        return check_replaced(self.sim, self.world, self.spoke, self.planned_size())

    def reverted_problems(self) -> list[str]:
        return check_reverted(self.sim, self.world)

    def egress_problems(self) -> list[str]:
        """Mid-way (after a failed run): every private table must still reach
        the internet, through something alive, with one of the original addresses."""
        return [f"{row.route_table_id} ({row.zone}) -> {row.target} with {row.public_ip}"
                for row in egress_rows(self.sim, self.world)
                if not row.alive or row.public_ip not in self.world.eips]

    def blackholes(self) -> list[str]:
        return [f"after {s.after}: {', '.join(s.tables)}" for s in self.monitor.blackhole_samples]

    def state(self) -> dict:
        return full_state(self.sim, self.world, BUCKET)

    def lock_key(self) -> str:
        return f"morvent/{ACCOUNT}/{self.world.region}/{self.world.vpc_id}.lock"


@pytest.fixture
def migration(sim, tmp_path, capsys) -> Callable[..., Migration]:
    """migration(zones=3, sample="changes", **config) -> a Migration on a new VPC,
    its monitor running (`sample`: see `RunMonitor`).

    The cloud and the controller start empty for every test: a cloud that
    fills up test after test makes every request slower.
    """
    sim.reset()
    sim.client("s3").create_bucket(Bucket=BUCKET)
    made: list[Migration] = []
    saved = {k: getattr(Globals, k) for k in ("CID", "controller_ip", "dry_run",
                                               "aws_client_manager", "cmdcnt")}

    def make(zones: int = 3, **options: Any) -> Migration:
        world = sim.build(zones=zones, peaks=[ZONE_PEAK] * zones)
        folder = tmp_path / f"vpc{len(made) + 1}"
        folder.mkdir()
        m = Migration(sim, world, folder, f"e2e-spoke{next(_names)}", capsys, **options)
        m.monitor.start()
        made.append(m)
        return m

    yield make
    for m in made:
        m.monitor.stop()
    sim.reset_faults()
    for key, value in saved.items():
        setattr(Globals, key, value)
    egress.Test.input_test_config = egress.Test.output_test_config = None


def on_step(monkeypatch: Any, module: Any, name: str, method: str, when: Callable[..., bool],
            action: Callable[[], None]) -> None:
    """Run `action` once, just before `module.<name>(...).<method>()` runs for
    the first construction that `when(*args, **kwargs)` accepts.

    The migration module looks its collaborators up when it runs, so a
    wrapper installed here is what the next run calls.
    """
    original = getattr(module, name)
    fired = []

    def construct(*args: Any, **kwargs: Any) -> Any:
        obj = original(*args, **kwargs)
        if not fired and when(*args, **kwargs):
            real = getattr(obj, method)

            def hooked(*a: Any, **kw: Any) -> Any:
                if not fired:
                    fired.append(True)
                    action()
                return real(*a, **kw)

            setattr(obj, method, hooked)
        return obj

    monkeypatch.setattr(module, name, construct)
