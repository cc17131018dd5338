"""Controller transport, failure handlers and login against a local HTTPS server."""

import io
import logging
import socket
import threading
import warnings

import pytest
import requests

from https_server import HttpsServer, make_self_signed_certificate
from morvent.core.Globals import Globals
from morvent.core.exceptions import ControllerLoginError
from morvent.lib import corvane_backend as backend

USER = "netops"
PASSWORD = "Pa55 w0rd&%=secret"  # needs URL encoding, like real passwords often do
CID = "cid-7f3a9c2e51d4"
VERSION = "7.2.4996"


class FakeController:
    """Answers login and list_version_info; other actions echo what arrived."""

    def __init__(self):
        self.version_answer = {"return": True, "results": {"current_version": VERSION}}
        self.login_status = 200

    def __call__(self, request):
        fields = request.form_dict if request.method == "POST" else request.query_dict
        action = fields.get("action")
        if action == "login":
            if self.login_status != 200:
                return self.login_status, "<html>bad gateway</html>"
            if fields.get("username") == USER and fields.get("password") == PASSWORD:
                return 200, {"return": True, "CID": CID,
                             "results": f"User login:{USER} authorized successfully"}
            return 200, {"return": False, "reason": "Invalid username or password"}
        if action == "list_version_info":
            if fields.get("CID") != CID:
                return 200, {"return": False, "reason": "CID is invalid or expired."}
            return 200, self.version_answer
        return 200, {"return": True, "results": {"query": request.query, "form": request.form}}


@pytest.fixture(scope="module")
def server():
    with HttpsServer(FakeController()) as s:
        yield s


@pytest.fixture
def controller(server):
    server.handler = FakeController()
    server.requests.clear()
    yield server
    server.handler = FakeController()


@pytest.fixture(autouse=True)
def no_secrets():
    backend.clear_secrets()
    yield
    backend.clear_secrets()


@pytest.fixture(autouse=True)
def request_settings():
    """Globals' timeout and certificate check as a test left them: put back."""
    saved = Globals.controller_timeout, Globals.controller_verify
    yield Globals
    Globals.controller_timeout, Globals.controller_verify = saved


@pytest.fixture
def log_text():
    """Everything logged at debug level and above, through a masking handler."""
    stream = io.StringIO()
    handler = logging.StreamHandler(stream)
    handler.setFormatter(logging.Formatter("%(name)s %(levelname)s %(message)s"))
    handler.addFilter(backend.SecretMaskingFilter())
    root = logging.getLogger()
    old_level = root.level
    root.addHandler(handler)
    root.setLevel(logging.DEBUG)
    yield stream.getvalue
    root.removeHandler(handler)
    root.setLevel(old_level)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# -- transport -------------------------------------------------------------

@pytest.mark.parametrize("method, in_query", [("GET", True), ("POST", False), ("post", False)])
def test_payload_travels_as_query_string_or_form_body(controller, method, in_query):
    payload = {"action": "echo", "CID": "c1", "gateway_name": "spoke-1", "cloud_type": 1}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        response = backend._send_corvane_api(api_endpoint_url=controller.url + "/v2/api",
                                             request_method=method, payload=payload)
    assert response.json()["return"] is True
    request = controller.requests[-1]
    assert request.method == method.upper()
    assert request.path == "/v2/api"
    sent = [("action", "echo"), ("CID", "c1"), ("gateway_name", "spoke-1"), ("cloud_type", "1")]
    assert (request.query, request.form) == ((sent, []) if in_query else ([], sent))
    # the self-signed certificate is accepted and urllib3 does not complain about it
    assert [w for w in caught if "Unverified HTTPS" in str(w.message)] == []


def test_the_certificate_really_is_untrusted(controller):
    with pytest.raises(requests.exceptions.SSLError):
        requests.get(controller.url + "/v1/api", timeout=10)


@pytest.mark.parametrize("method", ["PUT", "DELETE", "", None])
def test_other_methods_are_refused(monkeypatch, method):
    monkeypatch.setattr(backend, "requests", None)  # nothing may be sent
    with pytest.raises(ValueError, match="method"):
        backend._send_corvane_api(api_endpoint_url="https://127.0.0.1/v1/api",
                                  request_method=method, payload={"action": "x"})


def test_the_request_goes_through_the_session_of_its_verify_setting_and_is_logged(
        monkeypatch, caplog):
    calls = []

    class Recorder:
        @staticmethod
        def get(url, **kwargs):
            calls.append(("get", url, kwargs))
            return "response"

    def session(verify, pin=None):
        calls.append(("session", verify, pin))
        return Recorder

    monkeypatch.setattr(backend, "_session", session)
    payload = {"action": "list_vpcs_summary", "CID": "cid-secret-xyz", "gateway_name": None}
    with caplog.at_level(logging.DEBUG, logger=backend.__name__):
        result = backend._send_corvane_api(api_endpoint_url="https://127.0.0.1/v1/api",
                                           payload=payload, keyword_for_log="kw-", indent="  ")
    assert result == "response"
    assert calls == [("session", False, None),
                     ("get", "https://127.0.0.1/v1/api",
                      {"params": payload, "timeout": (15.0, 900.0), "verify": False})]
    [record] = caplog.records
    assert record.levelno == logging.DEBUG
    assert record.getMessage().startswith("kw-  list_vpcs_summary")
    assert "cid-secret-xyz" not in record.getMessage()


# -- failure handlers ------------------------------------------------------

@pytest.mark.parametrize("body, ok, shown", [
    ({"return": True, "results": "done"}, True, None),
    ({"return": False, "reason": "Gateway gw-1 does not exist", "results": "x"}, False,
     "Gateway gw-1 does not exist"),
    ({"return": False, "results": "quota exceeded"}, False, "quota exceeded"),
    ({"return": False}, False, "{'return': False}"),
    ({"return": "true"}, False, "{'return': 'true'}"),
    ({}, False, "{}"),
    ("<html>502</html>", False, "<html>502</html>"),
    (None, False, "None"),
    (["return", True], False, "['return', True]"),
])
def test_failure_handlers(caplog, body, ok, shown):
    with caplog.at_level(logging.DEBUG, logger=backend.__name__):
        assert backend.handleControllerApiFailure(body) is ok
        if ok:
            assert backend.handleControllerApiFailureAndExit(body) is True
        else:
            with pytest.raises(SystemExit) as exit_info:
                backend.handleControllerApiFailureAndExit(body)
            assert exit_info.value.code == 1
    if ok:
        assert caplog.records == []
    else:
        assert len(caplog.records) == 2
        for record in caplog.records:
            assert record.levelno == logging.ERROR
            assert shown in record.getMessage()


# -- login -----------------------------------------------------------------

def test_getCid_logs_in_and_reads_the_version(controller, log_text):
    assert backend.getCid(controller.address, USER, PASSWORD) == (VERSION, CID)
    login, version = controller.requests
    assert (login.method, login.path, login.query) == ("POST", "/v1/api", [])
    assert login.form == [("action", "login"), ("username", USER), ("password", PASSWORD)]
    assert (version.method, version.form) == ("GET", [])
    assert version.query == [("action", "list_version_info"), ("CID", CID)]
    assert f"logged in to the controller at {controller.address} as {USER}" in log_text()


@pytest.mark.parametrize("answer", [
    {"return": False, "reason": "CID is invalid or expired."},
    {"return": True, "results": {}},
    "not json",
])
def test_getCid_without_version_still_logs_in(controller, log_text, answer):
    controller.handler.version_answer = answer
    assert backend.getCid(controller.address, USER, PASSWORD) == (None, CID)
    assert "WARNING   could not read the controller version" in log_text()


def test_getCid_refused(controller):
    with pytest.raises(ControllerLoginError) as info:
        backend.getCid(controller.address, USER, "wrong-password-123")
    message = str(info.value)
    for part in (USER, controller.address, "Invalid username or password"):
        assert part in message
    assert "wrong-password-123" not in message


@pytest.mark.parametrize("user, password, expected", [
    (USER, None, "no password"),
    (USER, "", "no password"),
    ("", PASSWORD, "no controller user"),
])
def test_getCid_needs_user_and_password(controller, user, password, expected):
    with pytest.raises(ControllerLoginError, match=expected) as info:
        backend.getCid(controller.address, user, password)
    assert controller.address in str(info.value)
    assert controller.requests == []


def test_getCid_without_address():
    with pytest.raises(ControllerLoginError, match="no controller address"):
        backend.getCid(None, USER, PASSWORD)


def test_getCid_connection_refused(log_text):
    address = f"127.0.0.1:{free_port()}"
    with pytest.raises(ControllerLoginError) as info:
        backend.getCid(address, USER, PASSWORD)
    assert str(info.value) == (f"cannot reach the controller at {address}: it refused the "
                               "connection; check controller_ip (address and port) and that "
                               f"the controller runs (login of user {USER!r})")


def test_getCid_login_answer_not_json(controller):
    controller.handler.login_status = 502
    with pytest.raises(ControllerLoginError, match="other than JSON.*502"):
        backend.getCid(controller.address, USER, PASSWORD)


# -- secrets in logs -------------------------------------------------------

@pytest.fixture
def urllib3_debug():
    """urllib3 logs every request line, the query string with the CID included."""
    logger = logging.getLogger("urllib3")
    old_level = logger.level
    logger.setLevel(logging.DEBUG)
    yield
    logger.setLevel(old_level)


def test_neither_password_nor_cid_reaches_a_log_line(controller, log_text, urllib3_debug):
    version, cid = backend.getCid(controller.address, USER, PASSWORD)
    log = logging.getLogger("morvent.test")
    log.info("session %s, password %s", cid, PASSWORD)
    log.info({"CID": cid})  # a non-string message
    log.warning("mapping %(cid)s", {"cid": cid})
    try:
        raise RuntimeError(f"request with CID={cid} failed")
    except RuntimeError:
        log.exception("failure")
    text = log_text()
    assert "list_version_info" in text and "CID=****" in text  # urllib3's request line
    for secret in (PASSWORD, CID, requests.utils.quote(PASSWORD, safe="")):
        assert secret not in text
    assert text.count("****") >= 6


def test_masking_a_record_whose_format_is_broken():
    backend.register_secret(CID)
    record = logging.LogRecord("x", logging.ERROR, __file__, 1, "%s %s", (CID,), None)
    assert backend.SecretMaskingFilter().filter(record) is True
    assert record.args == ("****",)  # what logging prints when it reports the broken record


def test_masking_leaves_other_records_alone(log_text):
    backend.register_secret("s3cr3t-value")
    backend.register_secret(None)
    backend.register_secret("")
    logging.getLogger("morvent.test").info("100%% of %s done", "routes")
    assert log_text().strip() == "morvent.test INFO 100% of routes done"


# -- timeouts and certificate checks -----------------------------------------

@pytest.mark.parametrize("method", ["GET", "POST"])
def test_timeout_and_verify_come_from_globals_at_each_call(controller, request_settings,
                                                           monkeypatch, method):
    # One process, settings changed between requests: each request goes out
    # with the settings of its moment, whatever the kept sessions saw before.
    sent = []
    send = requests.adapters.HTTPAdapter.send

    def spy(self, request, **kwargs):
        sent.append((kwargs["timeout"], kwargs["verify"]))
        return send(self, request, **kwargs)

    monkeypatch.setattr(requests.adapters.HTTPAdapter, "send", spy)
    settings = [((15.0, 900.0), False), ((2.0, 30.0), controller.cert_path),
                ((3.0, 60.0), False), ((15.0, 900.0), controller.cert_path)]
    for timeout, verify in settings:
        request_settings.controller_timeout = timeout
        request_settings.controller_verify = verify
        with warnings.catch_warnings():
            if verify:
                warnings.simplefilter("error")  # a verified request has nothing to warn about
            response = backend._send_corvane_api(api_endpoint_url=controller.url + "/v1/api",
                                                 request_method=method, payload={"action": "x"})
        assert response.json()["return"] is True
    assert sent == settings


@pytest.fixture
def kept_open():
    """A controller that keeps connections open between requests."""
    backend.close_sessions()
    with HttpsServer(FakeController(), keep_alive=True) as s:
        yield s
    backend.close_sessions()


def test_requests_share_a_kept_connection(kept_open):
    for _ in range(3):
        backend._send_corvane_api(api_endpoint_url=kept_open.url + "/v1/api",
                                  payload={"action": "x"})
    assert len(kept_open.requests) == 3 and kept_open.connections == 1


def test_a_kept_unchecked_connection_never_serves_a_checked_request(kept_open, request_settings,
                                                                    tmp_path):
    url = kept_open.url + "/v1/api"
    other_ca, _ = make_self_signed_certificate(str(tmp_path))
    backend._send_corvane_api(api_endpoint_url=url, payload={"action": "x"})
    request_settings.controller_verify = other_ca
    with pytest.raises(requests.exceptions.SSLError):
        backend._send_corvane_api(api_endpoint_url=url, payload={"action": "x"})
    request_settings.controller_verify = kept_open.cert_path
    backend._send_corvane_api(api_endpoint_url=url, payload={"action": "x"})
    request_settings.controller_verify = False
    backend._send_corvane_api(api_endpoint_url=url, payload={"action": "x"})
    assert len(kept_open.requests) == 3


def test_a_certificate_the_bundle_does_not_trust_stops_the_login(controller, request_settings,
                                                                 tmp_path):
    other_ca, _ = make_self_signed_certificate(str(tmp_path))
    request_settings.controller_verify = other_ca
    with pytest.raises(ControllerLoginError) as info:
        backend.getCid(controller.address, USER, PASSWORD)
    message = str(info.value)
    assert "\n" not in message and controller.address in message and USER in message
    assert f"certificate is not trusted by {other_ca}" in message
    assert controller.requests == []  # nothing was sent over the untrusted connection


def test_login_without_an_answer_in_time_is_one_line(controller, request_settings):
    release = threading.Event()

    def slow(request):
        release.wait(30)
        return 200, {"return": True, "CID": CID}

    controller.handler = slow
    request_settings.controller_timeout = (5.0, 0.2)
    try:
        with pytest.raises(ControllerLoginError) as info:
            backend.getCid(controller.address, USER, PASSWORD)
    finally:
        release.set()
    assert str(info.value) == (f"the controller at {controller.address} did not answer within "
                               f"0.2 s; it may still carry the request out (login of user "
                               f"{USER!r})")


def test_a_tls_handshake_that_never_ends_says_how_long_it_waited(request_settings):
    # The port takes the connection and never answers the handshake: urllib3
    # calls that a read time-out, but waited the connect time-out.
    with socket.socket() as silent:
        silent.bind(("127.0.0.1", 0))
        silent.listen(1)
        address = f"127.0.0.1:{silent.getsockname()[1]}"
        request_settings.controller_timeout = (0.2, 900.0)
        with pytest.raises(ControllerLoginError) as info:
            backend.getCid(address, USER, PASSWORD)
    assert str(info.value) == (
        f"cannot reach the controller at {address}: it took the connection, but the TLS "
        "handshake did not finish within 0.2 s; check controller_ip (address and port) and "
        "that this machine can reach it (the controller's HTTPS port?) (login of user "
        f"{USER!r})")


CHECK = "check controller_ip (address and port) and that this machine can reach it"
NEW_CONNECTION = ("HTTPSConnectionPool(host='127.0.0.1', port=1): Max retries exceeded with url: "
                  "/v1/api (Caused by NewConnectionError('<urllib3.connection.HTTPSConnection "
                  "object at 0x7f>: Failed to establish a new connection: [Errno {n}] {text}'))")


@pytest.mark.parametrize("error, words", [
    (requests.ConnectTimeout("x"), "cannot reach the controller at {address}: no connection "
                                   f"within 15 s; {CHECK}"),
    (requests.ReadTimeout("HTTPSConnectionPool(host='h', port=1): Read timed out. (read "
                          "timeout=900.0)"),
     "the controller at {address} did not answer within 900 s; it may still carry the "
     "request out"),
    (requests.ReadTimeout("x"), "the controller at {address} did not answer within 900 s; it "
                                "may still carry the request out"),
    (requests.ConnectionError(NEW_CONNECTION.format(n=111, text="Connection refused")),
     "cannot reach the controller at {address}: it refused the connection; check "
     "controller_ip (address and port) and that the controller runs"),
    (requests.ConnectionError(NEW_CONNECTION.format(n=-2, text="Name or service not known")),
     "cannot reach the controller at {address}: its name cannot be resolved; check "
     "controller_ip"),
    (requests.ConnectionError(NEW_CONNECTION.format(n=113, text="No route to host")),
     f"cannot reach the controller at {{address}}: No route to host; {CHECK}"),
    (requests.ConnectionError("('Connection aborted.', RemoteDisconnected('Remote end closed "
                              "connection without response'))"),
     "the controller at {address} closed the connection without an answer; it may still "
     "carry the request out"),
    (requests.exceptions.SSLError("[SSL: CERTIFICATE_VERIFY_FAILED] certificate verify failed: "
                                  "self-signed certificate (_ssl.c:1006)"),
     "the TLS connection to the controller at {address} failed: self-signed certificate; "
     "check its certificate (controller_ca_bundle, or controller_cert_sha256: `morvent "
     "trust-controller`)"),
    (requests.exceptions.JSONDecodeError("Expecting value", "<html>500</html>", 0),
     "the controller at {address} sent an answer that is not JSON (an error page?)"),
    (requests.TooManyRedirects("x"), "the request to the controller at {address} failed: "
                                     "the controller redirected the request too often"),
])
def test_request_problems_in_words(error, words):
    problem = backend.request_problem(error, "127.0.0.1:8443")
    assert problem == words.format(address="127.0.0.1:8443")
    assert not any(name in problem for name in ("Error", "Timeout", "Pool", "Errno"))


def test_a_request_problem_names_the_address_never_the_query():
    error = requests.ConnectTimeout("x")
    error.request = requests.Request("GET", "https://10.1.1.1:8443/v2/api",
                                     params={"CID": "s3cret"}).prepare()
    assert backend.request_problem(error).startswith(
        "cannot reach the controller at 10.1.1.1:8443: ")


@pytest.mark.parametrize("error, words", [
    (requests.ConnectTimeout, "cannot reach the controller at {address}: no connection within "
                              f"15 s; {CHECK} (login of user 'netops')"),
    (requests.ReadTimeout, "the controller at {address} did not answer within 900 s; it may "
                           "still carry the request out (login of user 'netops')"),
    (requests.ConnectionError, "cannot reach the controller at {address}: it refused the "
                               "connection; check controller_ip (address and port) and that "
                               "the controller runs (login of user 'netops')"),
])
def test_login_request_errors(monkeypatch, error, words):
    def fail(url, **kwargs):
        raise error("refused")

    monkeypatch.setattr(requests.Session, "post", lambda self, url, **kwargs: fail(url, **kwargs))
    address = "127.0.0.1:8443"
    with pytest.raises(ControllerLoginError) as info:
        backend.getCid(address, USER, PASSWORD)
    assert str(info.value) == words.format(address=address)


# -- secrets in printed output ---------------------------------------------------

@pytest.mark.parametrize("pieces", [
    [f"GET /v1/api?CID={CID}&action=x\n"],
    ["request with CID=", CID, " failed", "\n"],       # print() writes its parts apart
    ["cid ", CID[:5], CID[5:], "\nnext line\n"],          # a secret cut in two
    [f"password {PASSWORD}"],                              # no line end: goes at flush()
])
def test_masking_stream(pieces):
    backend.register_secret(CID)
    backend.register_secret(PASSWORD)
    out = io.StringIO()
    stream = backend.SecretMaskingStream(out)
    for piece in pieces:
        assert stream.write(piece) == len(piece)
    stream.flush()
    text = out.getvalue()
    assert text == "".join(pieces).replace(CID, "****").replace(PASSWORD, "****")
    assert CID not in text and PASSWORD not in text
    assert stream.getvalue() == text and stream.closed is False  # the rest is the stream's
