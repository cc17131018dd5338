"""Which VPCs of a fleet a runner takes, and in what order.

``Amount`` is a count or a share (``3`` or ``25%``) of the VPCs a runner
works on; ``Shard`` picks a deterministic share of a fleet by each VPC's
stable key, so that runners on several machines divide it without talking
to each other; ``region_groups`` orders the VPCs by region.
"""

from __future__ import annotations

import hashlib
import math
import os
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar

from morvent.core.exceptions import UsageError

T = TypeVar("T")

#: The index variables of the engines that run arrays of jobs (0-based):
#: a Kubernetes Indexed Job, an AWS Batch array job.
INDEX_VARIABLES = ("JOB_COMPLETION_INDEX", "AWS_BATCH_JOB_ARRAY_INDEX")


@dataclass(frozen=True)
class Amount:
    """A number of VPCs, given as a count or as a share of them."""

    value: int
    percent: bool = False

    @classmethod
    def parse(cls, text: str, option: str, least: int = 0) -> "Amount":
        match = re.fullmatch(r"\s*(\d{1,6})\s*(%?)\s*", text)
        if not match:
            raise UsageError(f"{option} {text!r}: give a number of VPCs (3) or a share of "
                             "them (25%)")
        value, percent = int(match.group(1)), bool(match.group(2))
        if percent and value > 100:
            raise UsageError(f"{option} {text!r}: a share is at most 100%")
        if not percent and value < least:
            raise UsageError(f"{option} {text!r}: at least {least}")
        return cls(value, percent)

    def of(self, total: int, least: int = 0) -> int:
        """The count for ``total`` VPCs: a share rounds down, but not below ``least``."""
        count = math.floor(self.value * total / 100) if self.percent else self.value
        return max(least, count)

    def __str__(self) -> str:
        return f"{self.value}%" if self.percent else str(self.value)


@dataclass(frozen=True)
class Shard:
    """Share ``index`` (1 to ``count``) of a fleet."""

    index: int
    count: int

    @classmethod
    def parse(cls, text: str) -> "Shard":
        match = re.fullmatch(r"\s*(\d{1,4})\s*/\s*(\d{1,4})\s*", text)
        if not match:
            raise UsageError(f"--shard {text!r}: give I/N, share I of N (1/3, 2/3, 3/3)")
        index, count = int(match.group(1)), int(match.group(2))
        if not 1 <= index <= count:
            raise UsageError(f"--shard {text!r}: I is 1 to N")
        return cls(index, count)

    @classmethod
    def from_environment(cls, count: int, environ: Mapping[str, str] | None = None) -> "Shard":
        """Share (index + 1) of ``count``, the index from the first of
        INDEX_VARIABLES set (0-based, as the engines count)."""
        environ = os.environ if environ is None else environ
        if count < 1:
            raise UsageError("--shard-count: at least 1")
        for name in INDEX_VARIABLES:
            value = environ.get(name)
            if value is None or not value.strip():
                continue
            if not value.strip().isdigit() or int(value) >= count:
                raise UsageError(f"{name}={value!r} is not an index from 0 to {count - 1} "
                                 f"(--shard-count {count})")
            return cls(int(value) + 1, count)
        raise UsageError(f"--shard-count {count} takes the index from {' or '.join(INDEX_VARIABLES)}, "
                         "and neither is set; use --shard I/N elsewhere")

    def holds(self, key: str) -> bool:
        """Whether the VPC of ``key`` is in this share: decided by the key
        alone, so neither the manifest's order nor the other VPCs matter."""
        digest = hashlib.sha256(key.encode("utf-8")).digest()
        return int.from_bytes(digest[:8], "big") % self.count == self.index - 1

    def __str__(self) -> str:
        return f"{self.index}/{self.count}"


def parse_region_order(text: str | None) -> list[str]:
    if not text:
        return []
    regions = [r.strip() for r in text.split(",") if r.strip()]
    if len(set(regions)) != len(regions):
        raise UsageError(f"--region-order {text!r} names a region twice")
    return regions


def region_groups(items: Sequence[T], region_of: Any, order: Sequence[str] = ()) -> list[list[T]]:
    """``items`` grouped by region: the regions of ``order`` first, in that
    order, then the others as first met; the manifest's order within each."""
    groups: dict[str, list[T]] = {region: [] for region in order}
    for item in items:
        groups.setdefault(region_of(item), []).append(item)
    return [group for group in groups.values() if group]


def interleave(groups: Sequence[Sequence[T]]) -> list[T]:
    """One of each group in turn: regions in parallel share the places in front."""
    merged: list[T] = []
    for n in range(max((len(g) for g in groups), default=0)):
        merged.extend(g[n] for g in groups if n < len(g))
    return merged
