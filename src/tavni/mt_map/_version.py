"""The installed distribution's version: the one source of truth."""

DISTRIBUTION = "tavni-mt-map"


def version():
    """The version of the installed ``tavni-mt-map`` distribution.

    Returns
    -------
    str
        ``"0+unknown"`` when the package is imported from a source tree that
        was never installed.
    """
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed_version

    try:
        return installed_version(DISTRIBUTION)
    except PackageNotFoundError:
        return "0+unknown"
