"""Vorel Cloud: the cloud add-on of the Vorel authorization SDK for AI agents.

Importing the package is cheap: it loads nothing but this file. Import the
submodules you need (``vorel_cloud.client``, ``vorel_cloud.approval``,
``vorel_cloud.connect``, ...) explicitly.
"""

__version__ = "0.1.0"
