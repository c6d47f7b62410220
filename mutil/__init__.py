"""Small utilities the terminal shares: argument declarations and table printing."""
