"""Package modules the migration commands build on."""
