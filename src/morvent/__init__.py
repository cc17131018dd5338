"""morvent: move a VPC's outbound traffic off its NAT gateways onto Corvane
spoke gateways, keeping the NAT gateways' Elastic IP addresses, and back."""

__version__ = "0.1.0"
