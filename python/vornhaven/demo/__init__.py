"""The demo of the package: the platform's label path on a multi-band scene, in pictures.

Run it with ``python -m vornhaven.demo`` (``--help`` lists the options) or ``make demo``.
"""
