"""Process-wide settings shared by the migration commands.

``Manager.execute`` and ``Manager.revert`` fill the controller session
(``CID``, ``controller_ip``) and the AWS client manager before any step runs;
the spoke commands read them afresh on every call.
"""


class Globals:
    #: Controller session id from the login; never logged.
    CID = None
    #: Controller address, as in the configuration.
    controller_ip = None
    #: (connect, read) seconds handed as ``timeout=`` to every controller
    #: request.  The read timeout is long: the controller answers a gateway
    #: creation only when the gateway is up, which takes minutes.
    controller_timeout = (15.0, 900.0)
    #: Handed as ``verify=`` to every controller request: False sends it
    #: without checking the controller's certificate (controllers usually run
    #: with a self-signed one); the path of a CA bundle (PEM) checks it.
    controller_verify = False
    #: SHA-256 fingerprint of the one certificate the controller may present
    #: (64 hexadecimal digits, colons between pairs allowed), or None.  When
    #: set, every connection to the controller is checked against it right
    #: after the TLS handshake, before anything is sent, on top of
    #: ``controller_verify``.
    controller_cert_sha256 = None
    #: How often a gateway that the controller said it created is looked up
    #: before the run gives up on seeing it, and the seconds between two
    #: look-ups.
    lookup_attempts = 3
    lookup_pause = 3.0
    #: When true, nothing that changes the controller or AWS is sent.
    dry_run = False
    #: The run's ``AwsClientManager``; AWS mementos take their clients from it.
    aws_client_manager = None
    #: Stop index of a run of ``execute``: when 0 or more, the loop over NAT
    #: gateways stops before the record with that index.  -1 never stops.
    cmdcnt = -1
    #: Most spoke gateways planned for a VPC when ``hs_mode`` is neither 1 nor
    #: 2 (one primary plus HA gateways, one per availability zone).
    HS_LIMIT = 6
