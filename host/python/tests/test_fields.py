"""The one field table, as Python reads it, against the protocol page's list of fields."""

import os
import re

import orvane
from conftest import ROOT


def test_protocol_page_lists_every_field_at_the_tables_offset():
    text = open(os.path.join(ROOT, "docs", "protocol.md"), encoding="utf-8").read()
    section = text.split("## Map fields", 1)[1].split("\n## ", 1)[0]
    listed = {}
    for row in re.finditer(r"^\| 0x([0-9A-F]{4})[^|]*\|[^|]*\| `([a-z_]+)`", section, re.M):
        listed[row.group(2)] = int(row.group(1), 16)
    table = {f.name: f.offset for f in orvane.FIELDS if "#" not in f.name and f.name != "one"}
    table["sv_pos"] = orvane.find_field("sv_pos").offset
    assert listed == table


def test_names_resolve_as_in_the_cpp_library():
    assert orvane.resolve("servo.3.goal")[2:] == (0x0C06, "servo.3.goal")
    assert orvane.resolve("sv_pos", 32)[2:] == (0x0DBE, "sv_pos.32")
    assert orvane.resolve("led.b.7")[0].channel_of(7) == 79
    assert orvane.suggest("servo.3.gaol") == "servo.3.goal"
    assert orvane.decode(orvane.find_field("sv_pos"), b"\x00\x80") == orvane.NO_READING


def test_host_page_shows_the_table_as_generated():
    text = open(os.path.join(ROOT, "docs", "host.md"), encoding="utf-8").read()
    shown = text.split("by python3 -m orvane fields -->\n", 1)[1].split("<!-- end of table -->", 1)[0]
    assert shown == orvane.fields.markdown(), "regenerate with: PYTHONPATH=host/python python3 -m orvane fields"
