"""No controller session id or password in any output, on the simulated world.

The controller goes away after the login, so that a request fails with its
URL, the session id in the query string, in the exception; the session id
stays valid once the controller is back, so it must not show anywhere.
"""

import pytest

from e2e_fixtures import migration, sim  # noqa: F401
from morvent import cli
from morvent.lib import corvane_backend
from morvent.sim.demo import BUCKET


@pytest.fixture
def controller_goes_away(sim):
    """controller_goes_away(action): the controller stops once it has answered
    `action`; it is back, sessions and all, after the test."""
    controller = sim.controller
    armed = []

    def observer(record, answer):
        if armed and record.action == armed[0]:
            armed.clear()
            controller.stop()

    controller.add_observer(observer)
    yield armed.append
    controller.remove_observer(observer)
    controller.start()
    corvane_backend.clear_secrets()


def _stored_files(m):
    """Every file the run left: the local backup folder and the bucket."""
    files = {str(p): p.read_bytes() for p in m.folder.rglob("*") if p.is_file()}
    s3 = m.sim.client("s3")
    for item in s3.list_objects_v2(Bucket=BUCKET).get("Contents", ()):
        files[f"s3://{BUCKET}/{item['Key']}"] = \
            s3.get_object(Bucket=BUCKET, Key=item["Key"])["Body"].read()
    return files


@pytest.mark.parametrize("verbosity", [[], ["-v"]])
@pytest.mark.parametrize("gone_after, traceback_printed, url_shown", [
    # The account check after the login fails: the command line reports it,
    # in words (the failed request's URL with -v).
    ("list_version_info", False, True),
    # The look-ups after the primary's creation fail: each names the error
    # by its class only, and the run stops without a rollback (the gateway
    # may hold the address the rollback would give back).
    ("create_multicloud_primary_gateway", False, False),
])
def test_no_secret_when_the_controller_goes_away(migration, capsys, controller_goes_away,
                                                 verbosity, gone_after, traceback_printed,
                                                 url_shown):
    m = migration(2)
    controller_goes_away(gone_after)
    capsys.readouterr()
    status = cli.main([*verbosity, "execute", "--config", str(m.config_path), "--yes"])
    out, err = capsys.readouterr()

    assert status == 1
    sessions = list(m.sim.controller.state.sessions)
    assert sessions, "nobody logged in"
    secrets = [*sessions, m.sim.password]
    if url_shown:
        # The failed request's URL is shown, masked, with -v only (the traceback).
        assert ("CID=****" in err) is bool(verbosity)
    if not verbosity:
        assert "HTTPSConnectionPool" not in err and "Error" not in err.replace("**Error**", "")
    # The console shows tracebacks with -v only; the run's log file keeps the
    # one the migration prints (or where the run stopped).
    assert ("Traceback" in err) is bool(verbosity)
    (log,) = m.backup_folder.glob("logs/*-execute.log")
    text = log.read_text()
    assert "Traceback" in text
    assert ("morvent.stderr: Traceback" in text) is traceback_printed
    for secret in secrets:
        assert secret not in out and secret not in err
    for name, content in _stored_files(m).items():
        for secret in secrets:
            assert secret.encode() not in content, name


def test_the_demo_log_file_is_masked(tmp_path):
    import logging

    from morvent.sim import demo

    cid = "cid-5e5510n"
    corvane_backend.register_secret(cid)
    path = tmp_path / "demo.log"
    try:
        with demo._log_file(str(path)):
            log = logging.getLogger("morvent.commands.brindlemark")
            try:
                raise ConnectionError(f"url: /v2/api?CID={cid}")
            except ConnectionError:
                log.error("  **Error** failed with CID=%s", cid, exc_info=True)
    finally:
        corvane_backend.clear_secrets()
    text = path.read_text()
    assert cid not in text and text.count("CID=****") == 2
