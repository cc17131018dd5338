"""A spoke memento stored by one process restores the same way in another.

Process A appends the three kinds of spoke memento to the memento history;
process B loads the history, pops every memento and restores it against a
recording stand-in for ``requests``.  Restoring the original objects in this
process must send exactly the same requests.
"""

import json
import os
import subprocess
import sys
import textwrap

import morvent
from morvent.commands.history import MementoHistory
from morvent.core.Globals import Globals
from morvent.lib import spoke

# Installed in both processes: a stand-in for `requests` that records every
# request and answers each with success (and the size "c5.xlarge" for a
# gateway lookup), plus the controller session the mementos read.
RECORDER = textwrap.dedent("""
    from morvent.core.Globals import Globals
    from morvent.lib import spoke

    class Answer:
        def __init__(self, payload):
            self.payload = payload
        def json(self):
            results = {"vpc_size": "c5.xlarge"} if self.payload.get("action") == "get_gateway_info" else "ok"
            return {"return": True, "results": results}

    class Requests:
        def __init__(self):
            self.sent = []
        def _send(self, method, url, **kwargs):
            self.sent.append([method, url, sorted(kwargs), list(next(
                v for k, v in kwargs.items() if k in ("data", "params")).items())])
            return Answer(kwargs.get("data") or kwargs.get("params"))
        def post(self, url, **kwargs):
            return self._send("post", url, **kwargs)
        def get(self, url, **kwargs):
            return self._send("get", url, **kwargs)

    recorder = Requests()
    spoke.requests = recorder
    Globals.CID, Globals.controller_ip, Globals.dry_run = "cid-9", "127.0.0.1:9443", False
""")

RESTORE_ALL = RECORDER + textwrap.dedent("""
    import json, sys
    from morvent.commands.history import MementoHistory
    MementoHistory.init(sys.argv[1])
    restored = []
    while not MementoHistory.isEmpty():
        m = MementoHistory.pop()
        restored.append([type(m).__module__, type(m).__qualname__, m.toDict()])
        m.restore()
    print(json.dumps({"restored": restored, "sent": recorder.sent}))
""")


def mementos():
    return [
        spoke.HsSpokeCreateMemento({"gw_private_ip": "10.0.1.5", "gw_name": "spoke-hagw",
                                    "gw_public_ip": "198.51.100.2", "gw_subnet_id": "subnet-2",
                                    "gw_subnet_cidr": "10.0.1.0/24"}),
        spoke.SnatEnableMemento("spoke"),
        spoke.ResizeSpokeGatewayMemento("spoke", "t3.small", "c5.xlarge"),
    ]


def test_spoke_mementos_restore_alike_in_a_new_process(tmp_path, monkeypatch):
    folder = str(tmp_path)
    MementoHistory.init(folder)
    for index, memento in enumerate(mementos()):
        MementoHistory.append(memento, MarkBegin=index == 0)

    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(morvent.__file__)))
    done = subprocess.run([sys.executable, "-c", RESTORE_ALL, folder], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    other = json.loads(done.stdout)

    # The same mementos, restored here, newest first.
    for name in ("CID", "controller_ip", "dry_run"):
        monkeypatch.setattr(Globals, name, getattr(Globals, name))
    monkeypatch.setattr(spoke, "requests", spoke.requests)
    namespace = {}
    exec(RECORDER, namespace)
    originals = mementos()[::-1]
    for memento in originals:
        memento.restore()
    assert other["restored"] == [
        ["morvent.lib.spoke", type(m).__qualname__, m.toDict()] for m in originals]
    assert other["sent"] == json.loads(json.dumps(namespace["recorder"].sent))

    actions = [dict(request[3])["action"] for request in other["sent"]]
    assert actions == ["get_gateway_info", "change_gateway_size", "disable_snat",
                       "delete_multicloud_gateway"]
    resize = dict(other["sent"][1][3])
    assert resize["gw_size"] == "t3.small" and resize["gw_name"] == "spoke"
    assert dict(other["sent"][3][3])["gw_name"] == "spoke-hagw"
