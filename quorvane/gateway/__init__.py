"""Gateway-side services shared by commands."""
