"""Process-wide settings, configuration and exceptions."""
