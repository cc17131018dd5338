"""What the operator reads: error names in words, a lost answer taken over,
AWS errors without botocore's phrasing, the log file's last lines in S3, the
question on the terminal."""

import io
import logging
import sys

import botocore.exceptions
import pytest

from morvent.cli import output
from morvent.lib import corvane_backend as backend
from morvent.lib import native_lines

SPOKE = logging.getLogger("morvent.lib.spoke")


@pytest.fixture
def records(monkeypatch):
    """Every record of the package, the native modules' words filter installed."""
    native_lines.install()
    monkeypatch.setattr(native_lines, "_held", None)
    seen = []

    class Keep(logging.Handler):
        def emit(self, record):
            seen.append((record.name, record.levelname, record.getMessage()))

    handler = Keep(logging.DEBUG)
    package = logging.getLogger("morvent")
    level = package.level
    package.setLevel(logging.DEBUG)
    package.addHandler(handler)
    yield seen
    native_lines.uninstall()
    package.removeHandler(handler)
    package.setLevel(level)


@pytest.mark.parametrize("logged, shown", [
    ("  **Error** no usable answer to create_multicloud_primary_gateway in 10.0.0.0/24: "
     "JSONDecodeError; looking up spoke1",
     "  **Error** no usable answer to create_multicloud_primary_gateway in 10.0.0.0/24: the "
     "controller's answer is not JSON (an error page?); looking up spoke1"),
    ("  **Error** no usable answer to the look-up of spoke gateway spoke1: ReadTimeout; counted "
     "as not found",
     "  **Error** no usable answer to the look-up of spoke gateway spoke1: no answer from the "
     "controller in time (it may still carry the request out); counted as not found"),
    ("Spoke gateway spoke1-hagw was not deleted: ConnectionError",
     "Spoke gateway spoke1-hagw was not deleted: the connection to the controller failed or "
     "broke off without an answer"),
    ("  **Error** could not check whether spoke gateway g is still there: KeyError: 'results'",
     "  **Error** could not check whether spoke gateway g is still there: an answer without "
     "the field 'results'"),
    ("no usable answer: ConnectTimeout", "no usable answer: no connection to the controller "
     "within 15 s (check controller_ip: address and port)"),
])
def test_native_lines_name_no_error_class(records, logged, shown):
    SPOKE.error("%s", logged)
    assert records == [("morvent.lib.spoke.as_logged", "DEBUG", logged),
                       ("morvent.lib.spoke", "ERROR", shown)]


@pytest.mark.parametrize("line", [
    "- Deploy primary spoke spoke1 with t3.small in subnet 10.0.0.0/24",
    "  Returned: False  Reason: ConnectionErrors happen",  # a word, not the error's name
    "requests.exceptions.ReadTimeout(...) in a traceback",
])
def test_other_lines_pass_as_they_are(records, line):
    SPOKE.info("%s", line)
    assert records == [("morvent.lib.spoke", "INFO", line)]


def _created(name, subnet="subnet-1"):
    return {"module": "morvent.lib.spoke", "qualname": "HsSpokeCreateMemento",
            "state": {"spoke_info": {"gw_name": name, "gw_subnet_id": subnet}},
            "mark_begin": False}


REFUSAL = "  **Error** controller request failed: Gateway spoke1 already exists"


@pytest.mark.parametrize("then, logged", [
    # The step found and recorded the gateway: the run took it over.
    (lambda: native_lines.on_step("recorded", _created("spoke1")),
     [("DEBUG", REFUSAL + " (held: the step looks the gateway up next)"),
      ("INFO", "  took over the existing gateway spoke1 in subnet-1: the controller had made "
               "it already (an earlier answer was lost)")]),
    # Another gateway was recorded, the step failed, the next step started,
    # the run ended: the refusal is the error it is, before what followed.
    (lambda: native_lines.on_step("recorded", _created("spoke1-hagw")),
     [("DEBUG", REFUSAL + " (held: the step looks the gateway up next)"), ("ERROR", REFUSAL)]),
    (lambda: logging.getLogger("morvent.commands.brindlemark").error(
        "  **Error** Spoke gateway spoke1 creation failure"),
     [("DEBUG", REFUSAL + " (held: the step looks the gateway up next)"), ("ERROR", REFUSAL),
      ("ERROR", "  **Error** Spoke gateway spoke1 creation failure")]),
    (lambda: native_lines.on_step("step", 5),
     [("DEBUG", REFUSAL + " (held: the step looks the gateway up next)"), ("ERROR", REFUSAL)]),
    (native_lines.release_refusal,
     [("DEBUG", REFUSAL + " (held: the step looks the gateway up next)"), ("ERROR", REFUSAL)]),
])
def test_a_gateway_that_exists_already_is_taken_over_or_reported(records, then, logged):
    assert backend.handleControllerApiFailure(
        {"return": False, "reason": "Gateway spoke1 already exists"}) is False
    then()
    assert [(level, text) for _, level, text in records] == logged


def test_other_refusals_are_errors_at_once(records):
    assert backend.handleControllerApiFailure({"return": False, "reason": "quota"}) is False
    assert records == [("morvent.lib.corvane_backend", "ERROR",
                        "  **Error** controller request failed: quota")]


def test_a_refusal_that_ends_the_process_is_reported_first(records):
    with pytest.raises(SystemExit):
        backend.handleControllerApiFailureAndExit(
            {"return": False, "reason": "Gateway spoke1 already exists"})
    assert records[-1] == ("morvent.lib.corvane_backend", "ERROR", REFUSAL)


def _client_error(code, operation="DescribeVpcs", message="Request refused"):
    return botocore.exceptions.ClientError({"Error": {"Code": code, "Message": message}},
                                           operation)


CREDENTIALS = "check the credentials: aws_profile in the configuration (or --profile), or AWS_PROFILE"


@pytest.mark.parametrize("error, words", [
    (botocore.exceptions.NoCredentialsError(),
     f"no AWS credentials found; {CREDENTIALS} (or AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY)"),
    (botocore.exceptions.ProfileNotFound(profile="prod"),
     f"the AWS profile 'prod' is not in the AWS configuration files; {CREDENTIALS}"),
    (botocore.exceptions.NoRegionError(),
     "no AWS region: set region in the configuration (or --region)"),
    (botocore.exceptions.EndpointConnectionError(endpoint_url="https://ec2.x.amazonaws.com/"),
     "cannot reach AWS at https://ec2.x.amazonaws.com/: check the network (and the region, "
     "and aws_endpoint_url when one is set)"),
    (_client_error("ExpiredToken", message="The security token included in the request is "
                                           "expired"),
     "AWS refused DescribeVpcs (ExpiredToken: The security token included in the request is "
     f"expired); {CREDENTIALS} (a session that expired?)"),
    (_client_error("UnauthorizedOperation", "CreateNatGateway", "not allowed"),
     "AWS refused CreateNatGateway (UnauthorizedOperation: not allowed)"),
    (ValueError("x"), None),
])
def test_aws_errors_in_words(error, words):
    assert output.aws_problem(error) == words


class Mirror:
    def __init__(self):
        self.stored = {}

    def url_of(self, path):
        return "s3://bucket/vpc/" + path.rsplit("/", 2)[-2] + "/" + path.rsplit("/", 1)[-1]

    def store(self, path):
        with open(path, encoding="utf-8") as f:
            self.stored[path] = f.read()


def test_the_log_in_s3_ends_with_the_runs_last_lines(tmp_path, records):
    from morvent.core import backup

    mirror = Mirror()
    backup.set_mirror(tmp_path, mirror)
    try:
        with output.RunLog() as run_log:
            run_log.open(str(tmp_path), "execute")
            output.say("morvent: execute done", stream=io.StringIO())
            logging.getLogger("morvent.lib.lock").info("- Released the lock")
    finally:
        backup.set_mirror(tmp_path, None)
    stored = mirror.stored[run_log.path]
    lines = stored.splitlines()
    assert "morvent.result: morvent: execute done" in lines[-3]
    assert "- Released the lock" in lines[-2]
    assert lines[-1].endswith(f"- The log of this run goes to {mirror.url_of(run_log.path)}")


class Tty(io.StringIO):
    def __init__(self, answer):
        super().__init__()
        self.answer = answer

    def readline(self):
        return self.answer

    def close(self):
        self.closed_text = self.getvalue()


@pytest.mark.parametrize("answer, yes", [("yes\n", True), ("n\n", False), ("", False)])
def test_the_question_goes_to_the_terminal_itself(monkeypatch, answer, yes):
    # Standard error goes to a file: the plan and the question go to the terminal.
    tty = Tty(answer)
    monkeypatch.setattr(output, "_terminal", lambda: tty)
    monkeypatch.setattr(sys, "stderr", io.StringIO())
    assert output.ask("Carry out these 3 steps?", ["[1/3] Delete NAT gateway nat-1"]) is yes
    assert tty.closed_text.startswith("[1/3] Delete NAT gateway nat-1\n"
                                      "Carry out these 3 steps? [yes/no]: ")
    assert sys.stderr.getvalue() == ""


# -- verdicts: the rollback, the zones that leave with another address ------------------

def _record(name, n, mark_begin=False):
    return {"module": "m", "qualname": name, "state": {"n": n}, "mark_begin": mark_begin}


S1, MOVE, DEL0 = _record("Snap", 1, True), _record("Move", 2), _record("NatDel", 3)
DEL1, HA1 = _record("NatDel", 7, True), _record("Spoke", 8)


@pytest.mark.parametrize("undone, held, left", [
    ([], [], None),                                   # nothing to undo
    ([HA1, DEL1], [S1, MOVE, DEL0], None),            # the group undone to its start
    ([DEL1], [S1, MOVE, DEL0], None),
    ([S1], [], None),                                 # down to an empty history
    ([DEL1], [S1, MOVE, DEL0, DEL1], [DEL1]),         # the opening step's undo failed
    ([HA1], [S1, MOVE, DEL0, DEL1, HA1], [HA1, DEL1]),  # the newest undo failed
    ([HA1], [S1, MOVE, DEL0, DEL1], [DEL1]),          # ... and its record is gone
])
def test_a_rollback_is_complete_only_when_every_undo_happened(undone, held, left):
    from morvent.run.execute import rollback_left

    assert rollback_left(undone, held) == left


def _egress(*exits):
    from morvent.core.egress import Egress, Exit

    return Egress([Exit(t, z, target, ip) for t, z, target, ip in exits])


RECORDS = [{"subnet_id": "subnet-a", "availability_zone": "za", "eip": "198.51.100.1"},
           {"subnet_id": "subnet-b", "availability_zone": "zb", "eip": "198.51.100.2"},
           {"subnet_id": "subnet-c", "availability_zone": "zc", "eip": "198.51.100.3"}]


@pytest.mark.parametrize("exits, lines", [
    ([("rtb-a", "za", "i-1 (spoke)", "198.51.100.1"), ("rtb-b", "zb", "i-2", "198.51.100.2")],
     []),
    ([("rtb-a", "za", "i-1 (spoke)", "198.51.100.1"), ("rtb-c", "zc", "i-1", "198.51.100.1"),
      ("rtb-c2", "zc", "i-1", "198.51.100.1"), ("rtb-x", "zx", "i-1", "198.51.100.1")],
     ["zc leaves with 198.51.100.1 (the address of za), not its own 198.51.100.3: rtb-c, "
      "rtb-c2"]),
    ([("rtb-b", "zb", "nat-9", "203.0.113.9"), ("rtb-b2", "zb", "none", None)],
     ["zb leaves with 203.0.113.9 (an address of no zone's NAT gateway), not its own "
      "198.51.100.2: rtb-b"]),
])
def test_zones_leaving_with_another_address_are_named(exits, lines):
    from morvent.core.egress import other_addresses, own_addresses

    assert other_addresses(_egress(*exits), own_addresses(RECORDS)) == lines


@pytest.mark.parametrize("records, ha, done, lines", [
    (RECORDS, {1: 8, 2: 10}, 0, [
        "za leaves with 198.51.100.2 (zb's address, through its NAT gateway) after step 2 "
        "until step 6, not with its own 198.51.100.1",
        "zb leaves with 198.51.100.1 (za's address, through the primary spoke gateway) after "
        "step 6 until step 8, not with its own 198.51.100.2",
        "zc leaves with 198.51.100.1 (za's address, through the primary spoke gateway) after "
        "step 6 until step 10, not with its own 198.51.100.3"]),
    # hs_mode 1: the third zone keeps going through the primary
    (RECORDS, {1: 8}, 8, [
        "zc leaves with 198.51.100.1 (za's address, through the primary spoke gateway) after "
        "step 6 to the end of the run and after it (no spoke gateway of its own), not with "
        "its own 198.51.100.3"]),
    # two NAT gateways in one zone: nothing leaves with another zone's address
    ([RECORDS[0], {**RECORDS[1], "availability_zone": "za"}], {1: 8}, 0, []),
])
def test_plan_names_the_steps_a_zone_leaves_through_another_zones_address(records, ha, done,
                                                                         lines):
    from morvent.core.egress import borrowed_during_run

    assert borrowed_during_run(records, 2, 6, ha, 11, done=done) == lines


@pytest.mark.parametrize("kind, shown", [
    ("create-ha", "  **Error** the HA spoke gateway of spoke1 in subnet-b with 198.51.100.2 "
                  "was not created"),
    ("create-primary", "  **Error** Spoke gateway spoke1 creation failure"),
])
def test_a_failed_ha_gateway_is_named_as_such(records, kind, shown):
    native_lines.step_started(kind, {"subnet": "subnet-b", "elastic_ip": "198.51.100.2"})
    try:
        logging.getLogger("morvent.commands.brindlemark").error(
            "  **Error** Spoke gateway spoke1 creation failure")
    finally:
        native_lines.step_started(None, {})
    assert records[-1][1:] == ("ERROR", shown)


def test_aws_refusals_in_native_lines_lose_botocores_phrasing(records):
    logging.getLogger("morvent.commands.brindlemark").error(
        "  **Error** An error occurred (UnauthorizedOperation) when calling the "
        "CreateNatGateway operation: not allowed")
    assert records[-1][1:] == ("ERROR", "  **Error** AWS refused CreateNatGateway "
                                        "(UnauthorizedOperation): not allowed")
