"""AWS clients for the configured account and region."""


def _not_built(name):
    raise NotImplementedError(f"{__name__}.{name} is not built yet")


class AwsClientManager:
    def __init__(self, *args, **kwargs):
        _not_built("AwsClientManager")
