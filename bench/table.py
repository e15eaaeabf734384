#!/usr/bin/env python3
"""Prints benchmark lines "name<TAB>value<TAB>unit" from standard input as one aligned table."""
import sys


def main():
    rows = []
    for line in sys.stdin:
        parts = line.rstrip("\n").split("\t")
        if len(parts) < 2 or not parts[0]:
            if line.strip():
                print(line.rstrip("\n"), file=sys.stderr)
            continue
        rows.append((parts[0], parts[1], parts[2] if len(parts) > 2 else ""))
    if not rows:
        return 1
    header = ("benchmark", "value", "unit")
    widths = [max(len(r[c]) for r in rows + [header]) for c in range(3)]
    print(f"{header[0]:<{widths[0]}}  {header[1]:>{widths[1]}}  {header[2]}")
    print(f"{'-' * widths[0]}  {'-' * widths[1]}  {'-' * widths[2]}")
    for name, value, unit in rows:
        print(f"{name:<{widths[0]}}  {value:>{widths[1]}}  {unit}".rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
