"""Is the 'sim' extra installed?  Checked before the simulators start.

Without the check a missing piece shows up late and far from its cause: as
an import error in a server thread, or as an AWS request the simulated
cloud answers with HTTP 500 in the middle of a run.
"""

from __future__ import annotations

import importlib
import os

#: What the simulators import: the web framework under moto's server (first:
#: moto warns on its own when it is missing), the library that makes the
#: controller's certificate, moto's server and its models of the services
#: the package uses (EC2, S3, CloudWatch, STS).
MODULES = (
    "flask", "flask_cors", "cryptography.x509", "moto.server",
    "moto.ec2.models", "moto.s3.models", "moto.cloudwatch.models", "moto.sts.models",
)


def missing_extra(prog: str) -> str | None:
    """The one-line error `prog` prints when the extra is missing, or None."""
    from .demo import _environment

    # moto's EC2 model opens a boto3 session as it is imported: the user's
    # profile settings must not get in the way (a profile that is not in the
    # files at hand is an error there).
    with _environment({"AWS_CONFIG_FILE": os.devnull, "AWS_SHARED_CREDENTIALS_FILE": os.devnull}):
        for name in MODULES:
            try:
                importlib.import_module(name)
            except ImportError as e:
                return (f"{prog}: error: the simulator is not installed ({e.name or name} is "
                        "missing); install morvent with its 'sim' extra: "
                        "pip install 'morvent[sim]'")
    return None
