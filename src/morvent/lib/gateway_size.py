"""Spoke gateway sizing from NAT gateway traffic.

Each NAT gateway's traffic is read from CloudWatch: the hourly sums of
BytesOutToDestination (to the internet) plus BytesInFromDestination (the
answers) over the last `WINDOW_DAYS` days.  The busiest hour, as an average
rate in Mbit/s, is the gateway's peak.  A peak maps to an instance size
through `SIZE_TABLE`.

Every NAT gateway gets one record, in the order given:

- "size" is the size for the traffic its spoke gateway will carry: its own
  NAT gateway's, and that of every NAT gateway some of whose routes end on
  that spoke gateway (see `nat_routes`: a zone without a NAT gateway of its
  own, a table shared across zones, and with ``hs_mode`` 1 every zone after
  the second, which the primary carries).  The hours are added up before the
  busiest one is taken, and a NAT gateway that gives a spoke gateway only
  part of its routes counts in full there.
- "initial_size" is the size for the VPC's peak (the busiest hour of all
  gateways together): the first spoke gateway carries all of it while the
  others are being replaced.
- "spoke_planned" says whether the run replaces it (with ``hs_mode`` 1 only
  the first two), "carries" which NAT gateways its spoke gateway carries,
  "routes" the routes that use it and where each one ends (`nat_routes`).

Without any figure for a gateway its size is the smallest one, with a
warning, since a gateway without metrics may be new rather than idle.
"""

from __future__ import annotations

import datetime
import logging
from typing import Optional

from morvent.lib import nat_routes, routes
from morvent.lib.awsutil import run_setting
from morvent.lib.natgw import describe_subnets, primary_address, vpc_subnets

#: How far back traffic is read, and the period of one figure.
WINDOW_DAYS = 14
PERIOD_SECONDS = 3600

NAMESPACE = "AWS/NATGateway"
METRICS = ("BytesOutToDestination", "BytesInFromDestination")

#: (upper bound of the peak in Mbit/s, instance size), smallest first.  The
#: last size takes everything above the last bound.
SIZE_TABLE = (
    (50.0, "t3.small"),
    (500.0, "c5.large"),
    (1000.0, "c5.xlarge"),
    (2500.0, "c5.2xlarge"),
    (float("inf"), "c5.4xlarge"),
)

#: GetMetricData accepts at most 500 queries per call.
_MAX_QUERIES = 500


def size_for(mbps: Optional[float]) -> str:
    """The instance size for a peak rate in Mbit/s (None: the smallest)."""
    if mbps is None:
        return SIZE_TABLE[0][1]
    for bound, size in SIZE_TABLE:
        if mbps <= bound:
            return size
    return SIZE_TABLE[-1][1]


def _mbps(byte_count: float) -> float:
    return byte_count * 8 / PERIOD_SECONDS / 1e6


class DetermineGwSizeCmd:
    """Plans the size of the spoke gateway that replaces each NAT gateway.

    ``hs_mode`` None: the one of the run's configuration (0 outside a run).
    ``num_of_spoke`` is kept for callers; which NAT gateways get a spoke
    gateway follows from ``hs_mode``, as the run decides it.
    """

    def __init__(self, ec2, cw, num_of_spoke, nat_gws, hs_mode=None):
        self.ec2 = ec2
        self.cw = cw
        self.num_of_spoke = num_of_spoke
        self.nat_gws = list(nat_gws or [])
        self.hs_mode = run_setting("hs_mode", 0) if hs_mode is None else hs_mode
        self._records: Optional[list[dict]] = None

    def execute(self) -> None:
        """Read the traffic figures and work out the sizes."""
        logger = logging.getLogger(__name__)
        ids = [n["NatGatewayId"] for n in self.nat_gws]
        if not ids:
            self._records = []
            return
        logger.info("- Sizing spoke gateways from %d day(s) of NAT gateway traffic", WINDOW_DAYS)
        hourly = self._hourly_bytes(ids)
        peaks = {nat: (_mbps(max(h.values())) if h else None) for nat, h in hourly.items()}

        total: dict[datetime.datetime, float] = {}
        for h in hourly.values():
            for stamp, value in h.items():
                total[stamp] = total.get(stamp, 0.0) + value
        vpc_peak = _mbps(max(total.values())) if total else None
        if vpc_peak is None:
            logger.warning("  no traffic figures for any NAT gateway; every spoke gateway "
                           "gets the smallest size, %s", size_for(None))

        initial_size = size_for(vpc_peak)
        subnets = self._subnets({n["SubnetId"] for n in self.nat_gws})
        replaced = nat_routes.replaced_indexes(len(self.nat_gws), self.hs_mode)

        records = []
        for index, natgw in enumerate(self.nat_gws):
            nat_id = natgw["NatGatewayId"]
            peak = peaks.get(nat_id)
            if peak is None and vpc_peak is not None:
                logger.warning("  no traffic figures for %s; it gets the smallest size, %s",
                               nat_id, size_for(None))
            address = primary_address(natgw)
            records.append({
                "subnet_id": natgw["SubnetId"],
                "subnet_cidr": subnets.get(natgw["SubnetId"], {}).get("CidrBlock"),
                "initial_size": initial_size,
                "size": size_for(peak),
                "nat_gw_id": nat_id,
                "private_ip": address.get("PrivateIp"),
                "eip": address.get("PublicIp"),
                "allocation_id": address.get("AllocationId"),
                "availability_zone": subnets.get(natgw["SubnetId"], {}).get("AvailabilityZone"),
                "peak_mbps": None if peak is None else round(peak, 3),
                "spoke_planned": index in replaced,
            })
        self._map_routes(records)
        for index in replaced:
            record = records[index]
            carried = [i for i, r in enumerate(records)
                       if i == index or any(route.get("spoke") == index
                                            for route in r.get("routes") or [])]
            record["carries"] = [records[i]["nat_gw_id"] for i in carried]
            sums: dict[datetime.datetime, float] = {}
            for i in carried:
                for stamp, value in hourly.get(records[i]["nat_gw_id"], {}).items():
                    sums[stamp] = sums.get(stamp, 0.0) + value
            need = _mbps(max(sums.values())) if sums else None
            record["size"] = size_for(need)
            also = [records[i]["nat_gw_id"] for i in carried if i != index]
            logger.info("  %s: peak %s Mbit/s -> %s%s", record["nat_gw_id"],
                        "?" if need is None else f"{need:.1f}", record["size"],
                        f" (carries also {', '.join(also)})" if also else "")
        for index, record in enumerate(records):
            if index not in replaced:
                logger.info("  %s is not replaced (hs_mode %s)", record["nat_gw_id"],
                            self.hs_mode)
        logger.info("  whole VPC: peak %s Mbit/s -> first spoke gateway starts as %s",
                    "?" if vpc_peak is None else f"{vpc_peak:.1f}", initial_size)
        self._records = records

    def _map_routes(self, records: list[dict]) -> None:
        """Which routes use each NAT gateway and where each one ends."""
        vpc_id = self.nat_gws[0].get("VpcId") if self.nat_gws else None
        if not vpc_id:
            return
        zone_of = {i: s.get("AvailabilityZone") for i, s in vpc_subnets(self.ec2, vpc_id).items()}
        nat_routes.map_routes(routes.route_tables(self.ec2, vpc_id), records, zone_of,
                              self.hs_mode)

    def getNatGwInfo(self) -> list[dict]:
        """One NAT gateway info record per NAT gateway, in the order given."""
        if self._records is None:
            self.execute()
        return self._records

    def _subnets(self, subnet_ids: set[str]) -> dict[str, dict]:
        return describe_subnets(self.ec2, subnet_ids)

    def _hourly_bytes(self, nat_ids: list[str]) -> dict[str, dict]:
        """NAT gateway id -> {hour: bytes of both directions}."""
        end = datetime.datetime.now(datetime.timezone.utc).replace(minute=0, second=0,
                                                                   microsecond=0)
        start = end - datetime.timedelta(days=WINDOW_DAYS)
        queries = []
        for i, nat in enumerate(nat_ids):
            for j, metric in enumerate(METRICS):
                queries.append({
                    "Id": f"m{i}_{j}",
                    "MetricStat": {
                        "Metric": {"Namespace": NAMESPACE, "MetricName": metric,
                                   "Dimensions": [{"Name": "NatGatewayId", "Value": nat}]},
                        "Period": PERIOD_SECONDS,
                        "Stat": "Sum",
                    },
                    "ReturnData": True,
                })
        hourly: dict[str, dict] = {nat: {} for nat in nat_ids}
        for first in range(0, len(queries), _MAX_QUERIES):
            batch = queries[first:first + _MAX_QUERIES]
            token = None
            while True:
                params = {"MetricDataQueries": batch, "StartTime": start, "EndTime": end}
                if token:
                    params["NextToken"] = token
                answer = self.cw.get_metric_data(**params)
                for result in answer.get("MetricDataResults", []):
                    nat = nat_ids[int(result["Id"][1:].split("_")[0])]
                    for stamp, value in zip(result.get("Timestamps", []),
                                            result.get("Values", [])):
                        hour = _hour(stamp)
                        hourly[nat][hour] = hourly[nat].get(hour, 0.0) + float(value)
                token = answer.get("NextToken")
                if not token:
                    break
        return hourly


def _hour(stamp: datetime.datetime) -> datetime.datetime:
    """The figure's period start, in UTC, so both directions add up per hour."""
    if stamp.tzinfo is not None:
        stamp = stamp.astimezone(datetime.timezone.utc)
    return stamp.replace(tzinfo=None)
