"""Magnetization-transfer mapping of the bound-pool fraction.

The signal model lives in the extension module :mod:`tavni.mt_map.mpf`.
"""
