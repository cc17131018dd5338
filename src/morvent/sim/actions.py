"""The controller's actions: sessions, accounts and spoke gateways.

`ControllerState.handle(action, fields)` answers one request as the
controller's REST API does: {"return": true, "results": ...} on success,
{"return": false, "reason": ...} on any failure.  The caller serialises
calls (the HTTP server holds a lock around them).
"""

from __future__ import annotations

import logging
import re
import secrets
import time
from dataclasses import dataclass
from typing import Any, Callable

from botocore.exceptions import BotoCoreError, ClientError

from .gateways import ControllerError, Gateway, GatewayCloud, check_name, check_size

INVALID_CID = "CID is invalid or expired."
BAD_LOGIN = "Invalid username or password"
ACCOUNT_NUMBER = re.compile(r"^[0-9]{12}$")

log = logging.getLogger(__name__)


@dataclass
class Account:
    account_name: str
    account_number: str
    cloud_type: int = 1
    aws_iam: bool = True
    aws_role_arn: str = ""
    aws_role_ec2: str = ""

    def record(self) -> dict:
        return {"account_name": self.account_name, "cloud_type": self.cloud_type,
                "account_number": self.account_number, "aws_iam": self.aws_iam,
                "aws_role_arn": self.aws_role_arn, "aws_role_ec2": self.aws_role_ec2}


class Reply:
    """Results of a successful action plus extra top-level answer keys."""

    def __init__(self, results: Any, **extra: Any) -> None:
        self.results = results
        self.extra = extra


@dataclass
class _Action:
    run: Callable[["ControllerState", dict], Any]
    required: tuple[str, ...] = ()
    session: bool = True


_ACTIONS: dict[str, _Action] = {}


def action(name: str, *required: str, session: bool = True):
    def register(func):
        _ACTIONS[name] = _Action(func, required, session)
        return func
    return register


def known_actions() -> list[str]:
    return sorted(_ACTIONS)


class ControllerState:
    def __init__(self, cloud: GatewayCloud | None, users: dict[str, str],
                 version: str, session_ttl: float | None = None) -> None:
        self.cloud = cloud
        self.users = dict(users)
        self.version = version
        self.session_ttl = session_ttl
        self.sessions: dict[str, tuple[str, float]] = {}
        self.accounts: dict[str, Account] = {}
        self.gateways: dict[str, Gateway] = {}

    # -- dispatch ------------------------------------------------------------

    def handle(self, name: str | None, fields: dict[str, str], trusted: bool = False) -> dict:
        """Answer one request; `trusted` skips the session check (calls made
        by the simulator's own helpers, not over the API)."""
        if not name:
            return _fail("Missing required parameter: action")
        entry = _ACTIONS.get(name)
        if entry is None:
            return _fail(f"Unknown action: {name}")
        if entry.session and not trusted and not self.session_valid(fields.get("CID")):
            return _fail(INVALID_CID)
        missing = [f for f in entry.required if not fields.get(f)]
        if missing:
            noun = "parameter" if len(missing) == 1 else "parameters"
            return _fail(f"Missing required {noun}: {', '.join(missing)}")
        try:
            results = entry.run(self, fields)
        except ControllerError as err:
            return _fail(str(err))
        except (ClientError, BotoCoreError) as err:
            log.warning("action %s failed in the simulated cloud: %s", name, err)
            return _fail(f"Cloud request failed: {err}")
        if isinstance(results, Reply):
            return {"return": True, **results.extra, "results": results.results}
        return {"return": True, "results": results}

    # -- sessions ------------------------------------------------------------

    def open_session(self, username: str) -> str:
        cid = secrets.token_hex(16)
        self.sessions[cid] = (username, time.monotonic())
        return cid

    def session_valid(self, cid: str | None) -> bool:
        if not cid or cid not in self.sessions:
            return False
        if self.session_ttl is not None:
            _, opened = self.sessions[cid]
            if time.monotonic() - opened > self.session_ttl:
                del self.sessions[cid]
                return False
        return True

    # -- helpers -------------------------------------------------------------

    def need_cloud(self) -> GatewayCloud:
        if self.cloud is None:
            raise ControllerError("This controller has no cloud account endpoint configured")
        return self.cloud

    def gateway(self, name: str) -> Gateway:
        gw = self.gateways.get(name)
        if gw is None:
            raise ControllerError(f"Gateway {name} does not exist")
        return gw

    def members(self, primary: Gateway) -> list[Gateway]:
        """The primary followed by its HA gateways, oldest first."""
        return [primary] + [g for g in self.gateways.values() if g.primary == primary.name]

    def _owners(self) -> dict[str, str]:
        return {g.instance_id: g.name for g in self.gateways.values() if g.instance_id}

    def ha_name(self, primary: str) -> str:
        name = f"{primary}-hagw"
        n = 2
        while name in self.gateways:
            name = f"{primary}-hagw-{n}"
            n += 1
        return name

    def create(self, *, name: str, kind: str, account_name: str, vpc_id: str, region: str,
               cidr: str, size: str, eip: str | None, primary: str | None = None) -> Gateway:
        check_name(name)
        check_size(size)
        if name in self.gateways:
            raise ControllerError(f"Gateway {name} already exists")
        if account_name not in self.accounts:
            raise ControllerError(f"Account {account_name} does not exist")
        cloud = self.need_cloud()
        number = self.accounts[account_name].account_number
        subnet = cloud.find_subnet(region, vpc_id, cidr, number)
        gw = Gateway(name=name, kind=kind, account_name=account_name, vpc_id=vpc_id,
                     region=region, subnet_id=subnet["SubnetId"], subnet_cidr=cidr,
                     zone=subnet["AvailabilityZone"], size=size, primary=primary,
                     account_number=number)
        cloud.launch(gw, eip, self._owners())
        self.gateways[name] = gw
        log.info("gateway %s up in %s (%s)", name, cidr, gw.public_ip)
        if primary is not None:
            head = self.gateways[primary]
            if head.snat:
                cloud.snat_repoint(self.members(head))
        return gw

    def delete(self, gw: Gateway) -> list[str]:
        """Delete a gateway; returns notes on routes that could not go back."""
        has = [g.name for g in self.gateways.values() if g.primary == gw.name]
        if has:
            raise ControllerError(
                f"Gateway {gw.name} still has HA gateway(s) {', '.join(has)}: delete them first")
        cloud = self.need_cloud()
        notes: list[str] = []
        if gw.snat:
            # Without its gateway the SNAT routes would lead nowhere.
            notes = cloud.snat_restore(gw)
            for note in notes:
                log.warning("%s", note)
        if gw.is_ha:
            head = self.gateways.get(gw.primary)
            if head is not None and head.snat:
                cloud.snat_repoint([m for m in self.members(head) if m is not gw])
        cloud.terminate(gw)
        del self.gateways[gw.name]
        log.info("gateway %s deleted", gw.name)
        return notes

    def record(self, gw: Gateway) -> dict:
        record = {
            "gw_name": gw.name,
            "vpc_id": gw.vpc_id,
            "vpc_region": gw.region,
            "account_name": gw.account_name,
            "cloud_type": 1,
            "public_subnet": gw.subnet_cidr,
            "gw_subnet_id": gw.subnet_id,
            "private_ip": gw.private_ip,
            "public_ip": gw.public_ip,
            "vpc_size": gw.size,
        }
        if gw.is_ha:
            record["primary_gw_name"] = gw.primary
        else:
            record["hagw_details_list"] = [self.record(g) for g in self.members(gw)[1:]]
        return record

    def snat_on(self, gw: Gateway) -> bool:
        head = self.gateways.get(gw.primary) if gw.is_ha else gw
        return bool(head and head.snat)


def _fail(reason: str) -> dict:
    return {"return": False, "reason": reason}


def _cloud_type(fields: dict) -> None:
    value = fields.get("cloud_type", "1")
    if str(value) != "1":
        raise ControllerError(f"Unsupported cloud_type {value}: this controller manages AWS (1) only")


# -- sessions and accounts ------------------------------------------------------

@action("login", "username", "password", session=False)
def _login(state: ControllerState, f: dict) -> Reply:
    user = f["username"]
    if state.users.get(user) != f["password"]:
        raise ControllerError(BAD_LOGIN)
    # The session id travels beside "results", not inside it.
    return Reply(f"User login:{user} authorized successfully", CID=state.open_session(user))


@action("list_version_info")
def _version(state: ControllerState, f: dict) -> dict:
    return {"current_version": state.version}


@action("list_accounts")
def _list_accounts(state: ControllerState, f: dict) -> dict:
    return {"account_list": [a.record() for a in state.accounts.values()]}


@action("setup_account_profile", "account_name", "cloud_type", "aws_account_number")
def _setup_account(state: ControllerState, f: dict) -> str:
    name = f["account_name"]
    _cloud_type(f)
    if name in state.accounts:
        raise ControllerError(f"Account {name} already exists")
    number = f["aws_account_number"]
    if not ACCOUNT_NUMBER.match(number):
        raise ControllerError(f"Invalid AWS account number {number!r}: expected 12 digits")
    iam = f.get("aws_iam", "true").lower() == "true"
    state.accounts[name] = Account(
        account_name=name, account_number=number, aws_iam=iam,
        aws_role_arn=f.get("aws_role_arn") or f"arn:aws:iam::{number}:role/corvane-role-app",
        aws_role_ec2=f.get("aws_role_ec2") or f"arn:aws:iam::{number}:role/corvane-role-ec2")
    return f"An account {name} has been set up successfully"


# -- gateway queries --------------------------------------------------------------

@action("list_vpcs_summary")
def _list_vpcs_summary(state: ControllerState, f: dict) -> list:
    wanted = f.get("gateway_name")
    account = f.get("account_name")
    if wanted:
        gw = state.gateway(wanted)
        return [state.record(gw)]
    return [state.record(g) for g in state.gateways.values()
            if not g.is_ha and (not account or g.account_name == account)]


@action("get_gateway_info", "gateway_name")
def _gateway_info(state: ControllerState, f: dict) -> dict:
    gw = state.gateway(f["gateway_name"])
    info = {
        "gw_name": gw.name,
        "gw_subnet_cidr": gw.subnet_cidr,
        "gw_subnet_id": gw.subnet_id,
        "vpc_size": gw.size,
        "public_ip": gw.public_ip,
        "private_ip": gw.private_ip,
        "vpc_id": gw.vpc_id,
        "vpc_region": gw.region,
        "account_name": gw.account_name,
        "snat": state.snat_on(gw),
    }
    if gw.is_ha:
        info["primary_gw_name"] = gw.primary
    return info


@action("list_primary_and_ha_spoke_gateways")
def _list_spokes(state: ControllerState, f: dict) -> list:
    return [{"name": g.name, "primary_gw_name": g.primary or g.name, "is_ha": g.is_ha,
             "gw_subnet_cidr": g.subnet_cidr, "vpc_id": g.vpc_id}
            for g in state.gateways.values()]


# -- multicloud (HS) gateways -----------------------------------------------------

@action("create_multicloud_primary_gateway", "cloud_type", "account_name", "vpc_id",
        "vpc_region", "gw_name", "gw_size", "gw_subnet")
def _create_primary(state: ControllerState, f: dict) -> str:
    _cloud_type(f)
    gw = state.create(name=f["gw_name"], kind="multicloud", account_name=f["account_name"],
                       vpc_id=f["vpc_id"], region=f["vpc_region"], cidr=f["gw_subnet"],
                       size=f["gw_size"], eip=f.get("eip") or None)
    return f"{gw.name} created successfully"


@action("create_multicloud_ha_gateway", "cloud_type", "primary_gw_name", "gw_size", "gw_subnet")
def _create_ha(state: ControllerState, f: dict) -> str:
    _cloud_type(f)
    head = state.gateway(f["primary_gw_name"])
    if head.is_ha:
        raise ControllerError(f"Gateway {head.name} is an HA gateway; name its primary {head.primary}")
    name = f.get("ha_gw_name")
    if not name:
        if f.get("autogen_hagw_name", "yes").lower() != "yes":
            raise ControllerError("Missing required parameter: ha_gw_name (autogen_hagw_name is not yes)")
        name = state.ha_name(head.name)
    gw = state.create(name=name, kind=head.kind, account_name=head.account_name,
                       vpc_id=head.vpc_id, region=head.region, cidr=f["gw_subnet"],
                       size=f["gw_size"], eip=f.get("eip") or None, primary=head.name)
    return f"{gw.name} created successfully"


def _deleted(name: str, notes: list[str]) -> str:
    message = f"Gateway {name} deleted successfully"
    if notes:
        message += "; SNAT routes restored except: " + "; ".join(notes)
    return message


@action("delete_multicloud_gateway", "gw_name")
def _delete_gateway(state: ControllerState, f: dict) -> str:
    return _deleted(f["gw_name"], state.delete(state.gateway(f["gw_name"])))


# -- classic gateways -----------------------------------------------------------------

@action("create_spoke_gw", "account_name", "gw_name", "gw_size", "public_subnet",
        "vpc_id", "region", "cloud_type")
def _create_classic(state: ControllerState, f: dict) -> str:
    _cloud_type(f)
    gw = state.create(name=f["gw_name"], kind="classic", account_name=f["account_name"],
                       vpc_id=f["vpc_id"], region=f["region"], cidr=f["public_subnet"],
                       size=f["gw_size"], eip=None)
    return f"Spoke gateway {gw.name} created successfully"


@action("enable_spoke_ha", "gw_name", "public_subnet")
def _enable_ha(state: ControllerState, f: dict) -> str:
    head = state.gateway(f["gw_name"])
    if head.is_ha:
        raise ControllerError(f"Gateway {head.name} is an HA gateway; name its primary {head.primary}")
    has = state.members(head)[1:]
    if has:
        raise ControllerError(f"HA is already enabled on {head.name} ({has[0].name})")
    gw = state.create(name=state.ha_name(head.name), kind=head.kind,
                       account_name=head.account_name, vpc_id=head.vpc_id, region=head.region,
                       cidr=f["public_subnet"], size=head.size, eip=None, primary=head.name)
    return f"HA gateway {gw.name} for {head.name} created successfully"


@action("disable_spoke_ha", "gw_name")
def _disable_ha(state: ControllerState, f: dict) -> str:
    head = state.gateway(f["gw_name"])
    if head.is_ha:
        raise ControllerError(f"Gateway {head.name} is an HA gateway; name its primary {head.primary}")
    has = state.members(head)[1:]
    if not has:
        return f"HA is not enabled on {head.name}; nothing to do"
    for gw in has:
        state.delete(gw)
    return f"HA disabled on {head.name}: deleted {', '.join(g.name for g in has)}"


@action("delete_container", "cloud_type", "gw_name")
def _delete_container(state: ControllerState, f: dict) -> str:
    _cloud_type(f)
    return _deleted(f["gw_name"], state.delete(state.gateway(f["gw_name"])))


# -- SNAT and size --------------------------------------------------------------------

@action("enable_snat", "gateway_name")
def _enable_snat(state: ControllerState, f: dict) -> str:
    gw = state.gateway(f["gateway_name"])
    if gw.is_ha:
        raise ControllerError(
            f"SNAT is set on a primary gateway; {gw.name} is an HA gateway of {gw.primary}")
    if gw.snat:
        # Taking the routes again would record the gateway itself as their
        # previous target and lose the way back.
        return f"Single IP SNAT is already enabled on {gw.name}"
    gw.snat_routes = state.need_cloud().snat_enable(state.members(gw))
    gw.snat = True
    return (f"Single IP SNAT enabled on {gw.name}: "
            f"{len(gw.snat_routes)} route table(s) now route through the gateway")


@action("disable_snat", "gateway_name")
def _disable_snat(state: ControllerState, f: dict) -> str:
    gw = state.gateway(f["gateway_name"])
    if gw.is_ha:
        raise ControllerError(
            f"SNAT is set on a primary gateway; {gw.name} is an HA gateway of {gw.primary}")
    if not gw.snat:
        return f"Single IP SNAT is not enabled on {gw.name}; nothing to do"
    notes = state.need_cloud().snat_restore(gw)
    count = len(gw.snat_routes)
    gw.snat = False
    gw.snat_routes = {}
    message = f"Single IP SNAT disabled on {gw.name}: {count - len(notes)} of {count} route table(s) restored"
    if notes:
        message += "; " + "; ".join(notes)
    return message


@action("change_gateway_size", "gw_name", "gw_size")
def _change_size(state: ControllerState, f: dict) -> str:
    gw = state.gateway(f["gw_name"])
    size = f["gw_size"]
    check_size(size)
    if size == gw.size:
        return f"Gateway {gw.name} is already of size {size}"
    state.need_cloud().resize(gw, size)
    gw.size = size
    return f"Gateway {gw.name} resized to {size}"
