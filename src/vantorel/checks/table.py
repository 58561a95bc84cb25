"""The checks' output: the table on the terminal and the report file's path."""
import shutil
import sys

import click

from vantorel.checks import report_file
from vantorel.checks.findings import KINDS
from vantorel.errors import one_line


def write_report(bundle_path, check, found):
    try:
        path = report_file.write_report(bundle_path, check, found, KINDS)
    except OSError as exc:
        # The table above is the result; a bundle path the user may only read loses just the file.
        click.echo("未能写入检查报告（{}：{}）".format(exc.filename or report_file.reports_dir(bundle_path), exc.strerror or exc))
        return
    # The path alone on the last line, so that a program can take it with `tail -n 1`.
    click.echo("检查报告（JSON Lines）：")
    click.echo(path)


def _width(text):
    import unicodedata

    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _wrap(text, room):
    """Lines of at most ``room`` columns (a wide character takes two), so that a long reason is shown
    whole under its column instead of cut."""
    lines, line = [], ""
    for ch in text:
        if _width(line + ch) > room:
            lines.append(line)
            line = ""
        line += ch
    return lines + [line]


def _pad(text, width):
    return text + " " * (width - _width(text))


def print_table(found, files, bars, noun, series=None):
    scanned = "检查了 {} 个文件{}、{} 根{}".format(
        files, "（{} 个品种）".format(series) if series is not None else "", bars, noun
    )
    if not found:
        click.echo("{}，未发现异常".format(scanned))
        return
    header = ("文件", "品种", "异常", "数量", "示例")
    rows = [header]
    for a in sorted(found, key=lambda a: (a.file, a.code)):
        example = ", ".join(a.examples)
        if a.count > len(a.examples) and a.examples:
            example += " …"
        # What a file holds is shown escaped, as errors are: a line break in it would split the row.
        rows.append(tuple(one_line(cell) for cell in (a.file, a.code or "-", KINDS.get(a.kind, a.kind), str(a.count),
                                                      example)))
    widths = [max(_width(r[i]) for r in rows) for i in range(4)]
    indent = sum(widths) + 2 * 4
    # On a terminal a long example or reason wraps under its column; piped, each row stays one line.
    terminal = getattr(sys.stdout, "isatty", lambda: False)()
    room = max(shutil.get_terminal_size().columns - indent, 30) if terminal else float("inf")
    for r in rows:
        lines = _wrap(r[4], room)
        click.echo("  ".join(_pad(r[i], widths[i]) for i in range(4)) + "  " + lines[0])
        for line in lines[1:]:
            click.echo(" " * indent + line)
    touched = len({(a.file, a.code) for a in found})
    click.echo("{}：发现 {} 项异常，涉及 {} 个文件或品种".format(scanned, len(found), touched))
