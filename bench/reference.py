"""Interpreted reference of the two native modules, for the benchmarks.

A plain-Python rendering of the functions and classes of morvent.lib.spoke
and of Manager (execute and the NAT gateway refresh it calls) of
morvent.commands.brindlemark, written the way interpreted code of the
package would be: it binds the same collaborators at import, looks every one
of them up as a module global when it runs, makes the same calls in the same
order with the same arguments and keywords, and logs the same lines at the
same levels.  The benchmarks install the same fakes here as in the native
modules, so a figure next to a native one is the cost of the same work done
by the interpreter.

bench/run.py checks, before it times anything, that both give the same
requests, log lines and results for every measured case.  The one deliberate
difference: this module logs under its own name, "reference", which the
benchmarks configure exactly like the native modules' loggers.
"""

# Bound in the order the native modules bind them.
import requests
from morvent.lib.corvane_backend import handleControllerApiFailureAndExit
from morvent.lib.corvane_backend import handleControllerApiFailure
from morvent.lib.corvane_backend import _send_corvane_api
from morvent.core.exceptions import CorvaneRollbackException
from morvent.commands.abstract_command import AbstractCommand
from morvent.commands.memento import Memento
from morvent.core.Globals import Globals
import logging
from morvent.lib.commonlib import Common as comm

from morvent.lib.natgw import get_existing_natgws
from morvent.lib.gateway_size import DetermineGwSizeCmd
from morvent.lib.aws_cred import AwsClientManager
from morvent.lib.route_table import backupAllRtbs
from morvent.lib.s3 import S3BackupCmdV2
from morvent.lib.corvane_backend import getCid
from morvent.lib.natgw import NatGwCmd
from morvent.core.ConfigAdaptor import ConfigAdaptor
from morvent.commands.history import CommandHistory
from morvent.commands.history import MementoHistory
from morvent.commands.base_case_handler import BaseCaseHandler
from morvent.lib.test import Test
from morvent.lib.test import TestCmd
from morvent.lib.natgw import get_natgw_by_subnet
from morvent.lib.route_table import NatGwTrafficCmd
from morvent.lib.route_table import SnapshotRTCmd
from morvent.lib.cvn_account import CreateCorvaneAccount
from morvent.commands.base_case_handler import logged
import os
import traceback


# -- step outcomes -------------------------------------------------------------

_UNKNOWN = object()


def _no_answer(e):
    """Why `e` left a step's outcome unknown, or None for any other error.

    requests' own errors are named by their class only: their text may carry
    the URL, with the session id in the query string.
    """
    if isinstance(e, requests.RequestException):
        return type(e).__name__
    if isinstance(e, (ValueError, KeyError, IndexError, TypeError)):
        return f"{type(e).__name__}: {e}"
    return None


def _reason(answer):
    if isinstance(answer, dict):
        for key in ("reason", "results"):
            if key in answer:
                return answer[key]
    return answer


def _log_returned(logger, answer):
    if "results" in answer:
        returned = answer["return"]
        results = answer["results"]
        logger.info(f"  Returned: {returned}  Result: {results}")
    else:
        returned = answer["return"]
        reason = answer.get("reason")
        logger.info(f"  Returned: {returned}  Reason: {reason}")


def _classic_names(r):
    names = []
    for gw in r["results"]:
        names.append(gw["gw_name"])
        if "hagw_details_list" in gw:
            names.extend(ha["gw_name"] for ha in gw["hagw_details_list"])
    return names


def _gateway_gone(logger, CID, url, name, classic=False):
    try:
        if classic:
            r = list_gateway_info(api_endpoint_url=url, CID=CID).json()
        else:
            data = {"CID": CID, "action": "list_primary_and_ha_spoke_gateways"}
            r = requests.post(url, data=data, verify=Globals.controller_verify,
                              timeout=Globals.controller_timeout).json()
        if r["return"] == True:  # noqa: E712
            names = _classic_names(r) if classic else [x["name"] for x in r["results"]]
            return name not in names
        why = _reason(r)
    except Exception as e:
        why = _no_answer(e)
        if why is None:
            raise
    logger.error(f"  **Error** could not check whether spoke gateway {name} is still there: "
                 f"{why}")
    return False


def _gateway_detail(logger, CID, url, name, key):
    data = {"CID": CID, "action": "get_gateway_info", "gateway_name": name}
    try:
        r = requests.get(url, params=data, verify=Globals.controller_verify,
                         timeout=Globals.controller_timeout).json()
        if r["return"] == True:  # noqa: E712
            return r["results"][key]
        why = _reason(r)
    except Exception as e:
        why = _no_answer(e)
        if why is None:
            raise
    logger.error(f"  **Error** could not read {key} of spoke gateway {name}: {why}")
    return _UNKNOWN


def _post_unless_accepted(logger, url, data, name):
    try:
        response = requests.post(url, data=data, verify=Globals.controller_verify,
                                 timeout=Globals.controller_timeout)
        r = response.json()
    except Exception as e:
        why = _no_answer(e)
        if why is None:
            raise
        logger.error(f"  **Error** no usable answer to {data['action']} for spoke gateway {name}: "
                     f"{why}")
        return False, why
    if handleControllerApiFailure(r) == True:  # noqa: E712
        logger.info(f"  {response.json()}")
        return True, None
    return False, _reason(r)


def _delete_gateway(logger, CID, url, data, name, classic=False):
    accepted, reason = _post_unless_accepted(logger, url, data, name)
    if accepted:
        return None
    if _gateway_gone(logger, CID, url, name, classic):
        logger.info(f"  spoke gateway {name} is gone: counted as deleted")
        return None
    raise CorvaneRollbackException(f"Spoke gateway {name} was not deleted: {reason}")


# -- queries -------------------------------------------------------------------

def getSpokeInfo(info, subnet_cidr):
    if info["public_subnet"] == subnet_cidr:
        return {"gw_private_ip": info["private_ip"], "gw_name": info["gw_name"],
                "gw_public_ip": info["public_ip"], "gw_subnet_id": info["gw_subnet_id"],
                "gw_subnet_cidr": info["public_subnet"]}
    if "hagw_details_list" not in info:
        return {"gw_name": None}
    for x in info["hagw_details_list"]:
        if x["public_subnet"] == subnet_cidr:
            return {"gw_private_ip": x["private_ip"], "gw_name": x["gw_name"],
                    "gw_public_ip": x["public_ip"], "gw_subnet_id": x["gw_subnet_id"],
                    "gw_subnet_cidr": x["public_subnet"]}
    return {"gw_name": None}


def list_gateway_info(api_endpoint_url="", CID="", vpc_access_account_name="", acx_gw_only="no",
                      gw_name=None, keyword_for_log="cvn-migration-function---"):
    data = {"action": "list_vpcs_summary", "CID": CID, "account_name": vpc_access_account_name,
            "acx_gw_only": acx_gw_only, "gateway_name": gw_name}
    return _send_corvane_api(api_endpoint_url=api_endpoint_url, request_method="GET",
                             payload=data, keyword_for_log=keyword_for_log, indent="    ")


def getSubnetWithSpokeGw(CID, controller_api_url, gw_names):
    logger = logging.getLogger(__name__)
    result = []
    for name in gw_names:
        data = {"CID": CID, "action": "get_gateway_info", "gateway_name": name}
        response = requests.get(controller_api_url, data=data, verify=Globals.controller_verify,
                                timeout=Globals.controller_timeout).json()
        if response["return"] == False:  # noqa: E712 - Python equality on purpose
            logger.error(f"{response}")
            continue
        results = response["results"]
        result.append({"gw_name": results["gw_name"], "cidr": results["gw_subnet_cidr"]})
    return result


# -- SNAT and size -------------------------------------------------------------

def changeSpokeSize(CID, controller_api_url, spoke_gw_name, spoke_gw_size):
    logger = logging.getLogger(__name__)
    logger.info(f"- Set spoke gateway {spoke_gw_name} to {spoke_gw_size}")
    data = {"CID": CID, "action": "get_gateway_info", "gateway_name": spoke_gw_name}
    current = _UNKNOWN
    try:
        response = requests.get(controller_api_url, params=data,
                                verify=Globals.controller_verify,
                                timeout=Globals.controller_timeout)
        if Globals.dry_run:
            return None
        r = response.json()
        if handleControllerApiFailure(r) == False:  # noqa: E712
            why = _reason(r)
        else:
            current = r["results"]["vpc_size"]
    except Exception as e:
        why = _no_answer(e)
        if why is None:
            raise
        logger.error(f"  **Error** no usable answer to get_gateway_info for spoke gateway "
                     f"{spoke_gw_name}: {why}")
    if current is _UNKNOWN:
        raise CorvaneRollbackException(
            f"Spoke gateway {spoke_gw_name} was not resized to {spoke_gw_size}: its size could "
            f"not be read: {why}")
    if current == spoke_gw_size:
        logger.info(f"  no need to resize,  {spoke_gw_name} instance size is already set to "
                    f"{spoke_gw_size}")
        return None
    data = {"CID": CID, "action": "change_gateway_size", "gw_name": spoke_gw_name,
            "gw_size": spoke_gw_size}
    done = False
    try:
        response = requests.post(controller_api_url, data=data, verify=Globals.controller_verify,
                                 timeout=Globals.controller_timeout)
        r = response.json()
        done = handleControllerApiFailure(r) == True  # noqa: E712
        _log_returned(logger, response.json())
        if not done:
            why = _reason(r)
    except Exception as e:
        why = _no_answer(e)
        if why is None:
            raise
        done = False
        logger.error(f"  **Error** no usable answer to change_gateway_size for spoke gateway "
                     f"{spoke_gw_name}: {why}")
    if done:
        return None
    size = _gateway_detail(logger, CID, controller_api_url, spoke_gw_name, "vpc_size")
    if size is not _UNKNOWN and size == spoke_gw_size:
        logger.info(f"  spoke gateway {spoke_gw_name} is of size {spoke_gw_size} now")
        return None
    raise CorvaneRollbackException(
        f"Spoke gateway {spoke_gw_name} was not resized to {spoke_gw_size}: {why}")


# -- deployment ----------------------------------------------------------------

def deployClassicSpoke(CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc,
                       region, natGwInfos):
    logger = logging.getLogger(__name__)
    subnet_cidrs = [x.subnet_cidr for x in natGwInfos]
    gw_size = natGwInfos[0].gateway_size if spoke_gw_size is None else spoke_gw_size
    logger.info(f"- Deploy spoke gateway {spoke_gw_name} in {subnet_cidrs[0]}")
    if Globals.dry_run == False:  # noqa: E712
        data = {"CID": CID, "action": "create_spoke_gw", "account_name": account_name,
                "gw_name": spoke_gw_name, "gw_size": gw_size, "public_subnet": subnet_cidrs[0],
                "vpc_id": vpc, "region": region, "cloud_type": 1, "reuse_eip": "off"}
        response = requests.post(controller_api_url, data=data, verify=Globals.controller_verify,
                                 timeout=Globals.controller_timeout).json()
        handleControllerApiFailureAndExit(response)
        logger.info(f"  Returned: {response['return']}  Result: {response['results']}")
    if len(subnet_cidrs) > 1:
        ha_cidr = subnet_cidrs[1]
        logger.info(f"- Enable HA on spoke gateway {spoke_gw_name} in {ha_cidr}")
        if Globals.dry_run == False:  # noqa: E712
            data = {"CID": CID, "action": "enable_spoke_ha", "account_name": account_name,
                    "gw_name": spoke_gw_name, "public_subnet": ha_cidr}
            response = requests.post(controller_api_url, data=data,
                                     verify=Globals.controller_verify,
                                     timeout=Globals.controller_timeout).json()
            handleControllerApiFailureAndExit(response)
            logger.info(f"  Returned: {response['return']}  Result: {response['results']}")
    return None


def _find_existing(url, CID, gw_name, subnet_cidr, missing):
    answer = list_gateway_info(api_endpoint_url=url, CID=CID, vpc_access_account_name="",
                               acx_gw_only="no", gw_name=gw_name).json()
    if answer["return"] == True and answer["results"]:  # noqa: E712
        return getSpokeInfo(answer["results"][0], subnet_cidr)
    return {"gw_name": missing}


def _look_up(logger, url, CID, gw_name, subnet_cidr):
    try:
        return _find_existing(url, CID, gw_name, subnet_cidr, None)
    except Exception as e:
        why = _no_answer(e)
        if why is None:
            raise
    logger.error(f"  **Error** no usable answer to the look-up of spoke gateway {gw_name}: "
                 f"{why}; counted as not found")
    return {"gw_name": None}


def _seen(url, CID, name, subnet_cidr):
    """(spoke info, None) of the created gateway, or (None, why it is not seen)."""
    try:
        answer = list_gateway_info(api_endpoint_url=url, CID=CID, vpc_access_account_name="",
                                   acx_gw_only="no", gw_name=name).json()
        if answer["return"] != True:  # noqa: E712
            return None, _reason(answer)
        if not answer["results"]:
            return None, "the controller lists no such gateway"
        info = getSpokeInfo(answer["results"][0], subnet_cidr)
        if info["gw_name"] != None:  # noqa: E711
            return info, None
        return None, f"its record shows no gateway in {subnet_cidr}"
    except Exception as e:
        why = _no_answer(e)
        if why is None:
            raise
        return None, why


def _find_created(logger, CID, url, results, fallback_name, subnet_cidr, eip):
    names = []
    if isinstance(results, str) and results.split(" ")[0]:
        names.append(results.split(" ")[0])
    if fallback_name not in names:
        names.append(fallback_name)
    attempts = 0
    attempt = 1
    while attempts == 0 or attempt <= attempts:
        if attempt > 1:
            pause = getattr(Globals, "lookup_pause", 3.0)
            logger.info(f"  looking again in {pause} s")
            import time
            time.sleep(pause)
        for i, name in enumerate(names):
            info, why = _seen(url, CID, name, subnet_cidr)
            if info is not None:
                if attempt > 1 or i > 0:
                    logger.info(f"  spoke gateway {info['gw_name']} found in {subnet_cidr}: "
                                "counted as created")
                return info
            if attempts == 0:
                attempts = max(1, getattr(Globals, "lookup_attempts", 3))
            logger.error(f"  **Error** the created spoke gateway in {subnet_cidr} is not seen "
                         f"under the name {name} (look-up {attempt} of {attempts}): {why}")
        attempt += 1
    message = (f"Spoke gateway {names[0]} was created in {subnet_cidr} (the controller confirmed "
               f"it) but is not seen after {attempts} look-ups ({why}): stopped without undoing "
               "the steps before it")
    if eip is not None:
        message += f", whose undo needs Elastic IP {eip} that the gateway may hold"
    from morvent.core.exceptions import UnrecordedGateway
    raise UnrecordedGateway(message)


def _create_hs_gateway(logger, CID, url, data, fallback_name, subnet_cidr, eip):
    why = None
    confirmed = _UNKNOWN
    try:
        response = requests.post(url, data=data, verify=Globals.controller_verify,
                                 timeout=Globals.controller_timeout).json()
        handleControllerApiFailure(response)
        _log_returned(logger, response)
        if response["return"] == True:  # noqa: E712
            confirmed = response["results"] if "results" in response else None
    except Exception as e:
        why = _no_answer(e)
        if why is None:
            raise
        logger.error(f"  **Error** no usable answer to {data['action']} in {subnet_cidr}: {why}; "
                     f"looking up {fallback_name}")
    if confirmed is not _UNKNOWN:
        return _find_created(logger, CID, url, confirmed, fallback_name, subnet_cidr, eip)
    found = _look_up(logger, url, CID, fallback_name, subnet_cidr)
    if why is not None:
        name = found["gw_name"]
        if name is not None:
            logger.info(f"  spoke gateway {name} found in {subnet_cidr}: counted as created")
    return found


def deployPrimaryHsSpoke(CID, controller_api_url, account_name, spoke_gw_name, gw_size, vpc,
                         region, subnet_cidr, eip=None):
    logger = logging.getLogger(__name__)
    logger.info(f"- Deploy primary spoke {spoke_gw_name} with {gw_size} in subnet {subnet_cidr}")
    data = {"CID": CID, "action": "create_multicloud_primary_gateway", "cloud_type": 1,
            "account_name": account_name, "vpc_id": vpc, "vpc_region": region,
            "gw_name": spoke_gw_name, "gw_size": gw_size, "gw_subnet": subnet_cidr}
    if eip is not None:
        data["eip"] = eip
    if Globals.dry_run == False:  # noqa: E712
        return _create_hs_gateway(logger, CID, controller_api_url, data, spoke_gw_name,
                                  subnet_cidr, eip)
    return _find_existing(controller_api_url, CID, spoke_gw_name, subnet_cidr, spoke_gw_name)


def deployHaHsSpoke(CID, controller_api_url, spoke_gw_name, gw_size, subnet_cidr, eip=None,
                    ha_gw_name=None):
    logger = logging.getLogger(__name__)
    logger.info(f"- Deploy HS Spoke with {gw_size} in subnet {subnet_cidr}")
    data = {"CID": CID, "action": "create_multicloud_ha_gateway", "cloud_type": 1,
            "primary_gw_name": spoke_gw_name, "gw_size": gw_size, "gw_subnet": subnet_cidr,
            "autogen_hagw_name": "yes"}
    if eip is not None:
        data["eip"] = eip
    if ha_gw_name is not None:
        data["ha_gw_name"] = ha_gw_name
    if Globals.dry_run == False:  # noqa: E712
        return _create_hs_gateway(logger, CID, controller_api_url, data, spoke_gw_name,
                                  subnet_cidr, eip)
    return {"gw_name": ha_gw_name}


def deployHsSpoke(CID, controller_api_url, account_name, spoke_gw_name, spoke_gw_size, vpc,
                  region, natGwInfos, num_of_spoke):
    logger = logging.getLogger(__name__)
    logger.info("- Deploy HS Spoke")
    subnet_cidrs = [x.subnet_cidr for x in natGwInfos]
    data = {"CID": CID, "action": "list_primary_and_ha_spoke_gateways"}
    response = requests.post(controller_api_url, data=data, verify=Globals.controller_verify,
                             timeout=Globals.controller_timeout).json()
    handleControllerApiFailureAndExit(response)
    gw_names = []
    for x in response["results"]:
        name = x["name"]
        if name.startswith(spoke_gw_name):
            gw_names.append(name)
    if len(gw_names) > 0:
        logger.info(f"  Found existing spoke gateways {gw_names}")
    existing_gw_cidrs = getSubnetWithSpokeGw(CID, controller_api_url, gw_names)

    primary = natGwInfos[0]
    gw_size = primary.gateway_size if spoke_gw_size is None else spoke_gw_size
    cidr = subnet_cidrs[0]
    found = [x for x in existing_gw_cidrs if x["cidr"] == cidr]
    if len(found) > 0:
        logger.info(f"  subnet {cidr} already has a spoke gw {found[0]['gw_name']}")
    else:
        logger.info(f"  deploy spoke gateway {spoke_gw_name} in {cidr} for {primary.nat_gw_id}")
        deployPrimaryHsSpoke(CID, controller_api_url, account_name, spoke_gw_name, gw_size, vpc,
                             region, cidr, eip=None)

    for i in range(1, num_of_spoke):
        cidr = subnet_cidrs[i]
        found = [x for x in existing_gw_cidrs if x["cidr"] == cidr]
        if len(found) > 0:
            logger.info(f"  subnet {cidr} already has a spoke gw {found[0]['gw_name']}")
            continue
        info = natGwInfos[i]
        logger.info(f"  deploy spoke gateway in {cidr} for {info.nat_gw_id}")
        gw_size = info.gateway_size if spoke_gw_size is None else spoke_gw_size
        deployHaHsSpoke(CID, controller_api_url, spoke_gw_name, gw_size, cidr, eip=None)
    return None


# -- deletion ------------------------------------------------------------------

def deleteSpoke(CID, controller_api_url, spoke_gw_name):
    logger = logging.getLogger(__name__)
    logger.info(f"- Disable HA on spoke gateway {spoke_gw_name}")
    if Globals.dry_run == False:  # noqa: E712
        data = {"CID": CID, "action": "disable_spoke_ha", "gw_name": spoke_gw_name}
        response = requests.post(controller_api_url, data=data, verify=Globals.controller_verify,
                                 timeout=Globals.controller_timeout)
        r = response.json()
        if handleControllerApiFailure(r) == True:  # noqa: E712
            logger.info(f"  {response.json()}")
    logger.info(f"- Delete existing spoke gateway {spoke_gw_name}")
    if Globals.dry_run == False:  # noqa: E712
        data = {"CID": CID, "action": "delete_container", "cloud_type": 1,
                "gw_name": spoke_gw_name}
        _delete_gateway(logger, CID, controller_api_url, data, spoke_gw_name, classic=True)
    return None


def deleteHsSpoke(CID, controller_api_url, spoke_gw_name):
    logger = logging.getLogger(__name__)
    data = {"CID": CID, "action": "delete_multicloud_gateway", "gw_name": spoke_gw_name}
    if Globals.dry_run:
        return None
    _delete_gateway(logger, CID, controller_api_url, data, spoke_gw_name)
    return None


def deleteAllHsSpokes(CID, controller_api_url, spoke_gw_name):
    logger = logging.getLogger(__name__)
    logger.info("- Delete HS spoke")
    data = {"CID": CID, "action": "list_primary_and_ha_spoke_gateways"}
    r = requests.post(controller_api_url, data=data, verify=Globals.controller_verify,
                      timeout=Globals.controller_timeout).json()
    handleControllerApiFailureAndExit(r)
    gw_names = [x["name"] for x in r["results"]]
    logger.info(f"  found spoke gateways: {gw_names}")
    logger.info(f"  deleting HA on spoke gateway {spoke_gw_name}")
    found = False
    for x in gw_names:
        if x != spoke_gw_name and x.startswith(spoke_gw_name):
            deleteHsSpoke(CID, controller_api_url, x)
            found = True
    if not found:
        logger.info("  no HA spoke gateway found")
    logger.info(f"  delete primary spoke gateway {spoke_gw_name}")
    deleteHsSpoke(CID, controller_api_url, spoke_gw_name)
    return None


def enableSNAT(spoke_gw_name, controller_api_url, CID):
    logger = logging.getLogger(__name__)
    logger.info(f"- Enable Single IP SNAT on spoke gateway {spoke_gw_name}")
    if Globals.dry_run == False:  # noqa: E712
        data = {"CID": CID, "action": "enable_snat", "gateway_name": spoke_gw_name}
        accepted = False
        why = None
        try:
            response = requests.post(controller_api_url, data=data,
                                     verify=Globals.controller_verify,
                                     timeout=Globals.controller_timeout)
            r = response.json()
            accepted = handleControllerApiFailure(r) != False  # noqa: E712
            if accepted:
                _log_returned(logger, response.json())
        except Exception as e:
            why = _no_answer(e)
            if why is None:
                raise
            logger.error(f"  **Error** no usable answer to enable_snat for spoke gateway "
                         f"{spoke_gw_name}: {why}")
            accepted = False
        if why is not None:
            raise CorvaneRollbackException(
                f"Single IP SNAT was not enabled on spoke gateway {spoke_gw_name}: {why}")
        if not accepted:
            raise CorvaneRollbackException(
                f"Single IP SNAT was not enabled on spoke gateway {spoke_gw_name}")
    return None


def disable_snat(CID, controller_api_url, spoke_gw_name):
    logger = logging.getLogger(__name__)
    logger.info(f"- Disable SNAT on spoke gateway {spoke_gw_name}")
    if Globals.dry_run:
        return None
    data = {"CID": CID, "action": "disable_snat", "gateway_name": spoke_gw_name}
    accepted, reason = _post_unless_accepted(logger, controller_api_url, data, spoke_gw_name)
    if accepted:
        return None
    if _gateway_gone(logger, CID, controller_api_url, spoke_gw_name):
        logger.info(f"  spoke gateway {spoke_gw_name} is gone: its SNAT with it")
        return None
    snat = _gateway_detail(logger, CID, controller_api_url, spoke_gw_name, "snat")
    if snat is not _UNKNOWN and snat == False:  # noqa: E712
        logger.info(f"  SNAT is off on spoke gateway {spoke_gw_name}")
        return None
    raise CorvaneRollbackException(
        f"SNAT was not disabled on spoke gateway {spoke_gw_name}: {reason}")


# -- commands and mementos -----------------------------------------------------

class HsSpokeCreateMemento(Memento):
    def __init__(self, spoke_info):
        self.spoke_info = spoke_info

    def getSpokeInfo(self):
        return self.spoke_info

    def restore(self):
        HsSpokeCmd().delete(self.spoke_info["gw_name"])

    def toDict(self):
        return self.__dict__


class HsSpokeCmd:
    def __init__(self, account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None,
                 region=None, primary=True):
        self.account_name = account_name
        self.spoke_gw_name = spoke_gw_name
        self.spoke_gw_size = spoke_gw_size
        self.vpc_id = vpc_id
        self.region = region
        self.primary = primary

    def _saveMememto(self, spoke_info) -> HsSpokeCreateMemento:
        return HsSpokeCreateMemento(spoke_info)

    def create(self, subnet_cidr, eip, gw_size, ha_gw_name=None) -> HsSpokeCreateMemento:
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v2/api"
        if self.spoke_gw_size is not None:
            gw_size = self.spoke_gw_size
        spoke_info = None
        if self.primary:
            spoke_info = deployPrimaryHsSpoke(CID, controller_api_url, self.account_name,
                                              self.spoke_gw_name, gw_size, self.vpc_id,
                                              self.region, subnet_cidr, eip)
        else:
            spoke_info = deployHaHsSpoke(CID, controller_api_url, self.spoke_gw_name, gw_size,
                                         subnet_cidr, eip, ha_gw_name)
        if Globals.dry_run == False:  # noqa: E712
            if spoke_info == None or spoke_info["gw_name"] == None:  # noqa: E711
                raise CorvaneRollbackException(
                    f"Spoke gateway {self.spoke_gw_name} creation failure")
        return self._saveMememto(spoke_info)

    def delete(self, spoke_gw_name=None):
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v2/api"
        logger = logging.getLogger(__name__)
        if spoke_gw_name == None:  # noqa: E711
            spoke_gw_name = self.spoke_gw_name
        logger.info(f"- Delete HS spoke gateway {spoke_gw_name}")
        deleteHsSpoke(CID, controller_api_url, spoke_gw_name)


class DeployHsSpokeGwCmd(AbstractCommand):
    def __init__(self, account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None,
                 region=None, natGwInfos=None, num_of_spoke=None):
        self.account_name = account_name
        self.spoke_gw_name = spoke_gw_name
        self.spoke_gw_size = spoke_gw_size
        self.vpc_id = vpc_id
        self.region = region
        self.natGwInfos = natGwInfos
        self.num_of_spoke = num_of_spoke

    def execute(self):
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v2/api"
        deployHsSpoke(CID, controller_api_url, self.account_name, self.spoke_gw_name,
                      self.spoke_gw_size, self.vpc_id, self.region, self.natGwInfos,
                      self.num_of_spoke)

    def undo(self):
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v2/api"
        deleteAllHsSpokes(CID, controller_api_url, self.spoke_gw_name)

    def save_backup(self):
        pass


class DeployClassicSpokeGwCmd(AbstractCommand):
    def __init__(self, account_name=None, spoke_gw_name=None, spoke_gw_size=None, vpc_id=None,
                 region=None, natGwInfos=None):
        self.account_name = account_name
        self.spoke_gw_name = spoke_gw_name
        self.spoke_gw_size = spoke_gw_size
        self.vpc_id = vpc_id
        self.region = region
        self.natGwInfos = natGwInfos

    def execute(self):
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v1/api"
        deployClassicSpoke(CID, controller_api_url, self.account_name, self.spoke_gw_name,
                           self.spoke_gw_size, self.vpc_id, self.region, self.natGwInfos)

    def undo(self):
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v1/api"
        deleteSpoke(CID, controller_api_url, self.spoke_gw_name)


class SnatEnableMemento(Memento):
    def __init__(self, spoke_gw_name):
        self.spoke_gw_name = spoke_gw_name

    def restore(self):
        SnatCmd(self.spoke_gw_name).disable()

    def toDict(self):
        return self.__dict__


class SnatCmd:
    def __init__(self, spoke_gw_name):
        self.spoke_gw_name = spoke_gw_name

    def _saveMemento(self) -> SnatEnableMemento:
        return SnatEnableMemento(self.spoke_gw_name)

    def enable(self) -> SnatEnableMemento:
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v2/api"
        enableSNAT(self.spoke_gw_name, controller_api_url, CID)
        return self._saveMemento()

    def disable(self):
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v2/api"
        disable_snat(CID, controller_api_url, self.spoke_gw_name)


class ResizeSpokeGatewayMemento(Memento):
    def __init__(self, spoke_gw_name, from_gw_size, to_gw_size):
        self.spoke_gw_name = spoke_gw_name
        self.from_gw_size = from_gw_size
        self.to_gw_size = to_gw_size

    def restore(self):
        try:
            ResizeSpokeGatewayCmd(self.spoke_gw_name, self.to_gw_size, self.from_gw_size).execute()
        except Exception:
            logger = logging.getLogger(__name__)
            CID = Globals.CID
            controller_api_url = f"https://{Globals.controller_ip}/v2/api"
            name = self.spoke_gw_name
            if not _gateway_gone(logger, CID, controller_api_url, name):
                raise
            logger.info(f"  spoke gateway {name} is gone: nothing to size back")

    def toDict(self):
        return self.__dict__


class ResizeSpokeGatewayCmd:
    def __init__(self, spoke_gw_name, from_gw_size, to_gw_size):
        self.spoke_gw_name = spoke_gw_name
        self.from_gw_size = from_gw_size
        self.to_gw_size = to_gw_size

    def _saveMemento(self) -> ResizeSpokeGatewayMemento:
        return ResizeSpokeGatewayMemento(self.spoke_gw_name, self.from_gw_size, self.to_gw_size)

    def execute(self) -> ResizeSpokeGatewayMemento:
        comm.logOperation(type(self).__name__)
        CID = Globals.CID
        controller_api_url = f"https://{Globals.controller_ip}/v2/api"
        changeSpokeSize(CID, controller_api_url, self.spoke_gw_name, self.to_gw_size)
        return self._saveMemento()


# -- NAT gateway replacement ---------------------------------------------------

class Manager(BaseCaseHandler):
    @classmethod
    def get_natgw_id_by_subnet(cls, ec2_client, subnet_id, vpc_id):
        logger = logging.getLogger(__name__)
        natgw = get_natgw_by_subnet(ec2_client, subnet_id, vpc_id)
        if len(natgw) < 1:
            logger.info(f"  No Natgw found in {vpc_id}::{subnet_id}")
            return None
        return natgw[0]

    @classmethod
    def get_natgw_infos(cls, ec2_client, ca):
        infos = CommandHistory.get_discovered_natgws()
        for x in infos:
            latest = cls.get_natgw_id_by_subnet(ec2_client, x["subnet_id"], ca.vpc_id)
            if latest is None:
                continue
            x["nat_gw_id"] = latest["NatGatewayId"]
            x["private_ip"] = latest["NatGatewayAddresses"][0]["PrivateIp"]
            x["eip"] = latest["NatGatewayAddresses"][0]["PublicIp"]
        return infos

    def execute(cls, config):
        logger = logging.getLogger(__name__)
        ca = ConfigAdaptor(config)
        clientMgr = AwsClientManager(config)
        Globals.aws_client_manager = clientMgr
        ec2_client = clientMgr.getEc2Client()
        cw_client = clientMgr.getCwClient()
        s3_client = clientMgr.getS3Client()
        password = os.environ.get(ca.controller_password_env)
        version, CID = getCid(ca.controller_ip, ca.controller_user, password)
        Globals.CID = CID
        Globals.controller_ip = ca.controller_ip
        CreateCorvaneAccount(ca).execute()
        backup_des = ca.backup_descriptor
        S3BackupCmdV2(s3_client, backup_des).download()
        vpc_backup_folder = backup_des.getAbsolutePath()
        CommandHistory.init(vpc_backup_folder, ca.vpc_id, version="v2")

        if not CommandHistory.is_command_i_done(0):
            nat_gws = get_existing_natgws(ec2_client, None, ca.vpc_id)
            if ca.hs_mode == 2:
                num_of_spoke = len(nat_gws)
            else:
                num_of_spoke = min(len(nat_gws), Globals.HS_LIMIT)
            nat_gw_ids = [x["NatGatewayId"] for x in nat_gws]
            backupAllRtbs(ec2_client, vpc_backup_folder, ca.vpc_id, ca.tag_route_table,
                          nat_gw_ids, version="v2")
            gw_size_cmd = DetermineGwSizeCmd(ec2_client, cw_client, num_of_spoke, nat_gws)
            gw_size_cmd.execute()
            infos = gw_size_cmd.getNatGwInfo()
            CommandHistory.log_discover_natgw_cmd(infos)
            if len(infos) == 0:
                print("**Error** cleanup has been done, rollback is not allowed!")
                exit(1)
            if len(infos) < 2:
                print("**Error** brindlemark requires two Natgw, only 1 is found")
                exit(1)

        natGwInfos = cls.get_natgw_infos(ec2_client, ca)
        MementoHistory.init(vpc_backup_folder)

        try:
            isMementoExist = MementoHistory.is_memento_exist()
            if ca.enable_test == True and not next(isMementoExist):  # noqa: E712
                _tmp = [{"nat_gw_id": x["nat_gw_id"], "gw_name": x["nat_gw_id"],
                         "gw_public_ip": x["eip"], "gw_private_ip": x["private_ip"],
                         "gw_subnet_id": x["subnet_id"]} for x in natGwInfos]
                MementoHistory.append(
                    TestCmd(ca.input_test_config, ca.output_test_config, _tmp).execute())
            spoke_info = None
            for i, nat_gw in enumerate(natGwInfos):
                if ca.hs_mode == 1 and i > 1:
                    continue
                if Globals.cmdcnt >= 0 and i >= Globals.cmdcnt:
                    logger.info(f"- Terminate with command count {Globals.cmdcnt}")
                    break
                if i == 0:
                    if not next(isMementoExist):
                        MementoHistory.append(
                            SnapshotRTCmd(ec2_client, vpc_backup_folder, ca.vpc_id, natGwInfos,
                                          ca.s3_bucket, tag="s1", version="v2").execute(),
                            MarkBegin=True)
                    if not next(isMementoExist):
                        MementoHistory.append(
                            NatGwTrafficCmd(ec2_client, natGwInfos[0]["nat_gw_id"],
                                            natGwInfos[0]["subnet_id"], ca.vpc_id,
                                            vpc_backup_folder, tag="s1")
                            .moveTraffic(natGwInfos[1]["subnet_id"]))
                    if not next(isMementoExist):
                        MementoHistory.append(
                            NatGwCmd(ec2_client, ca.vpc_id, vpc_backup_folder, version="v2")
                            .delete(nat_gw))
                    if not next(isMementoExist):
                        spokeMemento = HsSpokeCmd(
                            ca.aws_account_name, ca.spoke_gw_name, ca.spoke_gw_size, ca.vpc_id,
                            ca.region, primary=True).create(
                                nat_gw["subnet_cidr"], nat_gw["eip"], nat_gw["initial_size"])
                        spoke_info = spokeMemento.getSpokeInfo()
                        MementoHistory.append(spokeMemento)
                    if not next(isMementoExist):
                        MementoHistory.append(
                            SnapshotRTCmd(ec2_client, vpc_backup_folder, ca.vpc_id, natGwInfos,
                                          ca.s3_bucket, tag="s2", version="v2").execute())
                    if not next(isMementoExist):
                        MementoHistory.append(SnatCmd(ca.spoke_gw_name).enable())
                else:
                    if not next(isMementoExist):
                        MementoHistory.append(
                            NatGwCmd(ec2_client, ca.vpc_id, vpc_backup_folder, version="v2")
                            .delete(nat_gw), MarkBegin=True)
                    if not next(isMementoExist):
                        spokeMemento = HsSpokeCmd(
                            ca.aws_account_name, ca.spoke_gw_name, ca.spoke_gw_size, ca.vpc_id,
                            ca.region, primary=False).create(
                                nat_gw["subnet_cidr"], nat_gw["eip"], nat_gw["size"])
                        spoke_info = spokeMemento.getSpokeInfo()
                        MementoHistory.append(spokeMemento)
                if ca.enable_test == True:  # noqa: E712
                    if spoke_info is None:
                        logger.info(f"  skip EC2 test for {nat_gw['subnet_cidr']}: no spoke "
                                    f"gateway created in this run")
                    else:
                        Test.generate_test_config(ca.input_test_config, ca.output_test_config,
                                                  spoke_info)
                        if Test.run_test() == False:  # noqa: E712
                            raise CorvaneRollbackException("EC2 test failure")
            if ca.spoke_gw_size is None and \
                    natGwInfos[0]["size"] != natGwInfos[0]["initial_size"]:
                if not next(isMementoExist):
                    MementoHistory.append(
                        ResizeSpokeGatewayCmd(ca.spoke_gw_name, natGwInfos[0]["initial_size"],
                                              natGwInfos[0]["size"]).execute())
        except (CorvaneRollbackException, Exception) as e:
            try:
                logger.error(f"  **Error** {e}")
                traceback.print_exc()
                while not MementoHistory.isEmpty():
                    isCmdBegin = MementoHistory.isCmdBegin()
                    x = MementoHistory.pop()
                    try:
                        x.restore()
                    except BaseException:
                        MementoHistory.append(x, MarkBegin=isCmdBegin)
                        raise
                    if isCmdBegin:
                        break
            except Exception as e2:
                logger.error(f"  **Error** {e2}")
                traceback.print_exc()
            except BaseException:
                S3BackupCmdV2(s3_client, backup_des).upload()
                raise
            S3BackupCmdV2(s3_client, backup_des).upload()
            exit(1)
            raise SystemExit(1)
        except BaseException:
            S3BackupCmdV2(s3_client, backup_des).upload()
            raise
        S3BackupCmdV2(s3_client, backup_des).upload()
        return None

    execute = classmethod(logged(execute))
