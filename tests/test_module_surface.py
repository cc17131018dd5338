"""What the two native modules bind when they load, and the shape of Manager."""

import logging
import os
import subprocess
import sys
import traceback

import pytest
import requests

from morvent.commands import base_case_handler, brindlemark, history
from morvent.commands.abstract_command import AbstractCommand
from morvent.commands.memento import Memento
from morvent.core.Globals import Globals
from morvent.core.exceptions import CorvaneRollbackException
from morvent.lib import commonlib, corvane_backend, spoke

SPOKE_NAMES = [
    "requests", "handleControllerApiFailureAndExit", "handleControllerApiFailure",
    "_send_corvane_api", "CorvaneRollbackException", "AbstractCommand", "Memento", "Globals",
    "logging", "comm",
    "getSpokeInfo", "list_gateway_info", "getSubnetWithSpokeGw", "changeSpokeSize",
    "deployClassicSpoke", "deployPrimaryHsSpoke", "deployHaHsSpoke", "deployHsSpoke",
    "deleteSpoke", "deleteHsSpoke", "deleteAllHsSpokes", "enableSNAT", "disable_snat",
    "HsSpokeCreateMemento", "HsSpokeCmd", "DeployHsSpokeGwCmd", "DeployClassicSpokeGwCmd",
    "SnatEnableMemento", "SnatCmd", "ResizeSpokeGatewayMemento", "ResizeSpokeGatewayCmd",
]

BRINDLEMARK_NAMES = [
    "get_existing_natgws", "DetermineGwSizeCmd", "AwsClientManager", "Globals", "HsSpokeCmd",
    "SnatCmd", "ResizeSpokeGatewayCmd", "backupAllRtbs", "S3BackupCmdV2", "getCid", "NatGwCmd",
    "ConfigAdaptor", "CommandHistory", "MementoHistory", "BaseCaseHandler", "Test", "TestCmd",
    "get_natgw_by_subnet", "NatGwTrafficCmd", "SnapshotRTCmd", "CorvaneRollbackException",
    "CreateCorvaneAccount", "logged", "os", "logging", "traceback", "Manager",
]


@pytest.mark.parametrize("module, names", [(spoke, SPOKE_NAMES), (brindlemark, BRINDLEMARK_NAMES)])
def test_module_binds_exactly_these_names_in_order(module, names):
    # In a fresh interpreter: a test that deletes a global and puts it back
    # moves it to the end of the module dict.
    code = (f"import {module.__name__} as m; "
            "print(*[n for n in vars(m) if not n.startswith('__')])")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert result.stdout.split() == names


@pytest.mark.parametrize("name, value", [
    ("requests", requests),
    ("handleControllerApiFailureAndExit", corvane_backend.handleControllerApiFailureAndExit),
    ("handleControllerApiFailure", corvane_backend.handleControllerApiFailure),
    ("_send_corvane_api", corvane_backend._send_corvane_api),
    ("CorvaneRollbackException", CorvaneRollbackException),
    ("AbstractCommand", AbstractCommand),
    ("Memento", Memento),
    ("Globals", Globals),
    ("logging", logging),
    ("comm", commonlib.Common),
])
def test_spoke_collaborators_are_the_package_objects(name, value):
    assert getattr(spoke, name) is value


@pytest.mark.parametrize("name, value", [
    ("Globals", Globals), ("HsSpokeCmd", spoke.HsSpokeCmd), ("SnatCmd", spoke.SnatCmd),
    ("ResizeSpokeGatewayCmd", spoke.ResizeSpokeGatewayCmd),
    ("CommandHistory", history.CommandHistory), ("MementoHistory", history.MementoHistory),
    ("BaseCaseHandler", base_case_handler.BaseCaseHandler), ("logged", base_case_handler.logged),
    ("os", os), ("logging", logging), ("traceback", traceback),
])
def test_brindlemark_collaborators_are_the_package_objects(name, value):
    assert getattr(brindlemark, name) is value


@pytest.mark.parametrize("name", [n for n in SPOKE_NAMES[10:23]])
def test_spoke_functions_belong_to_the_module(name):
    function = getattr(spoke, name)
    assert function.__module__ == "morvent.lib.spoke"
    assert function.__name__ == name


def test_manager_shape():
    manager = brindlemark.Manager
    assert manager.__bases__ == (base_case_handler.BaseCaseHandler,)
    assert manager.__module__ == "morvent.commands.brindlemark"
    members = [name for name in vars(manager) if not name.startswith("__")]
    assert members == ["get_natgw_id_by_subnet", "get_natgw_infos", "execute", "revert", "cleanup"]
    for name in members:
        assert isinstance(vars(manager)[name], classmethod), name


@pytest.mark.parametrize("name, wrapped", [
    ("get_natgw_id_by_subnet", False), ("get_natgw_infos", False),
    ("execute", True), ("revert", True), ("cleanup", False),
])
def test_only_execute_and_revert_are_logged(name, wrapped):
    function = vars(brindlemark.Manager)[name].__func__
    assert hasattr(function, "__wrapped__") is wrapped
    inner = function.__wrapped__ if wrapped else function
    assert inner.__name__ == name
    assert inner.__qualname__ == f"Manager.{name}"


def test_importing_brindlemark_needs_every_collaborator(tmp_path):
    """A missing collaborator fails the import with the import's own error."""
    import subprocess
    import sys

    blocker = tmp_path / "sitecustomize.py"
    blocker.write_text(
        "import sys\n"
        "class Block:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if name == 'morvent.lib.cvn_account':\n"
        "            raise ModuleNotFoundError(\"No module named 'morvent.lib.cvn_account'\")\n"
        "sys.meta_path.insert(0, Block())\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(tmp_path)] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))
    result = subprocess.run(
        [sys.executable, "-c", "import morvent.commands.brindlemark"],
        env=env, capture_output=True, text=True)
    assert result.returncode != 0
    assert "No module named 'morvent.lib.cvn_account'" in result.stderr
