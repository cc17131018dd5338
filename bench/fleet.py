"""The fleet runner on a simulated estate: wall time against the ideal, CPU,
memory and requests per VPC, no record lost.

    python bench/fleet.py                           # 100 VPCs, 2-4 zones, at 1, 4 and 16 at once
    python bench/fleet.py --vpcs 16 --concurrency 1,4,16 --create-seconds 1

One simulated controller and cloud serve in this process; for each
concurrency ``morvent fleet execute`` runs the whole fleet (each VPC in its
own processes, as always), then ``morvent fleet revert`` puts it back for
the next round (every VPC tried whatever fails; the revert, which is not
measured, at the highest concurrency).  Per round:

- wall time of the execute, against the ideal: the larger of the slowest
  VPC's chain (status and execute) and the sum of the chains divided by the
  concurrency (chains as measured at concurrency 1 when that round ran,
  else in the round itself), and against what the machine allows: the
  simulated cloud's CPU in this process (one core at most) or all the
  round's CPU spread over the cores, whichever is longer;
- CPU (user + system) of every process of the round per VPC, and the peak
  resident memory of each VPC's processes (the highest of them);
- controller and AWS requests per VPC (the AWS ones counted in all, divided);
- records: every VPC replaced with every step done after the execute (from
  its backup, through ``fleet status``), and every VPC back with no undo
  record left after the revert.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "src"))

import yaml  # noqa: E402

from morvent.sim import SimulatedWorld  # noqa: E402
from morvent.sim.demo import PASSWORD_ENV  # noqa: E402
from morvent.sim.fleet import build_fleet, manifest_data, plan_fleet  # noqa: E402

CREATES = ("create_multicloud_primary_gateway", "create_multicloud_ha_gateway")


class Sampler:
    """The peak resident memory of every descendant of a process, sampled.

    It samples in a process of its own: a thread here would take turns with
    the simulated cloud, which answers for the whole fleet in this process.
    """

    def __init__(self, pid: int, interval: float = 0.2) -> None:
        self._conn, theirs = multiprocessing.Pipe()
        self._process = multiprocessing.get_context("spawn").Process(
            target=_sample, args=(pid, interval, theirs), daemon=True)
        self.peaks: dict[int, tuple[str, int]] = {}
        #: CPU seconds the sampler itself used (not the fleet's: subtracted)
        self.cpu = 0.0

    def start(self) -> None:
        self._process.start()

    def stop(self) -> None:
        self._conn.send("stop")
        self.peaks, self.cpu = self._conn.recv()
        self._process.join()


def _sample(pid: int, interval: float, conn) -> None:
    peaks: dict[int, tuple[str, int]] = {}
    while not conn.poll(interval):
        for child, command in _descendants(pid):
            try:
                status = Path(f"/proc/{child}/status").read_text()
            except OSError:
                continue
            for line in status.splitlines():
                if line.startswith("VmHWM:"):
                    kib = int(line.split()[1])
                    if kib > peaks.get(child, ("", 0))[1]:
                        peaks[child] = (command, kib)
    used = resource.getrusage(resource.RUSAGE_SELF)
    conn.send((peaks, used.ru_utime + used.ru_stime))


def _descendants(root: int) -> list[tuple[int, str]]:
    children: dict[int, list[int]] = {}
    commands: dict[int, str] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            stat = Path(f"/proc/{entry}/stat").read_text()
            commands[int(entry)] = Path(f"/proc/{entry}/cmdline").read_bytes().replace(
                b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(entry))
    found, queue = [], [root]
    while queue:
        for child in children.get(queue.pop(), []):
            found.append((child, commands.get(child, "")))
            queue.append(child)
    return found


def _own_cpu() -> float:
    used = resource.getrusage(resource.RUSAGE_SELF)
    return used.ru_utime + used.ru_stime


def fleet(env: dict, folder: Path, *argv: str) -> tuple[dict, float, float, Sampler]:
    """Run `morvent fleet ARGV`: (report, wall seconds, CPU seconds, memory sampler)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.monotonic()
    yes = ["--yes"] if argv[0] in ("execute", "revert") else []
    process = subprocess.Popen([sys.executable, "-m", "morvent", "fleet", *argv, *yes,
                                "--output", "json", "-q"], env=env, cwd=folder,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    sampler = Sampler(process.pid)
    sampler.start()
    out, err = process.communicate()
    wall = time.monotonic() - started
    sampler.stop()
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime) - sampler.cpu
    if not out.strip():
        raise SystemExit(f"fleet {' '.join(argv)} wrote no report:\n{err}")
    return json.loads(out), wall, cpu, sampler


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vpcs", type=int, default=100)
    parser.add_argument("--zones", default="2-4")
    parser.add_argument("--concurrency", default="1,4,16")
    parser.add_argument("--create-seconds", type=float, default=2.0)
    parser.add_argument("--revert-concurrency", type=int,
                        help="how many VPCs the reverts between the rounds run at once "
                             "(not measured; default: the highest concurrency)")
    parser.add_argument("--json", help="write the figures to this file too")
    args = parser.parse_args()
    low, high = map(int, args.zones.split("-"))
    levels = [int(c) for c in args.concurrency.split(",")]
    revert_at = str(args.revert_concurrency or max(levels))
    folder = Path(tempfile.mkdtemp(prefix="morvent-bench-fleet-"))
    aws_requests = [0]

    def count(moment, request):
        if moment == "after" and "morvent/" in (request.user_agent or ""):
            aws_requests[0] += 1

    rounds = []
    with SimulatedWorld() as sim:
        built = time.monotonic()
        vpcs = build_fleet(sim, plan_fleet(args.vpcs, zones=(low, high)))
        print(f"built {len(vpcs)} VPCs in {time.monotonic() - built:.0f} s "
              f"({sum(v.planned.zones for v in vpcs)} zones)", file=sys.stderr)
        for action in CREATES:
            sim.controller.set_latency(args.create_seconds, action)
        manifest = folder / "fleet.yaml"
        manifest.write_text(yaml.safe_dump(manifest_data(sim, vpcs, str(folder / "work")),
                                           sort_keys=False))
        env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        env.update(sim.environ(), PYTHONPATH=str(ROOT / "src"), NO_PROXY="127.0.0.1,localhost",
                   AWS_CONFIG_FILE=str(folder / "none"),
                   AWS_SHARED_CREDENTIALS_FILE=str(folder / "none"))
        env.pop("AWS_ENDPOINT_URL")
        env[PASSWORD_ENV] = sim.password
        sim.aws.add_interceptor(count)
        chains_at_1 = None
        for level in levels:
            seen, aws_requests[0] = len(sim.requests), 0
            # Every VPC is tried whatever fails: the round counts failures.
            simulator = _own_cpu()
            doc, wall, cpu, sampler = fleet(env, folder, "execute", "-m", str(manifest),
                                            "--max-concurrent", str(level),
                                            "--failure-tolerance", "100%")
            controller, aws = len(sim.requests) - seen, aws_requests[0]
            chains = [row["duration"] for row in doc["vpcs"]]
            if level == 1:
                chains_at_1 = chains
            basis = chains_at_1 or chains
            ideal = max(max(basis), sum(basis) / level)
            # What this machine allows: the simulated cloud answers in one
            # process (one core at most), and every process of the round
            # shares the cores.
            simulator = _own_cpu() - simulator
            machine = max(simulator, (cpu + simulator) / (os.cpu_count() or 1))
            peaks = [kib for command, kib in sampler.peaks.values()
                     if " execute " in command or " status " in command]
            load = os.getloadavg()[0]
            status, _, _, _ = fleet(env, folder, "status", "-m", str(manifest),
                                    "--max-concurrent", revert_at)
            replaced = sum(r.get("stage") == "replaced: every step done" for r in status["vpcs"])
            records = sum(r.get("undo_records") or 0 for r in status["vpcs"])
            undo, _, _, _ = fleet(env, folder, "revert", "-m", str(manifest),
                                  "--max-concurrent", revert_at, "--failure-tolerance", "100%")
            status, _, _, _ = fleet(env, folder, "status", "-m", str(manifest),
                                    "--max-concurrent", revert_at)
            back = sum(not r.get("undo_records") for r in status["vpcs"])
            figures = {
                "concurrency": level, "vpcs": len(vpcs), "result": doc["totals"],
                "wall_s": round(wall, 1), "ideal_s": round(ideal, 1),
                "wall_over_ideal": round(wall / ideal, 2), "load_average_1min_at_end": load,
                "chain_median_s": round(statistics.median(chains), 1),
                "cpu_s_per_vpc": round(cpu / len(vpcs), 2),
                "simulator_cpu_s": round(simulator, 1), "machine_bound_s": round(machine, 1),
                "peak_rss_mib_per_vpc_process": {
                    "median": round(statistics.median(peaks) / 1024) if peaks else None,
                    "max": round(max(peaks) / 1024) if peaks else None},
                "controller_requests_per_vpc": round(controller / len(vpcs), 1),
                "aws_requests_per_vpc": round(aws / len(vpcs), 1),
                "replaced_after_execute": replaced, "undo_records": records,
                "reverted": undo["totals"], "no_record_left_after_revert": back}
            rounds.append(figures)
            print(json.dumps(figures), file=sys.stderr)
    print(f"\n{'at once':>7} {'wall s':>7} {'ideal s':>7} {'ratio':>5} {'machine s':>9} "
          f"{'chain s':>7} "
          f"{'CPU s/VPC':>9} {'RSS MiB':>7} {'ctl req':>7} {'AWS req':>7} {'records ok':>10}")
    for f in rounds:
        ok = (f["replaced_after_execute"] == f["vpcs"]
              and f["no_record_left_after_revert"] == f["vpcs"])
        print(f"{f['concurrency']:>7} {f['wall_s']:>7} {f['ideal_s']:>7} "
              f"{f['wall_over_ideal']:>5} {f['machine_bound_s']:>9} "
              f"{f['chain_median_s']:>7} {f['cpu_s_per_vpc']:>9} "
              f"{f['peak_rss_mib_per_vpc_process']['max']!s:>7} "
              f"{f['controller_requests_per_vpc']:>7} {f['aws_requests_per_vpc']:>7} "
              f"{'yes' if ok else 'NO':>10}")
    if args.json:
        Path(args.json).write_text(json.dumps(rounds, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
