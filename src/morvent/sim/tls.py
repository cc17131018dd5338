"""A throw-away self-signed certificate for the simulated controller."""

from __future__ import annotations

import datetime
import ipaddress
import os
import ssl


def make_self_signed(common_name: str = "localhost") -> tuple[bytes, bytes]:
    """A new certificate for 127.0.0.1/localhost and its key, both PEM."""
    # Imported here: the package loads without the 'sim' extra, so that the
    # demo can say which extra is missing instead of failing on an import.
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=30))
        .add_extension(x509.SubjectAlternativeName([
            x509.DNSName("localhost"),
            x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
        ]), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(key, hashes.SHA256())
    )
    return (cert.public_bytes(serialization.Encoding.PEM),
            key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                              serialization.NoEncryption()))


def write_pair(directory: str, cert_pem: bytes, key_pem: bytes) -> tuple[str, str]:
    """Write cert.pem and key.pem (readable by the owner only) into `directory`."""
    cert_path = os.path.join(directory, "cert.pem")
    key_path = os.path.join(directory, "key.pem")
    with open(cert_path, "wb") as f:
        f.write(cert_pem)
    fd = os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(key_pem)
    return cert_path, key_path


def fingerprint(cert_pem: bytes) -> str:
    """The certificate's SHA-256 fingerprint, as a configuration pins it."""
    from morvent.lib.certificate import sha256_fingerprint

    return sha256_fingerprint(ssl.PEM_cert_to_DER_cert(cert_pem.decode("ascii")))


def server_context(cert_path: str, key_path: str) -> ssl.SSLContext:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert_path, key_path)
    return context
