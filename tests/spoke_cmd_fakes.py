"""Recording fakes for the command classes of morvent.lib.spoke.

One event list records, in order, every operation-log entry, every read of a
settings attribute and every call of a controller function, so tests can
check call order as well as arguments.
"""

from types import SimpleNamespace

import pytest

from morvent.lib import spoke

CID = "cid-1"
IP = "127.0.0.1"
URL2 = f"https://{IP}/v2/api"
URL1 = f"https://{IP}/v1/api"

FUNCTIONS = (
    "deployPrimaryHsSpoke", "deployHaHsSpoke", "deleteHsSpoke", "enableSNAT", "disable_snat",
    "changeSpokeSize", "deployHsSpoke", "deleteAllHsSpokes", "deployClassicSpoke", "deleteSpoke",
)

SPOKE_INFO = {"gw_private_ip": "10.0.0.5", "gw_name": "gw1", "gw_public_ip": "198.51.100.7",
              "gw_subnet_id": "subnet-1", "gw_subnet_cidr": "10.0.0.0/24"}


def make_globals(events, **values):
    """A settings class whose attribute reads are recorded."""

    class Recorded(type):
        def __getattribute__(cls, name):
            if not name.startswith("__"):
                events.append(("read", name))
            return super().__getattribute__(name)

    attrs = {"CID": CID, "controller_ip": IP, "dry_run": False, "controller_verify": False,
             "controller_timeout": (15.0, 900.0), "lookup_attempts": 3, "lookup_pause": 0.0}
    attrs.update(values)
    return Recorded("Globals", (), attrs)


class Env(SimpleNamespace):
    def calls(self, name=None):
        """(function, args) of the recorded controller calls."""
        return [(e[1], e[2]) for e in self.events
                if e[0] == "call" and (name is None or e[1] == name)]

    def operations(self):
        return [e[1] for e in self.events if e[0] == "log"]


@pytest.fixture
def env(monkeypatch):
    """Replace every collaborator of the command classes with a recorder.

    ``env.results[name]`` is what the fake ``name`` returns (a copy of
    SPOKE_INFO for the deployment functions, a marker otherwise).
    """
    events = []
    results = {name: "ignored" for name in FUNCTIONS}
    results["deployPrimaryHsSpoke"] = dict(SPOKE_INFO)
    results["deployHaHsSpoke"] = dict(SPOKE_INFO, gw_name="gw1-hagw")

    def fake(name):
        def function(*args, **kwargs):
            events.append(("call", name, args, kwargs))
            assert not kwargs, f"{name} called with keywords"
            return results[name]
        return function

    for name in FUNCTIONS:
        monkeypatch.setattr(spoke, name, fake(name))
    comm = SimpleNamespace(logOperation=lambda name: events.append(("log", name)))
    monkeypatch.setattr(spoke, "comm", comm)
    globals_ = make_globals(events)
    monkeypatch.setattr(spoke, "Globals", globals_)
    return Env(events=events, results=results, globals=globals_)
