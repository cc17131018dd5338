"""Route table backups, snapshots and traffic moves."""


def _not_built(name):
    raise NotImplementedError(f"{__name__}.{name} is not built yet")


def backupAllRtbs(*args, **kwargs):
    _not_built("backupAllRtbs")


class NatGwTrafficCmd:
    def __init__(self, *args, **kwargs):
        _not_built("NatGwTrafficCmd")


class SnapshotRTCmd:
    def __init__(self, *args, **kwargs):
        _not_built("SnapshotRTCmd")
