"""Bringing a bundle up to date from a source: what to fetch, running it, the base tables, the report."""
