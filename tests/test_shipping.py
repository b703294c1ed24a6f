"""The README's rsyslog configuration, run: every line of each file kind arrives once and in order."""

import os
import re

import pytest

import shipping


@pytest.fixture(autouse=True)
def rsyslogd():
    if shipping.rsyslogd() is None:
        if os.environ.get("LOG_MAIN_REQUIRE_RSYSLOG") == "1":
            pytest.fail("rsyslogd not found, and LOG_MAIN_REQUIRE_RSYSLOG=1 asks for it")
        pytest.skip("rsyslogd not found (Debian: apt-get install rsyslog); CI installs it")


@pytest.mark.parametrize("kind, rollovers, rotated", [
    ("file", 0, r"app\.log"),
    ("rotating", 6, r"app\.log\.\d+"),
    ("timerotating", 4, r"app\.2024-05-0\d\.log"),
])
def test_live_name_ships_every_line_once_in_order(kind, rollovers, rotated):
    result, files = shipping.run(kind, lines=1400, rollovers=rollovers)
    assert result["rollovers"] >= rollovers
    assert result == {**result, "sent": 1400, "arrived": 1400, "lost": 0, "doubled": 0, "out of order": 0}
    assert all(re.fullmatch(rotated, name) for name in files if name != "app.log")


def test_a_pattern_matching_time_rotated_names_sends_lines_twice():
    # Whether rsyslog picks up a renamed file before it notices the rename is a race: it shows in
    # most runs, so a few runs are enough to see it.
    for _ in range(4):
        result, _ = shipping.run("timerotating", lines=600, rollovers=3, watch="glob")
        assert result["lost"] == 0
        if result["doubled"] > 0:
            break
    assert result["doubled"] > 0
