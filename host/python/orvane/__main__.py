"""python3 -m orvane fields: the field table in Markdown, as docs/host.md shows it."""

import sys

from .fields import markdown

if sys.argv[1:] != ["fields"]:
    sys.exit("usage: python3 -m orvane fields")
print(markdown(), end="")
