"""The controller's cloud account for the VPC."""


def _not_built(name):
    raise NotImplementedError(f"{__name__}.{name} is not built yet")


class CreateCorvaneAccount:
    def __init__(self, *args, **kwargs):
        _not_built("CreateCorvaneAccount")
