"""The bundle functions the command line calls, at the path it imports them from.

The work is done in ``vantorel.update`` (updates, sample bundles, archive installs) and in
``vantorel.checks``; this module only gives it the names a replacement kit would offer.
"""
from vantorel.checks import check_min_bar_data
from vantorel.update.engine import download_simple_bundle, update_bundle_from_corvane, update_bundle_from_exist_file

__all__ = ["update_bundle_from_corvane", "update_bundle_from_exist_file", "check_min_bar_data",
           "download_simple_bundle"]
