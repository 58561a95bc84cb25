"""Bundle commands' kit side: the daily-bar check of ``check-data``."""


def check_bundle_data(bundle_dir):
    """Check the daily bars of a bundle directory (the bundle path's "bundle" sub-directory).

    Prints a table of what it finds, or that it found nothing; returns the list of anomalies.
    """
    from vantorel.checks import check_daily_bar_data

    return check_daily_bar_data(bundle_dir)
