"""Text helpers that error messages and log lines share at every layer."""

from __future__ import annotations

from typing import Any

#: The command's name, in messages.
PROG = "morvent"


def one_line(e: BaseException) -> str:
    text = " ".join(str(e).split())
    return text or type(e).__name__


def password_variable(config: Any) -> str:
    """How to name the password variable in a message without echoing a password.

    A value that is not written like an environment variable (capitals,
    digits, '_') may be the password put there by mistake: it is not shown.
    """
    name = config.controller_password_env
    if name.isupper() or (name.replace("_", "").isdigit() and name):
        return f"the environment variable {name}"
    return ("the environment variable that controller_password_env names (not shown: it is "
            "not written like one, and may be the password itself)")
