"""Controller REST API transport, login and failure handlers."""


def _not_built(name):
    raise NotImplementedError(f"{__name__}.{name} is not built yet")


def _send_corvane_api(*args, **kwargs):
    _not_built("_send_corvane_api")


def handleControllerApiFailure(*args, **kwargs):
    _not_built("handleControllerApiFailure")


def handleControllerApiFailureAndExit(*args, **kwargs):
    _not_built("handleControllerApiFailureAndExit")


def getCid(*args, **kwargs):
    _not_built("getCid")
