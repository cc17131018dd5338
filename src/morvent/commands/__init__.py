"""Migration commands and the command/memento framework they rest on."""
