"""`morvent sim`: the simulators in their own process, used from another one."""

import functools
import os
import queue
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import morvent
from morvent.sim import standalone

PACKAGE_ROOT = str(Path(morvent.__file__).resolve().parents[1])
#: Bounds every wait on the simulator; a wait that long is a hang.
PATIENCE = 120


def _user_environment(**extra):
    """A fresh login shell's environment with a profile and a proxy that must
    both be kept out of the way by what the simulator prints."""
    env = {key: os.environ[key] for key in ("PATH", "HOME", "LANG") if key in os.environ}
    env.update(PYTHONPATH=PACKAGE_ROOT, AWS_PROFILE="no-such-profile",
               HTTPS_PROXY="http://127.0.0.1:9", HTTP_PROXY="http://127.0.0.1:9", **extra)
    return env


class Simulator:
    """`python -m morvent.sim.standalone` in a subprocess, its output read as it comes."""

    def __init__(self, *args):
        self.process = subprocess.Popen(
            [sys.executable, "-m", "morvent.sim.standalone", *args], env=_user_environment(),
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self._queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            self._queue.put(line.rstrip("\n"))
        self._queue.put(None)

    def wait_for(self, text):
        """Lines up to the first one containing `text`."""
        while True:
            line = self._queue.get(timeout=PATIENCE)
            assert line is not None, "simulator ended early:\n" + "\n".join(self.lines)
            self.lines.append(line)
            if text in line:
                return self.lines

    def stop(self, signum=signal.SIGINT):
        self.process.send_signal(signum)
        status = self.process.wait(timeout=PATIENCE)
        while (line := self._queue.get(timeout=PATIENCE)) is not None:
            self.lines.append(line)
        return status

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def simulator():
    started = []

    def start(*args):
        started.append(Simulator(*args))
        return started[-1]

    yield start
    for sim in started:
        sim.kill()


@functools.cache
def _knows_yes():
    """Whether execute asks for confirmation (and takes --yes to skip it)."""
    done = subprocess.run([sys.executable, "-m", "morvent", "execute", "--help"],
                          env=_user_environment(), capture_output=True, text=True,
                          timeout=PATIENCE)
    return "--yes" in done.stdout


def _run_printed(lines, command):
    """The printed environment lines and then the printed `command` line, in bash."""
    shell = [line.strip() for line in lines if line.strip().startswith(("unset ", "export "))]
    line = next(line.strip() for line in lines if f" {command} --config " in line)
    if command == "execute" and _knows_yes():
        line += " --yes"
    return subprocess.run(["bash", "-c", "\n".join([*shell, line])], env=_user_environment(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=PATIENCE)


def test_rehearsal_from_another_process_with_an_armed_fault(simulator, tmp_path):
    folder = tmp_path / "rehearsal"
    sim = simulator("--zones", "2", "--dir", str(folder), "--fault", "enable_snat")
    lines = sim.wait_for("ready")
    assert "    call 1 of enable_snat: refused" in lines

    # The rehearsal takes the safe path: the controller's certificate is pinned.
    pinned = next(line for line in lines if "certificate pinned: SHA-256 " in line)
    pinned = pinned.split()[-1].rstrip(")")
    assert f'controller_cert_sha256: {pinned}' in (folder / "morvent.yaml").read_text()

    failed = _run_printed(lines, "execute")
    assert failed.returncode == 1, failed.stdout + failed.stderr
    assert "enable_snat" in failed.stderr and "Traceback" not in failed.stderr
    assert "certificate is not checked" not in failed.stderr
    sim.wait_for("controller enable_snat: FAULT fail")

    resumed = _run_printed(lines, "execute")   # the fault has fired: this one goes through
    assert resumed.returncode == 0, resumed.stdout + resumed.stderr

    assert sim.stop(signal.SIGINT) == 0
    assert "stopped by SIGINT" in sim.lines[-1] and "Traceback" not in "\n".join(sim.lines)
    assert (folder / "morvent.yaml").is_file()   # --dir is kept


def _run_in(lines, *argv):
    """`morvent ARGV` in bash, after the environment lines the simulator printed."""
    shell = [line.strip() for line in lines if line.strip().startswith(("unset ", "export "))]
    command = " ".join([sys.executable, "-m", "morvent", *map(str, argv)])
    return subprocess.run(["bash", "-c", "\n".join([*shell, command])], env=_user_environment(),
                          stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=PATIENCE)


def test_a_fleet_in_two_accounts_with_a_fault_aimed_at_one_vpc(simulator, tmp_path):
    folder = tmp_path / "fleet"
    sim = simulator("--vpcs", "3", "--regions", "2", "--accounts", "2", "--vpc-zones", "2-3",
                    "--create-seconds", "0.5", "--fault", "vpc003:enable_snat",
                    "--dir", str(folder))
    lines = sim.wait_for("ready")
    assert "    call 1 of enable_snat for vpc003: refused" in lines
    assert any("creations   take 0.5 s each" in line for line in lines)
    configs = {key: folder / "vpcs" / f"{key}.yaml" for key in ("vpc001", "vpc002", "vpc003")}
    assert all(path.is_file() for path in configs.values())
    assert "region: us-west-2" in configs["vpc002"].read_text()
    assert "aws_profile: morvent-sim-b" in configs["vpc003"].read_text()

    checked = _run_in(lines, "fleet", "check", "--manifest", folder / "fleet.yaml")
    assert checked.returncode == 0, checked.stdout + checked.stderr
    yes = ["--yes"] if _knows_yes() else []
    # The fault waits for vpc003: vpc001's enable_snat goes through.
    done = _run_in(lines, "execute", "--config", configs["vpc001"], *yes)
    assert done.returncode == 0, done.stdout + done.stderr
    failed = _run_in(lines, "execute", "--config", configs["vpc003"], *yes)
    assert failed.returncode == 1 and "enable_snat" in failed.stderr, failed.stderr
    sim.wait_for("controller enable_snat (vpc003): FAULT fail")
    # vpc003 is in the second account, reached with its profile.
    resumed = _run_in(lines, "execute", "--config", configs["vpc003"], *yes)
    assert resumed.returncode == 0, resumed.stdout + resumed.stderr
    assert "s3://morvent-demo-backups-b/" in resumed.stderr + resumed.stdout

    assert sim.stop(signal.SIGTERM) == 0
    assert "Traceback" not in "\n".join(sim.lines)


@pytest.mark.parametrize("argv, words", [
    (["--zones", "7"], "2 to 6"),
    (["--zones", "1"], "2 to 6"),
    (["--fault", "enable_snat:0"], "1 or more"),
    (["--fault", "enable_snat:2:explode"], "unknown kind"),
    (["--fault", "enable_snat:hang=soon"], "not a number of seconds"),
    (["--fault", "enable_snta"], "did you mean 'enable_snat'"),
    (["--fault", "enable_snat", "--fault", "login:1:2:3"], "ACTION[:N][:KIND]"),
    (["--vpcs", "0"], "1 to 500"),
    (["--vpcs", "3", "--zones", "2"], "--vpc-zones"),
    (["--vpcs", "3", "--vpc-zones", "5-3"], "the smaller first"),
    (["--seed", "4"], "goes with --vpcs"),
    (["--vpcs", "3", "--fault", "vpc004:enable_snat"], "nor a VPC of the fleet"),
    (["--fault", "vpc001:enable_snat"], "goes with --vpcs"),
    (["--create-seconds", "nan"], "0 to 3600"),
    (["--shape", "split-default"], "did you mean 'split-defaults'"),
    (["--like", "/no/such/morvent.yaml"], "--like: /no/such/morvent.yaml: no such file"),
    (["--vpcs", "3", "--shape", "split-defaults"], "is for the single VPC"),
])
def test_bad_options_are_one_line_and_exit_2(capsys, argv, words):
    assert standalone.main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("morvent sim: error: ") and words in err


def test_a_shape_to_rehearse_on(simulator, tmp_path):
    sim = simulator("--shape", "cross-zone", "--dir", str(tmp_path))
    lines = sim.wait_for("ready")
    assert any("shape cross-zone" in line for line in lines)
    plan = _run_printed(lines, "plan")
    # A gate: execute would be refused until the address changes are accepted.
    assert plan.returncode == 1 and "--accept-address-changes" in plan.stderr, plan.stderr
    assert "address changes" in plan.stdout and "its subnets are in" in plan.stdout
    refused = _run_printed(lines, "execute")
    assert refused.returncode == 1 and "--accept-address-changes" in refused.stderr
    assert sim.stop(signal.SIGTERM) == 0


def test_a_configuration_it_did_not_write_is_not_overwritten(capsys, tmp_path):
    (tmp_path / "morvent.yaml").write_text("vpc_id: vpc-mine\n")
    assert standalone.main(["--dir", str(tmp_path)]) == 2
    assert "was not written by the simulator" in capsys.readouterr().err
    assert (tmp_path / "morvent.yaml").read_text() == "vpc_id: vpc-mine\n"


@pytest.mark.parametrize("module", ["moto", "flask", "flask_cors", "cryptography"])
def test_without_the_extra_both_commands_name_it(module):
    # As an install without the 'sim' extra: the module cannot be imported.
    code = (f"import sys; sys.modules[{module!r}] = None\n"
            "from morvent import cli\n"
            "from morvent.sim import standalone\n"
            "print(cli.main(['demo']), standalone.main([]))\n")
    done = subprocess.run([sys.executable, "-c", code], env=_user_environment(),
                          capture_output=True, text=True, timeout=PATIENCE)
    assert done.stdout.split() == ["2", "2"], done.stdout + done.stderr
    lines = done.stderr.splitlines()
    assert [line.split(":")[0] for line in lines] == ["morvent demo", "morvent sim"]
    assert all(f"({module}" in line and "'sim' extra" in line for line in lines)
