"""When each VPC of a fleet starts: concurrency, failure tolerance, canary, regions, stop.

The scheduler knows nothing of processes: ``launch(task)`` starts a VPC and
returns a child whose ``poll()`` is None while it runs and then its
:class:`Outcome`, and whose ``signal(signum)`` passes a signal on.  So it
runs the same with real processes and with the fakes of the tests.

The rules, in the order they are asked before a VPC starts:

- ``stop()`` (a signal to the runner): nothing more starts; the running
  children get the signal and end in their own order.
- The canary: the first ``canary`` VPCs run first (up to the concurrency
  together); the others start only once every one of them has succeeded
  (done now or earlier, or running elsewhere: another runner has its own
  canary).
- Regions one after another (``sequential``): a region's VPCs start once
  every VPC of the regions before it has ended.
- The failure tolerance: strict (the default) counts failures across the
  fleet, and once more VPCs failed than it allows no VPC starts any more;
  soft counts them per region, and a region past it starts no more of its
  VPCs while the other regions go on.
- At most ``max_concurrent`` children at once; strict also keeps the
  running children to the failures still allowed plus one (``limit``):
  with a tolerance of T and F failed so far, at most T + 1 - F run, so
  even if every running child fails, the failures pass the tolerance by
  one at most.  A tolerance of 0 runs one VPC at a time.  Soft keeps the
  whole concurrency (its tolerance is per region).

What never started is an Outcome ``not-started`` saying why.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Protocol

from morvent.core.interrupt import signal_name

#: Results of a VPC that count as success, as neither, and (all others) as failure.
SUCCEEDED = frozenset({"done", "nothing-to-do", "done-earlier", "ready", "checked"})
ELSEWHERE = "running-elsewhere"
NOT_STARTED = "not-started"


@dataclass
class Outcome:
    """How one VPC ended in this run."""

    key: str
    result: str
    #: The exit status of the VPC's last command (None: none ran).
    exit_status: int | None = None
    #: Why, in a line: the verdict of its command, or why it did not start.
    why: str = ""
    #: Seconds from its start to its end (0 when it did not start).
    duration: float = 0.0
    #: Whatever else the report shows of it (zones, egress, log, counts ...).
    details: dict[str, Any] = field(default_factory=dict)

    @property
    def succeeded(self) -> bool:
        return self.result in SUCCEEDED

    @property
    def failed(self) -> bool:
        return not self.succeeded and self.result not in (ELSEWHERE, NOT_STARTED)


class Task(Protocol):
    key: str
    region: str


class Child(Protocol):
    def poll(self) -> Outcome | None: ...

    def signal(self, signum: int) -> None: ...


@dataclass(frozen=True)
class Rules:
    max_concurrent: int = 1
    #: Failures allowed (strict: in the fleet; soft: per region, see
    #: ``region_tolerance``); None: failures stop nothing (plan, status).
    tolerance: int | None = 0
    soft: bool = False
    #: Soft mode: failures allowed in each region (default: ``tolerance``).
    region_tolerance: dict[str, int] = field(default_factory=dict)
    canary: int = 0
    sequential: bool = False

    def limit(self, failed: int = 0) -> int:
        """Children at once with ``failed`` failures so far (strict: the
        failures still allowed plus one; 0 once the tolerance is passed)."""
        most = max(1, self.max_concurrent)
        if self.soft or self.tolerance is None:
            return most
        return max(0, min(most, self.tolerance + 1 - failed))

    @property
    def lowered(self) -> bool:
        """Whether strict failure tolerance runs fewer at once than asked."""
        return self.limit() < max(1, self.max_concurrent)


class Scheduler:
    """Runs tasks by the rules; ``run`` returns every task's Outcome in the tasks' order."""

    def __init__(self, launch: Callable[[Any], Child], rules: Rules, *,
                 poll_interval: float = 0.1,
                 started: Callable[[Any], None] | None = None,
                 ended: Callable[[Any, Outcome], None] | None = None) -> None:
        self.launch = launch
        self.rules = rules
        self.poll_interval = poll_interval
        self.started = started or (lambda task: None)
        self.ended = ended or (lambda task, outcome: None)
        self.stopped_by: int | None = None
        #: The most children that ran at once.
        self.peak = 0
        self._wake = threading.Event()
        self._running: dict[int, tuple[Any, Child]] = {}

    def stop(self, signum: int) -> None:
        """Start nothing more; pass ``signum`` to every running child.  Safe
        in a signal handler; a second signal is passed on as well."""
        if self.stopped_by is None:
            self.stopped_by = signum
        for _, child in list(self._running.values()):
            try:
                child.signal(signum)
            except OSError:
                pass  # it has just ended
        self._wake.set()

    def run(self, groups: Sequence[Sequence[Any]]) -> list[Outcome]:
        """Run ``groups`` (lists of tasks; with ``sequential`` one region each)."""
        rules = self.rules
        order = [(g, task) for g, group in enumerate(groups) for task in group]
        outcomes: dict[int, Outcome] = {}
        canaries = set(range(min(rules.canary, len(order))))
        failures: dict[str, int] = {}
        position = 0
        blocked_why: str | None = None
        skipped: dict[int, str] = {}

        def collect() -> None:
            for n, (task, child) in list(self._running.items()):
                outcome = child.poll()
                if outcome is None:
                    continue
                del self._running[n]
                outcomes[n] = outcome
                if outcome.failed:
                    failures[task.region] = failures.get(task.region, 0) + 1
                self.ended(task, outcome)

        def room() -> bool:
            # Past the tolerance the limit is 0; with nothing running the
            # next VPC is still asked, which says why it never starts.
            return len(self._running) < rules.limit(sum(failures.values())) \
                or not self._running

        def may_start(n: int) -> str | bool | None:
            """True: start it; None: not yet; a text: never (why)."""
            group, task = order[n]
            if n not in canaries and canaries:
                if any(c not in outcomes for c in canaries):
                    return None
                failed = [order[c][1].key for c in canaries
                          if not (outcomes[c].succeeded or outcomes[c].result == ELSEWHERE)]
                if failed:
                    return f"the canary did not succeed ({', '.join(failed)})"
            if rules.sequential and any(order[m][0] < group and m not in outcomes
                                        for m in range(n)):
                return None
            if rules.tolerance is None:
                return True
            if rules.soft:
                allowed = rules.region_tolerance.get(task.region, rules.tolerance)
                if failures.get(task.region, 0) > allowed:
                    return (f"the failure tolerance of {task.region} was passed "
                            f"({failures[task.region]} failed, {allowed} allowed)")
            else:
                total = sum(failures.values())
                if total > rules.tolerance:
                    return (f"the failure tolerance was passed ({total} failed, "
                            f"{rules.tolerance} allowed)")
            return True

        while True:
            collect()
            while (self.stopped_by is None and blocked_why is None and position < len(order)
                   and room()):
                verdict = may_start(position)
                if verdict is None:
                    break
                if verdict is not True:
                    if rules.soft and "tolerance of" in verdict:
                        skipped[position] = verdict
                        position += 1
                        continue
                    blocked_why = verdict
                    break
                task = order[position][1]
                self.started(task)
                self._running[position] = (task, self.launch(task))
                self.peak = max(self.peak, len(self._running))
                position += 1
            if not self._running and (position >= len(order) or self.stopped_by is not None
                                      or blocked_why is not None):
                break
            self._wake.wait(self.poll_interval)
            self._wake.clear()

        for n in range(len(order)):
            if n in outcomes:
                continue
            why = skipped.get(n) or blocked_why or (
                f"stopped by {signal_name(self.stopped_by)}" if self.stopped_by is not None
                else "not reached")
            outcomes[n] = Outcome(order[n][1].key, NOT_STARTED, None, why)
        return [outcomes[n] for n in range(len(order))]
