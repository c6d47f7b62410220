"""Helpers the test areas share: stand-ins, probes and small values, imported as `support.<module>`."""
