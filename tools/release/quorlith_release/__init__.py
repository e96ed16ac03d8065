"""Quorlith's release tooling: reads the payloads, proves the runtime packages, writes what the build embeds."""
