#!/usr/bin/python3
"""orvane-ctl(1) is written by hand: it must name every verb that `orvane-ctl --help` lists (a
.SS heading of its own) and every long option of each verb and of the tool.
    man_test.py PATH/TO/orvane-ctl PATH/TO/orvane-ctl.1
Standard library only."""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "support"))
import fixtures  # noqa: E402


def help_text(ctl, *verb):
    return subprocess.run([ctl, *verb, "--help"], stdout=subprocess.PIPE, text=True, timeout=30,
                          check=True).stdout


def main():
    ctl, page = sys.argv[1], open(sys.argv[2]).read()
    # The page's own text with roff's escapes undone: \- is -, \fB and the like go.
    text = re.sub(r"\\f[BIRP]", "", page).replace("\\-", "-")
    headings = {line.split()[1].strip('"') for line in text.splitlines()
                if line.startswith(".SS ") and len(line.split()) > 1}
    top = help_text(ctl)
    verbs = re.findall(r"^  ([a-z][a-z-]*) ", top.split("Subcommands:", 1)[1], re.M)
    faults = [f"verb '{v}' has no section" for v in verbs if v not in headings]
    for verb, out in [(None, top)] + [(v, help_text(ctl, v)) for v in verbs]:
        for opt in sorted(set(re.findall(r"(--[a-z][a-z-]+)", out))):
            if opt != "--help" and not re.search(re.escape(opt) + r"\b", text):
                faults.append(f"{verb or 'the tool'}: option {opt} is not in the page")
    fixtures.report("man_test", ["orvane-ctl(1): " + f for f in faults],
                    f"orvane-ctl(1) covers {len(verbs)} verbs and their options")


if __name__ == "__main__":
    main()
