"""Suite-wide settings (the helpers in tests/support are importable as `support`
through `pythonpath` in pyproject.toml)."""

# The checkout's package is not installed, so its pytest11 entry point does not
# load the fixtures here; this line does. Where the package is installed, the
# entry point's plugin carries this very name and pytest skips the line.
pytest_plugins = ["vorel_cloud.testing"]
