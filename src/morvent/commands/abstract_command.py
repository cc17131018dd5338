"""Base class of the self-undoing commands."""


class AbstractCommand:
    """A command that carries out one change and can undo it itself.

    Subclasses override ``execute`` and ``undo``; they need not call this
    class's initialiser.
    """

    def execute(self) -> None:
        raise NotImplementedError(f"{type(self).__name__}.execute")

    def undo(self) -> None:
        raise NotImplementedError(f"{type(self).__name__}.undo")

    def save_backup(self) -> None:
        """Save whatever the command needs to be undone later; nothing by default."""
