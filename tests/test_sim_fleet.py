"""The layout of a simulated fleet (`morvent sim --vpcs`): the same for the
same seed, every zone count of the range, each region within its zones."""

from collections import Counter

import pytest

from morvent.sim.fleet import REGIONS, plan_fleet


@pytest.mark.parametrize("regions, accounts", [(1, 1), (2, 1), (1, 2), (2, 2)])
def test_a_fleet_is_laid_out_the_same_for_the_same_seed(regions, accounts):
    planned = plan_fleet(100, seed=7, regions=regions, accounts=accounts)
    assert planned == plan_fleet(100, seed=7, regions=regions, accounts=accounts)
    assert planned != plan_fleet(100, seed=8, regions=regions, accounts=accounts)
    assert len({p.key for p in planned}) == len({p.cidr for p in planned}) == 100
    # Every region and account has its share, in each pairing.
    pairs = Counter((p.region.name, p.account.name) for p in planned)
    assert len(pairs) == regions * accounts and min(pairs.values()) >= 100 // len(pairs) - 1
    # No spoke gateway name starts with another's (a revert would take both).
    spokes = sorted(p.spoke for p in planned)
    assert not any(b.startswith(a) for a, b in zip(spokes, spokes[1:]))


def test_zone_counts_cover_the_range_within_each_region():
    planned = plan_fleet(200, seed=1, regions=2)
    for region in REGIONS:
        counts = {p.zones for p in planned if p.region == region}
        assert counts == set(range(2, min(6, region.zones) + 1))
    assert {p.zones for p in plan_fleet(50, zones=(2, 4))} == {2, 3, 4}


@pytest.mark.parametrize("count, options", [
    (0, {}), (501, {}), (3, {"zones": (1, 4)}), (3, {"zones": (5, 3)}), (3, {"regions": 3}),
])
def test_impossible_fleets_are_refused(count, options):
    with pytest.raises(ValueError):
        plan_fleet(count, **options)
