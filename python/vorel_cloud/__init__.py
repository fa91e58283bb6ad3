"""Vorel Cloud: the cloud add-on of the Vorel authorization SDK for AI agents.

Importing the package is cheap: it loads nothing but this file. Import the
submodules you need (``vorel_cloud.client``, ``vorel_cloud.approval``,
``vorel_cloud.connect``, ...) explicitly.
"""

# The one place the version is written: the build backend reads it from here
# into the distribution's metadata.
__version__ = "0.1.0"
