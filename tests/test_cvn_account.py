"""CreateCorvaneAccount against a fake controller transport."""

import logging

import pytest

from awsconf_fixtures import MINIMAL, globals_state  # noqa: F401
from morvent.core.ConfigAdaptor import ConfigAdaptor
from morvent.lib import corvane_backend
from morvent.lib.cvn_account import AccountSetupError, CreateCorvaneAccount


class Response:
    def __init__(self, body):
        self.body = body

    def json(self):
        if isinstance(self.body, Exception):
            raise self.body
        return self.body


class FakeController:
    """Answers list_accounts and setup_account_profile like the controller."""

    def __init__(self, accounts=(), create_answer=None, list_answer=None):
        self.accounts = [dict(a) for a in accounts]
        self.create_answer = create_answer
        self.list_answer = list_answer
        self.calls = []

    def send(self, *, api_endpoint_url, request_method="GET", payload=None,
             keyword_for_log="", indent=""):
        self.calls.append((api_endpoint_url, request_method, dict(payload)))
        action = payload["action"]
        if action == "list_accounts":
            if self.list_answer is not None:
                return Response(self.list_answer)
            return Response({"return": True, "results": {"account_list": self.accounts}})
        assert action == "setup_account_profile"
        if self.create_answer is not None:
            return Response(self.create_answer)
        self.accounts.append({"account_name": payload["account_name"], "cloud_type": 1,
                              "account_number": payload["aws_account_number"]})
        return Response({"return": True, "results": "account created"})

    def actions(self):
        return [c[2]["action"] for c in self.calls]


def handle(body):
    # The transport's handler: True on success, False (after logging) otherwise.
    return isinstance(body, dict) and body.get("return") is True


@pytest.fixture
def controller(monkeypatch, globals_state):
    fake = FakeController()
    monkeypatch.setattr(corvane_backend, "_send_corvane_api", fake.send)
    monkeypatch.setattr(corvane_backend, "handleControllerApiFailure", handle)
    globals_state.CID = "cid-123"
    globals_state.controller_ip = "127.0.0.1:8443"
    return fake


def adaptor(**changes):
    return ConfigAdaptor({**MINIMAL, "aws_account_number": "123456789012", **changes})


def test_absent_account_is_created_with_the_controllers_fields(controller):
    CreateCorvaneAccount(adaptor()).execute()
    (url1, method1, listing), (url2, method2, create) = controller.calls
    assert (url1, method1, listing) == ("https://127.0.0.1:8443/v1/api", "GET",
                                        {"action": "list_accounts", "CID": "cid-123"})
    assert (url2, method2) == ("https://127.0.0.1:8443/v1/api", "POST")
    assert list(create.items()) == [
        ("action", "setup_account_profile"), ("CID", "cid-123"),
        ("account_name", "prod-acct"), ("cloud_type", 1),
        ("aws_account_number", "123456789012"), ("aws_iam", "true"),
        ("aws_role_arn", "arn:aws:iam::123456789012:role/corvane-role-app"),
        ("aws_role_ec2", "arn:aws:iam::123456789012:role/corvane-role-ec2")]


def test_running_again_creates_nothing(controller):
    CreateCorvaneAccount(adaptor()).execute()
    CreateCorvaneAccount(adaptor()).execute()
    assert controller.actions() == ["list_accounts", "setup_account_profile", "list_accounts"]


def test_dry_run_only_says_what_it_would_create(controller, caplog, globals_state):
    globals_state.dry_run = True
    caplog.set_level(logging.INFO)
    CreateCorvaneAccount(adaptor()).execute()
    assert controller.actions() == ["list_accounts"]
    assert any("would create controller account prod-acct" in r.getMessage()
               for r in caplog.records)


@pytest.mark.parametrize("existing, error", [
    ({"account_name": "prod-acct", "cloud_type": 1, "account_number": "999999999999"},
     "belongs to AWS account 999999999999"),
    ({"account_name": "prod-acct", "cloud_type": 8, "account_number": "123456789012"},
     "not an AWS account"),
])
def test_existing_account_of_the_name_that_is_not_ours_is_refused(controller, existing,
                                                                  error):
    controller.accounts = [existing]
    with pytest.raises(AccountSetupError, match=error):
        CreateCorvaneAccount(adaptor()).execute()
    assert controller.actions() == ["list_accounts"]


@pytest.mark.parametrize("list_answer", [
    {"return": False, "reason": "CID is invalid or expired."},
    {"return": True, "results": "no accounts here"},
    ValueError("not json"),
])
def test_listing_failure_stops_the_run(controller, list_answer):
    controller.list_answer = list_answer
    with pytest.raises(AccountSetupError):
        CreateCorvaneAccount(adaptor()).execute()


def test_creation_refused_stops_the_run(controller):
    controller.create_answer = {"return": False, "reason": "Invalid role ARN"}
    with pytest.raises(AccountSetupError, match="did not create account 'prod-acct'"):
        CreateCorvaneAccount(adaptor()).execute()


def test_created_meanwhile_by_someone_else_is_fine_when_it_is_ours(controller, monkeypatch):
    def create_race(*, payload, **kw):
        if payload["action"] == "setup_account_profile":
            controller.accounts.append({"account_name": "prod-acct", "cloud_type": 1,
                                        "account_number": "123456789012"})
            return Response({"return": False, "reason": "Account prod-acct already exists"})
        return FakeController.send(controller, payload=payload, **kw)

    monkeypatch.setattr(corvane_backend, "_send_corvane_api", create_race)
    CreateCorvaneAccount(adaptor()).execute()
    assert controller.actions()[-1] == "list_accounts"


class FakeSts:
    def __init__(self):
        self.calls = 0

    def get_caller_identity(self):
        self.calls += 1
        return {"Account": "555555555555"}


class FakeClients:
    def __init__(self):
        self.sts = FakeSts()

    def getStsClient(self):
        return self.sts


def test_account_number_is_read_from_aws_only_when_needed(controller, globals_state):
    globals_state.aws_client_manager = clients = FakeClients()
    controller.accounts = [{"account_name": "prod-acct", "cloud_type": 1,
                            "account_number": "555555555555"}]
    CreateCorvaneAccount(adaptor(aws_account_number=None)).execute()
    assert clients.sts.calls == 0

    controller.accounts = []
    CreateCorvaneAccount(adaptor(aws_account_number=None)).execute()
    assert clients.sts.calls == 1
    assert controller.calls[-1][2]["aws_account_number"] == "555555555555"


@pytest.mark.parametrize("region, partition", [("cn-north-1", "aws-cn"),
                                               ("us-gov-west-1", "aws-us-gov")])
def test_default_roles_follow_the_partition(controller, region, partition):
    CreateCorvaneAccount(adaptor(region=region)).execute()
    create = controller.calls[-1][2]
    assert create["aws_role_arn"] == f"arn:{partition}:iam::123456789012:role/corvane-role-app"
