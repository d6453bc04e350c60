"""``python -m vornhaven.demo``: see ``vornhaven.demo.cli``."""

from vornhaven.demo.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
