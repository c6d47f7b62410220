"""Terminal commands: the command base and registry, and the command modules."""
