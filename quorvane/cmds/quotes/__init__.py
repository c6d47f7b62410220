"""Market-data commands."""
