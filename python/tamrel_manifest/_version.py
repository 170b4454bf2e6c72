"""The package's version: the one place it is written (pyproject.toml reads it from here), so
that the tool can say it without reading the installed distribution's metadata."""

__version__ = "0.1.0"
