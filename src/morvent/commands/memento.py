"""Base class of the undo records that commands return."""


class Memento:
    """An undo record.

    Subclasses keep their state as plain attributes (no initialiser of this
    class needs to run), so a memento can be stored as its class path plus
    ``toDict()`` and rebuilt from them in a later process.
    """

    @classmethod
    def make(cls, **state):
        """A memento holding ``state`` as its attributes, built the way the
        history rebuilds one: without calling an initialiser."""
        memento = cls.__new__(cls)
        memento.__dict__.update(state)
        return memento

    def restore(self) -> None:
        """Undo the recorded step."""
        raise NotImplementedError(f"{type(self).__name__}.restore")

    def toDict(self) -> dict:
        """The memento's own attribute dictionary (the live one)."""
        return self.__dict__
