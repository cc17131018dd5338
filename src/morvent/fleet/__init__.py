"""Many VPCs at once: the fleet manifest and the fleet runner.

A fleet is every VPC of an estate, described by one manifest (``manifest``):
shared defaults and the VPCs, each with what differs, or an included per-VPC
configuration.  Each VPC runs through the same commands a person runs on one
VPC, in processes of its own (``child``), with its effective configuration
written to a file (``manifest.write_vpc_config``); ``choice`` picks a
runner's share and order, ``scheduler`` when each VPC starts, ``runner``
puts these together for one fleet command and ``report`` makes its report.
"""
