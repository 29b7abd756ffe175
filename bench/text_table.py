"""The benchmark's plain-text tables: columns padded to their widest cell, a rule under the
header row."""

from __future__ import annotations


def print_aligned(table: list[tuple[str, ...]]) -> None:
    widths = [max(len(line[c]) for line in table) for c in range(len(table[0]))]
    for i, line in enumerate(table):
        print("  ".join(cell.ljust(w) for cell, w in zip(line, widths)).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
