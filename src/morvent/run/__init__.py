"""The run services: the order of each command's run, below the command line.

A run service checks the world, takes the VPC's lock, reads the backup,
lays out the plan, hands over to the Manager and says how the run ended;
the command line (or any other caller) parses, asks and renders around it
through a :class:`~morvent.run.common.Frontend`.  One module per command
(``execute``, ``revert``, ``gate`` for plan, ``status``), what they share in
``common``, and what they read from AWS and the controller in ``aws``.
The step model (``plan``) and the comparison of records with EC2
(``reconcile``) live here too: they read through ``lib``.
"""
