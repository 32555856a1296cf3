"""python -m tavni.mt_map: the mt-map command line."""

import sys

from tavni.mt_map.cli import main

if __name__ == "__main__":
    sys.exit(main())
