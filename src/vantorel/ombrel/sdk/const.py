"""Constants the kit shares: where it keeps its files and which data categories it knows."""
import os


def kit_home():
    """The kit's home directory: ``VANTOREL_HOME`` if set, else ``~/.vantorel``."""
    return os.path.abspath(os.path.expanduser(os.environ.get("VANTOREL_HOME") or os.path.join("~", ".vantorel")))


VANTOREL_HOME = kit_home()

DEFAULT_BUNDLE_PATH = os.path.join(VANTOREL_HOME, "bundle")

# Data categories, by the name users type, with the instrument type the data service files them under.
TAG_MAP = {
    "stock": "CS",
    "futures": "Future",
    "fund": "Fund",
    "index": "INDX",
    "option": "Option",
    "convertible": "Convertible",
}

# Packages whose versions matter to reproducing a back-test.
CONCERNED_PACKAGES = ("vantorel", "click", "numpy", "h5py", "filelock")
