"""The README's rsyslog configuration, run: every line of each file kind arrives once and in order.

Only the recommended set-up is checked here (the live name, followed by inotify). What other set-ups
do (a pattern that also matches rotated names sends their lines twice) depends on races inside
rsyslog, not on this module: bench/shipping_patterns.py measures it for the README."""

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

