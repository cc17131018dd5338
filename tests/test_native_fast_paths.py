"""The native modules' shortcuts for exact builtin types must not change what
Python would do with anything else.

Equality, item lookup, list walking and log-line building take short cuts
for exact str, dict, list, None, True and False; subclasses and other types
must still get their own __eq__, __getitem__, __iter__ and __str__, and a
list that grows while it is walked must be walked to its new end.
"""

import json
import logging
import sys
from pathlib import Path

import pytest

from morvent.lib import spoke
from spoke_fakes import CID, URL, gateway_record, messages, spoke_info, world  # noqa: F401

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import reference  # noqa: E402  (the interpreted twin of the module)

A, B, C = "10.0.1.0/24", "10.0.2.0/24", "10.0.3.0/24"


class AlwaysEqual(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class Shown(str):
    def __str__(self):
        return "shown-as-this"


class Defaulting(dict):
    def __missing__(self, key):
        return f"default-{key}"


class Backwards(list):
    def __iter__(self):
        return reversed(self)


@pytest.mark.parametrize("info, subnet, expected", [
    # a str subclass's own __eq__ decides, on either side of ==
    (gateway_record("p", AlwaysEqual(A)), B, spoke_info("p", AlwaysEqual(A))),
    (gateway_record("p", A), AlwaysEqual(B), spoke_info("p", A)),
    # str against None or a bool is plain inequality
    (gateway_record("p", None), A, {"gw_name": None}),
    (gateway_record("p", True), A, {"gw_name": None}),
    # a dict subclass answers missing keys itself
    (Defaulting(public_subnet=A), A,
     {"gw_private_ip": "default-private_ip", "gw_name": "default-gw_name",
      "gw_public_ip": "default-public_ip", "gw_subnet_id": "default-gw_subnet_id",
      "gw_subnet_cidr": A}),
    # a list subclass is walked through its own __iter__, tuples and
    # generators through theirs
    (gateway_record("p", A, ha=Backwards([gateway_record("h1", B), gateway_record("h2", B)])), B,
     spoke_info("h2", B)),
    (gateway_record("p", A, ha=(gateway_record("h1", C),)), C, spoke_info("h1", C)),
    (gateway_record("p", A, ha=(g for g in [gateway_record("h1", C)])), C, spoke_info("h1", C)),
    # records whose keys are strs of their own (decoded from JSON), in
    # another order, with a key that is no str, or missing the subnet
    (json.loads(json.dumps(gateway_record("p", A, ha=[gateway_record(f"h{i}", f"{B}{i}")
                                                      for i in range(4)]))), f"{B}3",
     spoke_info("h3", f"{B}3")),
    (gateway_record("p", A, ha=[gateway_record("h1", B), dict(reversed(
        gateway_record("h2", C).items())), {1: "one", **gateway_record("h3", C)}]), C,
     spoke_info("h2", C)),
    (gateway_record("p", A, ha=[gateway_record("h1", B), {"gw_name": "h2"}]), C, KeyError),
])
def test_equality_lookup_and_walk_follow_the_objects(info, subnet, expected):
    if expected is KeyError:
        with pytest.raises(KeyError):
            spoke.getSpokeInfo(info, subnet)
        return
    result = spoke.getSpokeInfo(info, subnet)
    assert list(result.items()) == list(expected.items())


def test_a_missing_key_of_an_exact_dict_is_the_usual_key_error():
    with pytest.raises(KeyError) as raised:
        spoke.getSpokeInfo({"gw_name": "p"}, A)
    assert raised.value.args == ("public_subnet",)


def test_a_list_that_grows_while_walked_is_walked_to_its_new_end():
    def grower():
        """Each comparison appends one entry until there are five."""
        ha = []

        class Growing(str):
            def __eq__(self, other):
                if len(ha) < 5:
                    ha.append(gateway_record(f"h{len(ha)}", Growing(C if len(ha) == 4 else B)))
                return str.__eq__(self, other)

            __hash__ = str.__hash__

        ha.append(gateway_record("h0", Growing(B)))
        return gateway_record("p", A, ha=ha)

    native, interpreted = spoke.getSpokeInfo(grower(), C), reference.getSpokeInfo(grower(), C)
    assert native == interpreted
    assert native["gw_name"] == "h4"


@pytest.mark.parametrize("name", [
    "gw-ascii", "gw-\u00e9t\u00e9", "gw-\u2713", "gw-\U0001f680", Shown("gw-plain"),
])
def test_log_lines_keep_every_character_and_use_str(world, caplog, name):
    world.globals.dry_run = True
    caplog.set_level(logging.INFO, logger="morvent.lib.spoke")
    spoke.enableSNAT(name, URL, CID)
    shown = "shown-as-this" if isinstance(name, Shown) else name
    assert messages(caplog) == [f"- Enable Single IP SNAT on spoke gateway {shown}"]


def test_mixed_width_pieces_join_into_one_line(world, caplog):
    world.globals.dry_run = True
    caplog.set_level(logging.INFO, logger="morvent.lib.spoke")
    spoke.changeSpokeSize(CID, URL, "gw-\U0001f680", "t3.\u00e9")
    assert messages(caplog) == ["- Set spoke gateway gw-\U0001f680 to t3.\u00e9"]
