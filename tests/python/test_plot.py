"""Charts and the quote board: candles drawn headless and checked as images, the chart and
watch commands to files, pipes and a pseudo-terminal."""

import fcntl
import os
import pty
import re
import signal
import struct
import subprocess
import sys
import termios
import time

import numpy as np
import pytest

import quillan
from quillan import Table, cli
from quillan.market import bar_times

pytest.importorskip("matplotlib")
from matplotlib.backends.backend_agg import FigureCanvasAgg

from quillan import plot

ENV = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(quillan.__file__)), TERM="xterm-256color")


def bars(days, opens, closes):
    opens, closes = np.asarray(opens, float), np.asarray(closes, float)
    return Table({
        "datetime": np.array(days, "M8[D]").astype("M8[s]"), "open": opens,
        "high": np.maximum(opens, closes) + 1,
        "low": np.minimum(opens, closes) - 1, "close": closes, "amount": closes * 100, "volume": closes * 10,
    })  # fmt: skip


def pixels(figure):
    canvas = FigureCanvasAgg(figure)
    canvas.draw()
    return np.asarray(canvas.buffer_rgba())[:, :, :3], canvas.get_width_height()[1]


def at(figure, image, height, x, y):
    """The colour drawn at data point (x, y) of the price axes."""
    px, py = figure.axes[0].transData.transform((x, y))
    return "#" + "".join(f"{v:02x}" for v in image[round(height - py), round(px)])


@pytest.mark.parametrize("style", ["cn", "western"])
def test_rising_falling_and_flat_candles_take_the_style_colours(style):
    table = bars(["2024-03-11", "2024-03-12", "2024-03-13"], [10, 14, 12], [14, 10, 12])
    figure = plot.candles(table, style=style, ma=(), volume=False)
    image, height = pixels(figure)
    rising, falling, flat = plot.COLORS[style]
    assert [at(figure, image, height, i, y) for i, y in ((0, 12), (1, 12), (2, 12))] == [
        rising,
        falling,
        flat,
    ]
    assert (rising == "#e03131") == (style == "cn")  # red rises in China


def test_no_gap_for_days_without_bars():
    # Thursday, Friday, then Monday after a weekend and a holiday: candles stand evenly.
    days = ["2024-04-03", "2024-04-05", "2024-04-08", "2024-04-09"]
    figure = plot.candles(bars(days, [10] * 4, [12] * 4), ma=(), volume=False)
    image, height = pixels(figure)
    row = image[round(height - figure.axes[0].transData.transform((0, 11))[1])]
    drawn = np.flatnonzero(np.abs(row.astype(int) - [0xE0, 0x31, 0x31]).sum(axis=1) < 40)
    edges = np.flatnonzero(np.diff(drawn) > 1)
    centers = [
        (a + b) / 2
        for a, b in zip(np.r_[drawn[0], drawn[edges + 1]], np.r_[drawn[edges], drawn[-1]], strict=True)
    ]
    steps = np.diff(centers)
    assert len(centers) == 4 and np.ptp(steps) <= 2


def test_panes_titles_and_an_axes_of_ones_own():
    from matplotlib.figure import Figure

    table = bars(["2024-03-11", "2024-03-12"], [10, 11], [11, 10])
    assert len(plot.candles(table).axes) == 2 and len(plot.candles(table, volume=False).axes) == 1
    figure = plot.candles(table, security="sh600036", freq="1d", adjust="forward")
    assert figure.axes[0].get_title(loc="left") == "sh600036  1d  forward-adjusted"
    mine = Figure()
    ax = mine.subplots()
    assert plot.candles(table, ax=ax) is mine


@pytest.mark.parametrize(
    ("table", "message"),
    [
        (bars([], [], []), "no bars to draw"),
        (Table({"datetime": np.zeros(1, "M8[s]"), "close": [1.0]}), "missing: open, high, low"),
    ],
)
def test_nothing_to_draw_is_an_error_not_a_blank_image(table, message):
    with pytest.raises(ValueError, match=message):
        plot.candles(table)


def days(first, last):
    span = np.arange(np.datetime64(first), np.datetime64(last))
    return span[np.is_busday(span)].astype("M8[s]")


@pytest.mark.parametrize(
    ("times", "labels"),
    [
        (days("2024-03-01", "2024-03-21"), ["03-04", "03-11", "03-18"]),  # weeks
        (days("2005-01-03", "2025-01-01"), ["2005", "2010", "2015", "2020"]),  # five years
        (
            np.datetime64("2024-03-15").astype("M8[m]") + bar_times("1m"),
            ["03-15 10:00", "11:00", "13:01", "14:00", "15:00"],
        ),
    ],
    ids=["weeks", "decades", "minutes"],
)
def test_tick_labels_stay_few_from_weeks_to_decades(times, labels):
    assert plot.tick_labels(times.astype("M8[s]"))[1] == labels


@pytest.mark.parametrize(("suffix", "magic"), [(".png", b"\x89PNG"), (".svg", b"<?xml"), (".pdf", b"%PDF")])
def test_chart_writes_each_format(sim, tmp_path, capsys, suffix, magic):
    target = tmp_path / f"chart{suffix}"
    assert cli.main(["chart", "600036", "--count", "30", "-s", sim.address, "-o", str(target)]) == 0
    assert target.read_bytes().startswith(magic) and os.listdir(tmp_path) == [target.name]


@pytest.mark.parametrize(
    ("args", "status", "message"),
    [
        (
            ["-o", "chart.xyz"],
            2,
            "cannot write a chart to chart.xyz: give a file ending in .png, .svg or .pdf",
        ),
        ([], 2, "the output is not a terminal: give -o FILE"),
        (
            ["--start", "2030-01-01", "-o", "x.png"],
            1,
            "no 1d bars of sh600036 in that range: nothing to chart",
        ),
    ],
)
def test_chart_errors(sim, capsys, args, status, message):
    assert cli.main(["chart", "600036", "-s", sim.address, *args]) == status
    assert message in capsys.readouterr().err


def in_terminal(args, *, columns=90, lines=24, interrupt_after=None):
    """A command of the tool on a pseudo-terminal of that size: its status and what it drew."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", lines, columns, 0, 0))
    child = subprocess.Popen(
        [sys.executable, "-m", "quillan", *args], stdin=slave, stdout=slave, stderr=subprocess.PIPE, env=ENV
    )
    os.close(slave)
    drawn = b""
    began = time.monotonic()
    while True:
        if interrupt_after is not None and interrupt_after in drawn and child.poll() is None:
            child.send_signal(signal.SIGINT)
            interrupt_after = None
        try:
            data = os.read(master, 65536)
        except OSError:  # the child closed the terminal
            break
        if not data or time.monotonic() - began > 60:
            break
        drawn += data
    os.close(master)
    child.wait(timeout=30)
    child.stderr.close()
    return child.returncode, drawn.decode(errors="replace")


def test_chart_in_the_terminal_fits_its_width(sim):
    status, drawn = in_terminal(["chart", "600036", "-s", sim.address, "--count", "60"])
    plain = re.sub(r"\x1b\[[0-9;]*m", "", drawn)
    assert status == 0 and "\x1b[38;5;1m" in drawn and "\x1b[38;5;2m" in drawn  # red and green
    assert "sh600036  1d" in plain and max(len(line) for line in plain.splitlines()) <= 90


def test_watch_refreshes_in_place_then_leaves_the_terminal_as_it_was(sim):
    status, drawn = in_terminal(
        ["watch", "600036", "000001", "-s", sim.address, "--count", "2", "--interval", "0.1"]
    )
    assert status == 0 and "refresh 2 of 2" in drawn and "refresh 3" not in drawn
    assert "\x1b[31m" in drawn and "\x1b[32m" in drawn  # sz000001 rose, sh600036 fell
    assert drawn.rstrip().endswith("\x1b[?25h")  # the cursor is shown again
    status, drawn = in_terminal(["watch", "600036", "-s", sim.address], interrupt_after=b"refresh 1")
    assert status == 0 and drawn.rstrip().endswith("\x1b[?25h")


def test_watch_piped_prints_a_csv_block_per_refresh(sim, capsys):
    assert (
        cli.main(["watch", "600036", "000001", "-s", sim.address, "--count", "3", "--interval", "0.05"]) == 0
    )
    out = capsys.readouterr().out
    assert out.count("security,price,change,change_pct,bid,ask,vol,time\n") == 3
    assert "sh600036,15.49,-0.28,-1.77552" in out


def test_watch_says_when_the_server_fails(capsys):
    args = ["watch", "600036", "-s", "127.0.0.1:1", "--retries", "0", "--count", "2", "--interval", "0.05"]
    assert cli.main(args) == 1
    err = capsys.readouterr().err
    assert err.count("quillan: warning: no quotes at ") == 2 and "every refresh failed" in err
    assert "Traceback" not in err


@pytest.mark.parametrize(
    ("missing", "draw", "extra"),
    [
        ("matplotlib", lambda t: plot.candles(t), "plot"),
        ("plotext", lambda t: plot.terminal_candles(t, 80, 20), "terminal"),
    ],
)
def test_a_missing_dependency_names_the_extra(monkeypatch, missing, draw, extra):
    monkeypatch.setitem(sys.modules, missing, None)
    with pytest.raises(ImportError, match=rf"install it with pip install 'quillan\[{extra}\]'"):
        draw(bars(["2024-03-11"], [10], [11]))
