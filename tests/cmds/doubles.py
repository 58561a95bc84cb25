"""Test doubles of the kit and helpers that state what equivalent Python code would do."""
import types

import click
import click.formatting

BUNDLE = "vantorel.ombrel.alpha.bundle"
SCRIPTS = "vantorel.ombrel.alpha.utils.scripts"
CMDS_BUNDLE = "vantorel.ombrel.cmds.bundle"
LOGIN = "vantorel.ombrel.utils.login"

# What each kit double returns unless a test says otherwise.
DEFAULT_RESULTS = {
    "update_bundle_from_corvane": True,
    "update_bundle_from_exist_file": True,
    "download_simple_bundle": "downloaded",
}

KIT_FUNCTIONS = {
    BUNDLE: ("update_bundle_from_corvane", "update_bundle_from_exist_file", "check_min_bar_data",
             "download_simple_bundle"),
    SCRIPTS: ("check_tick",),
    CMDS_BUNDLE: ("check_bundle_data",),
    LOGIN: ("init_tovi",),
}


def no_such_option(name):
    """The last line of click's usage error for an unknown option; its wording varies with click's version."""
    return f"Error: {click.exceptions.NoSuchOption(name).format_message()}\n"


class Kit:
    """Recording doubles of the kit's bundle functions and of the login."""

    def __init__(self):
        self.calls = []
        self.results = dict(DEFAULT_RESULTS)
        self.modules = {}
        for module_name, names in KIT_FUNCTIONS.items():
            module = types.ModuleType(module_name)
            for name in names:
                setattr(module, name, self._double(name))
            self.modules[module_name] = module

    def _double(self, name):
        def double(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            result = self.results.get(name)
            if isinstance(result, BaseException):
                raise result
            return result

        double.__name__ = name
        return double

    def names(self):
        return [name for name, _, _ in self.calls]


class Store:
    """The account store as the front end sees it: two functions, every call recorded."""

    def __init__(self):
        self.pairs = {}
        self.reads = []
        self.writes = []

    def get_license_info(self, *args, **kwargs):
        self.reads.append((args, kwargs))
        key = args[0] if args else kwargs.get("name", "VANTOREL_LICENSE")
        pair = self.pairs.get(key, (None, None))
        return pair() if callable(pair) else pair

    def set_to_environ(self, *args, **kwargs):
        self.writes.append(args if not kwargs else (args, kwargs))


def python_import_error(module_name, names):
    """The ImportError that Python code gives for `from module_name import names` right now."""
    try:
        exec(f"from {module_name} import {', '.join(names)}", {})
    except ImportError as exc:
        return exc
    raise AssertionError("the import succeeded")


def options_section(rows, width=80):
    """The Options section of a help page as click lays it out for these (names, help) rows.

    80 is the width CliRunner forces on click's formatter."""
    formatter = click.formatting.HelpFormatter(width=width)
    with formatter.section("Options"):
        formatter.write_dl(rows)
    return formatter.getvalue()


def path_row(path):
    return ("-d, --data-bundle-path DIRECTORY", f"bundle 目录，默认为 {path}")


HELP_ROW = ("--help", "Show this message and exit.")
