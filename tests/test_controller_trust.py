"""Controller trust: a pinned certificate for every controller request, and
`morvent trust-controller` that pins it; against a local HTTPS server."""

import ssl

import pytest
import requests
import yaml

from awsconf_fixtures import MINIMAL, write_config
from https_server import HttpsServer
from morvent import cli
from morvent.core.exceptions import ControllerLoginError, CorvaneRollbackException
from morvent.core.Globals import Globals
from morvent.lib import corvane_backend as backend
from morvent.lib import spoke
from morvent.lib.certificate import sha256_fingerprint

OTHER = ":".join(["C3"] * 32)


def fingerprint_of(server):
    with open(server.cert_path, encoding="ascii") as f:
        return sha256_fingerprint(ssl.PEM_cert_to_DER_cert(f.read()))


def refuse_everything(request):
    return 200, {"return": False, "reason": "Gateway gw1 does not exist"}


@pytest.fixture(scope="module")
def server():
    with HttpsServer(refuse_everything) as s:
        yield s


@pytest.fixture
def controller(server):
    server.requests.clear()
    return server


@pytest.fixture(autouse=True)
def settings():
    """Globals' certificate settings and the spoke module's requests, put back."""
    saved = Globals.controller_verify, Globals.controller_cert_sha256
    backend.close_sessions()
    yield Globals
    Globals.controller_verify, Globals.controller_cert_sha256 = saved
    backend.route_native_requests()
    backend.close_sessions()
    backend.clear_secrets()


def pins(server):
    right = fingerprint_of(server)
    return {"right": right, "right, plain lower case": right.replace(":", "").lower(),
            "other": OTHER}


# -- every request, the transport's and the native module's, honours the pin ------

def transport_get(server):
    return backend._send_corvane_api(api_endpoint_url=server.url + "/v2/api",
                                     payload={"action": "list_vpcs_summary", "CID": "c"})


def native_lookup(server):
    # requests.get(url, data=..., verify=..., timeout=...) from the native module
    return spoke.getSubnetWithSpokeGw("c", server.url + "/v2/api", ["gw1"])


def native_delete(server):
    # requests.post(url, data=..., ...), then the listing that settles the outcome
    return spoke.deleteHsSpoke("c", server.url + "/v2/api", "gw1")


@pytest.mark.parametrize("send", [transport_get, native_lookup, native_delete])
@pytest.mark.parametrize("pin", ["right", "right, plain lower case", "other"])
@pytest.mark.parametrize("verify", [False, "bundle"])
def test_only_the_pinned_certificate_is_talked_to(controller, settings, send, pin, verify):
    settings.controller_verify = controller.cert_path if verify == "bundle" else False
    settings.controller_cert_sha256 = pins(controller)[pin]
    backend.route_native_requests()
    assert spoke.requests is backend.native_requests
    if pin == "other":
        # The deletion takes the refused connection for a lost answer and
        # says the gateway was not deleted; nothing reached the server.
        with pytest.raises((requests.exceptions.SSLError, CorvaneRollbackException),
                           match="Fingerprints did not match|not deleted: SSLError"):
            send(controller)
        assert controller.requests == []  # refused before a byte of the request went out
    else:
        try:
            send(controller)
        except Exception as e:  # the controller's refusal, not the certificate
            assert "Fingerprints" not in str(e)
        assert controller.requests


def test_without_a_pin_the_native_module_uses_requests_itself(settings):
    settings.controller_cert_sha256 = OTHER
    backend.route_native_requests()
    settings.controller_cert_sha256 = None
    backend.route_native_requests()
    assert spoke.requests is requests


def test_a_kept_connection_never_serves_another_pin(settings):
    with HttpsServer(refuse_everything, keep_alive=True) as server:
        settings.controller_cert_sha256 = fingerprint_of(server)
        transport_get(server)
        settings.controller_cert_sha256 = OTHER
        with pytest.raises(requests.exceptions.SSLError):
            transport_get(server)
        assert len(server.requests) == 1


def test_the_pin_holds_behind_a_proxy_too():
    pin = OTHER.replace(":", "").lower()
    for verify in (False, "/etc/ca.pem"):
        adapter = backend._session(verify, pin).get_adapter("https://10.0.0.1/")
        manager = adapter.proxy_manager_for("http://127.0.0.1:9")
        assert manager.connection_pool_kw["assert_fingerprint"] == pin


def test_a_test_fake_in_the_native_module_is_left_alone(monkeypatch, settings):
    fake = object()
    monkeypatch.setattr(spoke, "requests", fake)
    settings.controller_cert_sha256 = OTHER
    backend.route_native_requests()
    assert spoke.requests is fake


def test_another_certificate_stops_the_login_naming_both(controller, settings):
    settings.controller_cert_sha256 = OTHER
    monkey_requests = spoke.requests
    with pytest.raises(ControllerLoginError) as info:
        backend.getCid(controller.address, "netops", "pw-secret")
    message = str(info.value)
    assert "\n" not in message and "pw-secret" not in message
    assert f"presents the certificate with SHA-256 {fingerprint_of(controller)}" in message
    assert f"the trusted one (controller_cert_sha256) is {OTHER}" in message
    assert "login of user 'netops' was not sent" in message
    assert controller.requests == []
    # the login also put the native module's own requests behind the pin
    assert monkey_requests is requests and spoke.requests is backend.native_requests


# -- morvent trust-controller --------------------------------------------------------

@pytest.fixture
def trust(controller, tmp_path, monkeypatch, capsys):
    """trust(*extra, pinned=None, terminal=None) -> (status, out, err, file text before, after)."""

    def call(*extra, pinned=None, terminal=None, address=None):
        text = "# my controller\n" + yaml.safe_dump(
            {**MINIMAL, "controller_ip": address or controller.address,
             **({"controller_cert_sha256": pinned} if pinned else {})}, sort_keys=False)
        path = write_config(tmp_path, text)
        monkeypatch.setattr(cli.output, "can_ask", lambda: terminal is not None)
        monkeypatch.setattr(cli.output, "ask", lambda question: terminal == "yes")
        status = cli.main(["trust-controller", "--config", str(path), *extra])
        out, err = capsys.readouterr()
        return status, out, err, text, path.read_text()

    return call


@pytest.mark.parametrize("extra, pinned, terminal, status, written", [
    (["--yes"], None, None, 0, True),
    ([], None, "yes", 0, True),
    ([], None, "no", 1, False),           # cancelled at the question
    ([], None, None, 2, False),           # no terminal, no --yes
    (["--yes"], "right", None, 0, False),  # trusted already
    (["--yes"], OTHER, None, 1, False),    # a job never replaces a different pin
    ([], OTHER, "yes", 0, True),           # on a terminal, after the question
])
def test_trust_controller(trust, controller, extra, pinned, terminal, status, written):
    right = fingerprint_of(controller)
    got, out, err, before, after = trust(*extra, pinned=right if pinned == "right" else pinned,
                                         terminal=terminal)
    assert got == status, err
    assert controller.requests == []  # the handshake only
    if status != 2:
        assert f"SHA-256   {right}" in out and "IP:127.0.0.1" in out and "self-signed" in out
    if written:
        assert after.startswith("# my controller\n")
        assert yaml.safe_load(after)["controller_cert_sha256"] == right
        assert yaml.safe_load(after) == {**yaml.safe_load(before), "controller_cert_sha256": right}
    else:
        assert after == before
    if pinned == OTHER and status == 1:
        assert OTHER in err and right in out


def test_trust_controller_that_cannot_be_reached_is_one_line(trust):
    with HttpsServer(refuse_everything) as gone:
        address = gone.address
    status, _, err, before, after = trust("--yes", address=address)
    assert status == 1 and after == before
    assert err.count("\n") == 1 and f"cannot read the controller's certificate at {address}" in err
