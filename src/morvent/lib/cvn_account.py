"""The controller's cloud account for the VPC.

The controller creates spoke gateways in an AWS account it knows by name
(``aws_account_name``).  ``CreateCorvaneAccount(ca).execute()`` makes sure
that account exists, creating it when it does not; running it again changes
nothing.  An account of that name that belongs to another AWS account number
than the configured one is refused: gateways would land in the wrong account.
"""

from __future__ import annotations

import logging
from typing import Any

from morvent.core.Globals import Globals
from morvent.lib import corvane_backend

AWS_CLOUD_TYPE = 1


class AccountSetupError(Exception):
    """The controller account could not be checked or created."""


def _partition(region: str) -> str:
    if region.startswith("cn-"):
        return "aws-cn"
    if region.startswith("us-gov-"):
        return "aws-us-gov"
    return "aws"


def default_role_arns(account_number: str, region: str) -> tuple[str, str]:
    """The controller's usual app and EC2 role ARNs in ``account_number``."""
    base = f"arn:{_partition(region)}:iam::{account_number}:role/"
    return base + "corvane-role-app", base + "corvane-role-ec2"


class CreateCorvaneAccount:
    """Makes sure the controller knows the cloud account ``ca.aws_account_name``.

    ``ca`` is the configuration adaptor; besides the account name it may give
    ``aws_account_number`` (read from STS when None), ``aws_role_app`` and
    ``aws_role_ec2`` (the controller's usual role names when None).  The
    controller session comes from ``Globals.CID`` and ``Globals.controller_ip``.
    """

    def __init__(self, ca: Any):
        self.ca = ca

    def _api_url(self) -> str:
        return "https://" + str(Globals.controller_ip) + "/v1/api"

    def _call(self, method: str, payload: dict) -> dict:
        response = corvane_backend._send_corvane_api(
            api_endpoint_url=self._api_url(), request_method=method, payload=payload,
            keyword_for_log="cvn-account---", indent="    ")
        try:
            body = response.json()
        except ValueError:
            raise AccountSetupError(f"the controller's answer to {payload['action']} is not "
                                    "JSON") from None
        return body

    def _account_number(self) -> str:
        number = getattr(self.ca, "aws_account_number", None)
        if number:
            return str(number)
        manager = Globals.aws_client_manager
        try:
            if manager is None:
                from morvent.lib.aws_cred import AwsClientManager
                manager = AwsClientManager(self.ca.config)
            return manager.getStsClient().get_caller_identity()["Account"]
        except Exception as e:
            raise AccountSetupError("aws_account_number is not in the configuration and could "
                                    f"not be read from AWS: {e}") from e

    def list_accounts(self) -> list[dict]:
        body = self._call("GET", {"action": "list_accounts", "CID": Globals.CID})
        if not corvane_backend.handleControllerApiFailure(body):
            raise AccountSetupError("could not list the controller's accounts")
        results = body.get("results")
        accounts = results.get("account_list") if isinstance(results, dict) else None
        if not isinstance(accounts, list):
            raise AccountSetupError("unexpected answer to list_accounts: no account_list")
        return [a for a in accounts if isinstance(a, dict)]

    def find_account(self) -> dict | None:
        """The controller's record of our account, or None; refuses a mismatch."""
        name = self.ca.aws_account_name
        configured = getattr(self.ca, "aws_account_number", None)
        for account in self.list_accounts():
            if account.get("account_name") != name:
                continue
            if account.get("cloud_type", AWS_CLOUD_TYPE) != AWS_CLOUD_TYPE:
                raise AccountSetupError(f"controller account {name!r} is not an AWS account")
            known = account.get("account_number")
            if configured and known and str(known) != str(configured):
                raise AccountSetupError(
                    f"controller account {name!r} belongs to AWS account {known}, but the "
                    f"configuration says {configured}")
            return account
        return None

    def _roles(self, number: str) -> tuple[str, str]:
        role_app, role_ec2 = default_role_arns(number, self.ca.region)
        return (getattr(self.ca, "aws_role_app", None) or role_app,
                getattr(self.ca, "aws_role_ec2", None) or role_ec2)

    def intent(self) -> dict[str, Any]:
        """What ``execute()`` would do, found with read-only requests: the account
        ``name``, ``action`` ("reuse" or "create") and, to create, the AWS account
        number and the two role ARNs.  AccountSetupError as ``execute()``."""
        name = self.ca.aws_account_name
        if self.find_account() is not None:
            return {"name": name, "action": "reuse"}
        number = self._account_number()
        role_app, role_ec2 = self._roles(number)
        return {"name": name, "action": "create", "aws_account_number": number,
                "aws_role_app": role_app, "aws_role_ec2": role_ec2}

    def execute(self) -> None:
        log = logging.getLogger(__name__)
        name = self.ca.aws_account_name
        if self.find_account() is not None:
            log.info("- Controller account %s exists", name)
            return

        number = self._account_number()
        role_app, role_ec2 = self._roles(number)
        if Globals.dry_run:
            log.info("- Dry run: would create controller account %s for AWS account %s", name,
                     number)
            return
        log.info("- Create controller account %s for AWS account %s", name, number)
        body = self._call("POST", {
            "action": "setup_account_profile",
            "CID": Globals.CID,
            "account_name": name,
            "cloud_type": AWS_CLOUD_TYPE,
            "aws_account_number": number,
            "aws_iam": "true",
            "aws_role_arn": role_app,
            "aws_role_ec2": role_ec2,
        })
        if isinstance(body, dict) and body.get("return") is not True \
                and "already exists" in str(body.get("reason", "")):
            # Created by someone else since we listed: check it is ours.
            if self.find_account() is not None:
                log.info("  controller account %s already exists", name)
                return
        if not corvane_backend.handleControllerApiFailure(body):
            raise AccountSetupError(f"the controller did not create account {name!r}")
        log.info("  Returned: %s", body.get("results"))
