"""The migration configuration."""


def _not_built(name):
    raise NotImplementedError(f"{__name__}.{name} is not built yet")


class ConfigAdaptor:
    def __init__(self, *args, **kwargs):
        _not_built("ConfigAdaptor")
