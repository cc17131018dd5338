"""``morvent trust-controller``: pin the controller's certificate, as SSH's known_hosts does.

Connects to the controller (the TLS handshake only: nothing is sent), shows
the certificate it presents (subject, issuer, names, validity, SHA-256
fingerprint) and, once the operator confirms (``--yes`` in a job), writes
the fingerprint to the configuration file as ``controller_cert_sha256``.
From then on every controller request goes only to a controller presenting
that certificate.  A pin that is already there and differs is replaced only
on a terminal, after the question: a job never accepts a changed
certificate on its own.
"""

from __future__ import annotations

import argparse
import datetime
from collections.abc import Callable

from morvent.cli import output
from morvent.cli.output import PROG, Cancelled, Refused, UsageError
from morvent.core.config import Config
from morvent.core.config_file import set_value

KEY = "controller_cert_sha256"


def add_parsers(add: Callable[..., argparse.ArgumentParser]) -> None:
    sub = add("trust-controller",
              "show the certificate the controller presents and, once confirmed, pin its "
              "SHA-256 fingerprint in the configuration (controller_cert_sha256)")
    sub.add_argument("--yes", "-y", action="store_true",
                     help="pin the certificate without asking (needed without a terminal, "
                          "e.g. in a job); never replaces a different pin")
    sub.set_defaults(run=run)


def _when(moment: datetime.datetime) -> str:
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")


def certificate_lines(address: str, cert) -> list[str]:
    """The certificate as the operator checks it."""
    problem = cert.validity_problem()
    return [
        f"The controller at {address} presents this certificate:",
        f"  subject   {cert.subject}",
        f"  issuer    {cert.issuer}" + (" (self-signed)" if cert.self_signed else ""),
        f"  names     {', '.join(cert.names) or '(none)'}",
        f"  valid     {_when(cert.not_before)} to {_when(cert.not_after)}"
        + (f"  ** {problem} **" if problem else ""),
        f"  SHA-256   {cert.sha256}",
        "Compare the SHA-256 with the one shown on the controller itself (for instance "
        "`openssl x509 -noout -fingerprint -sha256 -in <its certificate>`).",
    ]


def run(args: argparse.Namespace, config: Config) -> None:
    from morvent.lib.certificate import describe_certificate, fetch_certificate, \
        normalise_fingerprint

    address = config.controller_ip
    if not args.yes and not output.can_ask():
        raise UsageError(f"trust-controller asks before it pins the certificate, but standard "
                         f"input is not a terminal: add --yes to pin what the controller at "
                         f"{address} presents")
    try:
        der = fetch_certificate(address, config.controller_request_timeout[0])
    except OSError as e:
        raise Refused(f"cannot read the controller's certificate at {address}: "
                      f"{output.one_line(e)}") from None
    cert = describe_certificate(der)
    for line in certificate_lines(address, cert):
        output.say(line)

    pinned = normalise_fingerprint(config.controller_cert_sha256) \
        if config.controller_cert_sha256 else None
    if pinned == cert.sha256:
        output.verdict(f"this certificate is trusted already ({KEY} in {config.source}); "
                       "nothing was changed")
        return
    if pinned is not None:
        changed = (f"the controller at {address} presents another certificate than the one "
                   f"trusted in {config.source} ({pinned})")
        if not output.can_ask():
            raise Refused(f"{changed}; a changed certificate is pinned only after the question "
                          f"on a terminal (or remove {KEY} from the file, then run "
                          f"`{PROG} trust-controller --yes` again)")
        output.say(f"** {changed} **")
        question = f"Replace the trusted certificate by this one in {config.source}?"
    elif args.yes:
        question = None
    else:
        question = f"Trust this certificate for the controller at {address}?"
    if question is not None and not output.ask(question):
        raise Cancelled(f"trust-controller cancelled; {config.source} was not changed")

    try:
        set_value(config.source, KEY, cert.sha256,
                  comment="Pinned by `morvent trust-controller`: the controller's certificate, "
                          "no other.")
    except OSError as e:
        raise Refused(f"cannot write {config.source}: {output.one_line(e)}; add this line "
                      f"yourself: {KEY}: \"{cert.sha256}\"") from None
    output.verdict(f"{KEY} written to {config.source}: every controller request now goes only "
                   "to a controller presenting this certificate")
