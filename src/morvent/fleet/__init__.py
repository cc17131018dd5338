"""Many VPCs at once: the fleet manifest (``manifest``) and its checks.

A fleet is every VPC of an estate, described by one manifest: shared
defaults and the VPCs, each with what differs, or an included per-VPC
configuration.  Each VPC runs through the same commands a person runs on one
VPC, in a process of its own, with its effective configuration written to a
file (``manifest.write_vpc_config``).
"""
