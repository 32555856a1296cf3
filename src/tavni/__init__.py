"""The tavni package; tavni-mt-map is its subpackage :mod:`tavni.mt_map`."""
