"""The controller's TLS certificate: fetch it, describe it, name it by its SHA-256.

A controller commonly runs with a self-signed certificate, so no CA vouches
for it.  What identifies it then is the SHA-256 digest of the certificate
(DER), written as 32 pairs of hexadecimal digits separated by colons, the
form ``openssl x509 -noout -fingerprint -sha256`` prints.  An operator pins
that digest once (``morvent trust-controller``); the transport then accepts
no other certificate (see ``corvane_backend``).
"""

from __future__ import annotations

import datetime
import hashlib
import socket
import ssl
import urllib.parse
from dataclasses import dataclass

from morvent.core.config import SHA256_FINGERPRINT

__all__ = ["Certificate", "describe_certificate", "fetch_certificate", "host_and_port",
           "normalise_fingerprint", "sha256_fingerprint"]

def sha256_fingerprint(der: bytes) -> str:
    """The SHA-256 fingerprint of a certificate in DER form, "AB:CD:..."."""
    digest = hashlib.sha256(der).hexdigest().upper()
    return ":".join(digest[i:i + 2] for i in range(0, len(digest), 2))


def normalise_fingerprint(text: str) -> str:
    """``text`` (64 hex digits, colons between pairs allowed, any case) as "AB:CD:..."."""
    if not isinstance(text, str) or not SHA256_FINGERPRINT.fullmatch(text):
        raise ValueError(f"not a SHA-256 fingerprint: {text!r}")
    digits = text.replace(":", "").upper()
    return ":".join(digits[i:i + 2] for i in range(0, len(digits), 2))


def host_and_port(address: str) -> tuple[str, int]:
    """Host and port of a controller address ("host", "host:port", "[v6]:port")."""
    parts = urllib.parse.urlsplit(f"https://{address}")
    return parts.hostname or address, parts.port or 443


def fetch_certificate(address: str, timeout: float) -> bytes:
    """The certificate (DER) the controller at ``address`` presents.

    Nothing is checked and nothing is sent but the TLS handshake: this is how
    an operator gets to see the certificate before trusting it.  Raises
    OSError (ssl.SSLError, socket.timeout ...) when no handshake completes
    within ``timeout`` seconds.
    """
    host, port = host_and_port(address)
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with socket.create_connection((host, port), timeout=timeout) as raw:
        with context.wrap_socket(raw, server_hostname=host) as tls:
            der = tls.getpeercert(binary_form=True)
    if not der:
        raise ssl.SSLError(f"the server at {address} presented no certificate")
    return der


@dataclass(frozen=True)
class Certificate:
    """What an operator checks before trusting a certificate."""

    subject: str
    issuer: str
    names: tuple[str, ...]  # "DNS:ctrl.example", "IP:10.20.30.40"
    not_before: datetime.datetime  # UTC
    not_after: datetime.datetime  # UTC
    sha256: str

    @property
    def self_signed(self) -> bool:
        return self.subject == self.issuer

    def validity_problem(self, now: datetime.datetime | None = None) -> str | None:
        """"expired" or "not valid yet" at ``now`` (UTC), else None."""
        now = now or datetime.datetime.now(datetime.timezone.utc)
        if now > self.not_after:
            return "expired"
        if now < self.not_before:
            return "not valid yet"
        return None


def describe_certificate(der: bytes) -> Certificate:
    """Subject, issuer, names, validity and fingerprint of a DER certificate.

    Raises ValueError for bytes that are not a certificate.
    """
    from cryptography import x509

    cert = x509.load_der_x509_certificate(der)
    try:
        extension = cert.extensions.get_extension_for_class(x509.SubjectAlternativeName)
    except x509.ExtensionNotFound:
        names: tuple[str, ...] = ()
    else:
        alternatives = extension.value
        names = tuple([f"DNS:{n}" for n in alternatives.get_values_for_type(x509.DNSName)]
                      + [f"IP:{a}" for a in alternatives.get_values_for_type(x509.IPAddress)])
    return Certificate(subject=cert.subject.rfc4514_string() or "(empty)",
                       issuer=cert.issuer.rfc4514_string() or "(empty)",
                       names=names, not_before=cert.not_valid_before_utc,
                       not_after=cert.not_valid_after_utc, sha256=sha256_fingerprint(der))
