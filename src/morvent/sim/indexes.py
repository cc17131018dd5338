"""Two of moto's look-ups answered from indexes, for estates of many VPCs.

moto answers some look-ups by scanning everything the account holds, which
is quadratic in the size of a simulated estate; the one process that
answers for the whole cloud then becomes the bottleneck of a fleet run.
Inside `patched()`:

- An EC2 resource's tags (asked for every resource of every answer) come
  from the backend's table of tags by resource id, not from a scan of
  every tag of the region; the same list in the same order.
- CloudWatch's GetMetricData, see below.

moto answers a metric query by scanning every data point it holds, once
for each period of the query: O(queries x periods x points).  A simulated
estate of a hundred VPCs holds about 90,000 hourly points of NAT gateway
traffic, and a sizing query (a dozen metrics over a week of hours) then
takes seconds of the one process that answers for the whole cloud; with
several VPCs sizing at once, other requests wait past the SDK's timeout.

A query of the plain kind the tool sends (a metric
with every dimension valued, no unit filter) is answered from an index
of the points by (metric name, dimensions), bucketed by period: the same
answer moto would give.  Anything else (metric math, insights, a unit, a
dimension without a value) goes to moto's own code.
"""

from __future__ import annotations

import threading
from datetime import datetime, timedelta
from typing import Any

from .patches import SharedPatch

_saved: dict[str, Any] = {}


def _key(name: str, dimensions: Any) -> tuple[str, frozenset] | None:
    pairs = [(d.name, d.value) for d in dimensions]
    if any(value is None for _, value in pairs):
        return None
    return name, frozenset(pairs)


class _Index:
    """The points of one backend by (metric name, dimensions), kept up to
    date as moto appends to its list of points."""

    def __init__(self) -> None:
        self.points: list[Any] | None = None
        self.seen = 0
        self.by_metric: dict[tuple[str, frozenset], list[Any]] = {}
        self.lock = threading.Lock()

    def lookup(self, points: list[Any], name: str, dimensions: Any) -> list[Any]:
        with self.lock:
            if points is not self.points or len(points) < self.seen:
                self.points, self.seen, self.by_metric = points, 0, {}
            for point in points[self.seen:]:
                key = _key(point.name, point.dimensions)
                self.by_metric.setdefault(key, []).append(point)
            self.seen = len(points)
            return self.by_metric.get(_key(name, dimensions), [])


def _plain(query: dict[str, Any]) -> bool:
    stat = query.get("MetricStat")
    if not stat or stat.get("Unit"):
        return False
    dimensions = stat["Metric"].get("Dimensions") or []
    return bool(dimensions) and all(d.get("Value") is not None for d in dimensions)


def _indexed_get_metric_data(self: Any, queries: list[dict[str, Any]], start_time: datetime,
                             end_time: datetime, scan_by: str = "TimestampAscending",
                             ) -> list[dict[str, Any]]:
    original = _saved["get_metric_data"]
    if not queries or not all(_plain(q) for q in queries):
        return original(self, queries, start_time, end_time, scan_by)
    from moto.cloudwatch.models import Dimension, Statistics

    start, end = start_time.replace(microsecond=0), end_time.replace(microsecond=0)
    if start >= end:  # moto's own code says what is wrong
        return original(self, queries, start_time, end_time, scan_by)
    index = self.__dict__.setdefault("_morvent_metric_index", _Index())
    # The points of moto's metric providers are made afresh on each call.
    provided = self.aws_metric_data
    results = []
    for query in queries:
        stat = query["MetricStat"]
        name = stat["Metric"]["MetricName"]
        dimensions = [Dimension(d["Name"], d["Value"]) for d in stat["Metric"]["Dimensions"]]
        wanted = _key(name, dimensions)
        points = index.lookup(self.metric_data, name, dimensions) + [
            p for p in provided if _key(p.name, p.dimensions) == wanted]
        delta = timedelta(seconds=int(stat["Period"]))
        buckets: dict[int, list[Any]] = {}
        for point in points:
            if start <= point.timestamp < end:
                buckets.setdefault((point.timestamp - start) // delta, []).append(point)
        values, stamps = [], []
        for n in sorted(buckets):
            stats = Statistics([stat["Stat"]], start + n * delta)
            stats.metric_data = buckets[n]
            values.append(stats.get_statistics_for_type(stat["Stat"]))
            stamps.append(stats.timestamp)
        if scan_by == "TimestampDescending":
            values.reverse()
            stamps.reverse()
        if query.get("ReturnData", True):
            results.append({"id": query["Id"],
                            "label": query.get("Label") or f"{name} {stat['Stat']}",
                            "values": values, "timestamps": stamps,
                            "status_code": "Complete"})
    return results


def _tags_by_id(self: Any) -> list[dict[str, str]]:
    if not self.id:
        return []
    backend = self.ec2_backend
    tags = backend.tags.get(self.id) if hasattr(backend, "tags") else None
    if not tags:
        return []
    from moto.ec2.utils import EC2_PREFIX_TO_RESOURCE, get_prefix

    kind = EC2_PREFIX_TO_RESOURCE.get(get_prefix(self.id), "")
    return [{"resource_id": self.id, "key": key, "value": value, "resource_type": kind}
            for key, value in list(tags.items())]


def _install() -> None:
    from moto.cloudwatch.models import CloudWatchBackend
    from moto.ec2.models.core import TaggedEC2Resource

    _saved.update(get_metric_data=CloudWatchBackend.get_metric_data,
                  get_tags=TaggedEC2Resource.get_tags)
    CloudWatchBackend.get_metric_data = _indexed_get_metric_data
    TaggedEC2Resource.get_tags = _tags_by_id


def _uninstall() -> None:
    from moto.cloudwatch.models import CloudWatchBackend
    from moto.ec2.models.core import TaggedEC2Resource

    CloudWatchBackend.get_metric_data = _saved.pop("get_metric_data")
    TaggedEC2Resource.get_tags = _saved.pop("get_tags")


#: ``with patched():`` indexed answers; nested and concurrent uses share one patch.
patched = SharedPatch(_install, _uninstall)
