"""python -m tavni.mt_map: the mt-map command line."""

from tavni.mt_map.cli import program

if __name__ == "__main__":
    program()
