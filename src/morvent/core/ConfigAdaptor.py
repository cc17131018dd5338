"""The migration configuration as the commands read it."""

from __future__ import annotations

import os
from collections.abc import Mapping

from morvent.core.backup import BackupDescriptor
from morvent.core.config import Config, as_config


class ConfigAdaptor:
    """Plain attributes over a checked :class:`~morvent.core.config.Config`.

    ``config`` is what the command line hands to the commands: a ``Config``
    (usually), or a mapping or a YAML file path, which are checked first
    (a :class:`~morvent.core.config.ConfigError` when they are not valid).
    The original ``Config`` stays available as ``.config``.
    """

    def __init__(self, config: Config | Mapping | str | os.PathLike):
        cfg = as_config(config)
        self.config = cfg
        # Controller login; the password is read from the environment
        # variable named here, never from the configuration.
        self.controller_ip = cfg.controller_ip
        self.controller_user = cfg.controller_user
        self.controller_password_env = cfg.controller_password_env
        # Every controller request: (connect, read) seconds and ``verify=``
        # (False, or the CA bundle that checks the controller's certificate);
        # the command line puts both into Globals for the run.
        self.controller_timeout = cfg.controller_request_timeout
        self.controller_ca_bundle = cfg.controller_ca_bundle
        self.controller_verify = cfg.controller_verify
        # The cloud account, on the controller and in AWS.
        self.aws_account_name = cfg.aws_account_name
        self.aws_account_number = cfg.aws_account_number
        self.aws_role_app = cfg.aws_role_app
        self.aws_role_ec2 = cfg.aws_role_ec2
        self.region = cfg.region
        # The VPC and its spoke gateways.
        self.vpc_id = cfg.vpc_id
        self.spoke_gw_name = cfg.spoke_gw_name
        #: None: each spoke is sized from the plan made for its NAT gateway.
        self.spoke_gw_size = cfg.spoke_gw_size
        self.hs_mode = cfg.hs_mode
        # A retired key (see core.config): the route table backup is handed
        # False, whatever an old configuration file says.
        self.tag_route_table = False
        # Egress checks after each replacement.
        self.enable_test = cfg.enable_test
        self.input_test_config = cfg.input_test_config
        self.output_test_config = cfg.output_test_config
        # Backups.
        self.s3_bucket = cfg.s3_bucket
        self.backup_descriptor = BackupDescriptor.for_vpc(
            cfg.s3_bucket, cfg.s3_prefix, cfg.work_dir, cfg.aws_account_name, cfg.region,
            cfg.vpc_id)

    def __repr__(self) -> str:
        return f"ConfigAdaptor({self.config.source!r}, vpc_id={self.vpc_id!r})"
