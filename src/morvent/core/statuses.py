"""The exit statuses of the commands, which the command line ends with and
the fleet runner reads from each VPC's process."""

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_LOCKED = 0, 1, 2, 3
EXIT_INTERRUPTED, EXIT_TERMINATED = 130, 143
#: With --detailed-exitcode: plan has changes to make, status something that needs attention.
EXIT_CHANGES, EXIT_ATTENTION = 4, 5
#: Standard output closed before the command was done writing (``| head``): 128 + SIGPIPE.
EXIT_STDOUT_CLOSED = 141
