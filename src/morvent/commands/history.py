"""Command and memento histories kept in the VPC's backup folder."""


def _not_built(name):
    raise NotImplementedError(f"{__name__}.{name} is not built yet")


class CommandHistory:
    def __init__(self, *args, **kwargs):
        _not_built("CommandHistory")


class MementoHistory:
    def __init__(self, *args, **kwargs):
        _not_built("MementoHistory")
