"""Spoke gateway sizing from NAT gateway traffic."""


def _not_built(name):
    raise NotImplementedError(f"{__name__}.{name} is not built yet")


class DetermineGwSizeCmd:
    def __init__(self, *args, **kwargs):
        _not_built("DetermineGwSizeCmd")
