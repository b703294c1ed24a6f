"""Renders docs/demo.png from a real run of examples/demo.py (``make picture``).

The demo runs with FORCE_COLOR set, its standard output and error interleaved in one pipe;
the ANSI colour codes are turned into HTML, and headless Chromium takes a screenshot of the
page. Without a `chromium` binary (Debian: apt-get install chromium) the same text is drawn
glyph by glyph with Pillow in DejaVu Sans Mono (which matplotlib ships), with the same colours.
"""

from __future__ import annotations

import argparse
import html
import os
import re
import shutil
import subprocess
import sys
import tempfile
from dataclasses import dataclass, replace
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUT = ROOT / "docs" / "demo.png"

BACKGROUND = "#1e1e1e"
FOREGROUND = "#d4d4d4"
# SGR colours 30-37 / 40-47 and their bright forms 90-97 / 100-107.
PALETTE = ["#000000", "#cd3131", "#0dbc79", "#e5e510", "#2472c8", "#bc3fbc", "#11a8cd", "#e5e5e5"]
BRIGHT = ["#666666", "#f14c4c", "#23d18b", "#f5f543", "#3b8eea", "#d670d6", "#29b8db", "#ffffff"]
FONT_PX, LINE_PX, PAD_PX = 15, 20, 16

SGR = re.compile(r"\x1b\[([0-9;]*)m")


@dataclass(frozen=True)
class Style:
    fg: str | None = None
    bg: str | None = None
    bold: bool = False


def apply_sgr(style: Style, params: str) -> Style:
    codes = [int(c) for c in params.split(";") if c] or [0]
    for code in codes:
        if code == 0:
            style = Style()
        elif code == 1:
            style = replace(style, bold=True)
        elif code == 22:
            style = replace(style, bold=False)
        elif 30 <= code <= 37:
            style = replace(style, fg=PALETTE[code - 30])
        elif 90 <= code <= 97:
            style = replace(style, fg=BRIGHT[code - 90])
        elif code == 39:
            style = replace(style, fg=None)
        elif 40 <= code <= 47:
            style = replace(style, bg=PALETTE[code - 40])
        elif 100 <= code <= 107:
            style = replace(style, bg=BRIGHT[code - 100])
        elif code == 49:
            style = replace(style, bg=None)
    return style


def parse(text: str) -> list[list[tuple[Style, str]]]:
    """Splits ANSI text into lines of (style, run of text); the style carries across lines."""
    lines: list[list[tuple[Style, str]]] = [[]]
    style = Style()
    pos = 0
    for match in [*SGR.finditer(text), None]:
        end = match.start() if match else len(text)
        for i, chunk in enumerate(text[pos:end].split("\n")):
            if i:
                lines.append([])
            if chunk:
                lines[-1].append((style, chunk))
        if match:
            style = apply_sgr(style, match.group(1))
            pos = match.end()
    while lines and not lines[-1]:
        lines.pop()
    while lines and not lines[0]:
        lines.pop(0)
    return lines


def to_html(lines: list[list[tuple[Style, str]]]) -> str:
    rows = []
    for line in lines:
        spans = []
        for style, chunk in line:
            css = [f"color:{style.fg}" if style.fg else "", f"background:{style.bg}" if style.bg else "",
                   "font-weight:bold" if style.bold else ""]
            spans.append(f'<span style="{";".join(c for c in css if c)}">{html.escape(chunk)}</span>')
        rows.append("".join(spans))
    return (f"<!DOCTYPE html><html><head><meta charset='utf-8'><style>"
            f"html,body{{margin:0;background:{BACKGROUND}}}"
            f"pre{{margin:0;padding:{PAD_PX}px;color:{FOREGROUND};font:{FONT_PX}px/{LINE_PX}px "
            f"'DejaVu Sans Mono',monospace;white-space:pre}}</style></head>"
            f"<body><pre>{chr(10).join(rows)}</pre></body></html>")


def run_demo() -> str:
    env = dict(os.environ, FORCE_COLOR="1", PYTHONUNBUFFERED="1")
    env.pop("NO_COLOR", None)
    with tempfile.TemporaryDirectory() as work:  # so the demo prints short relative paths
        result = subprocess.run([sys.executable, str(ROOT / "examples" / "demo.py")], cwd=work, env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=True)
    return result.stdout.decode("utf-8")


def mono_font(bold: bool) -> str:
    import matplotlib

    name = "DejaVuSansMono-Bold.ttf" if bold else "DejaVuSansMono.ttf"
    return str(Path(matplotlib.get_data_path()) / "fonts" / "ttf" / name)


def render_pillow(lines: list[list[tuple[Style, str]]], out: Path) -> None:
    from PIL import Image, ImageDraw, ImageFont

    fonts = {b: ImageFont.truetype(mono_font(b), FONT_PX) for b in (False, True)}
    cell = fonts[False].getlength("M")
    columns = max((sum(len(c) for _, c in line) for line in lines), default=0)
    size = (int(columns * cell) + 2 * PAD_PX, len(lines) * LINE_PX + 2 * PAD_PX)
    image = Image.new("RGB", size, BACKGROUND)
    draw = ImageDraw.Draw(image)
    for row, line in enumerate(lines):
        y = PAD_PX + row * LINE_PX
        col = 0
        for style, chunk in line:
            for char in chunk:  # one glyph per cell, as a terminal draws it
                x = PAD_PX + col * cell
                if style.bg:
                    draw.rectangle([x, y, x + cell, y + LINE_PX - 1], fill=style.bg)
                draw.text((x, y + (LINE_PX - FONT_PX) // 2), char, font=fonts[style.bold],
                          fill=style.fg or FOREGROUND)
                col += 1
    image.save(out, optimize=True)


def render_chromium(chromium: str, page: str, lines: list[list[tuple[Style, str]]], out: Path) -> None:
    from PIL import Image, ImageChops

    columns = max((sum(len(c) for _, c in line) for line in lines), default=0)
    width = int(columns * FONT_PX * 0.61) + 2 * PAD_PX + 40
    height = len(lines) * LINE_PX + 2 * PAD_PX + 40
    with tempfile.TemporaryDirectory() as work:
        page_file = Path(work) / "demo.html"
        page_file.write_text(page, encoding="utf-8")
        shot = Path(work) / "shot.png"
        subprocess.run([chromium, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                        "--force-device-scale-factor=1", f"--window-size={width},{height}",
                        f"--screenshot={shot}", page_file.as_uri()],
                       check=True, capture_output=True, timeout=120)
        image = Image.open(shot).convert("RGB")
    # Trim the spare margin the window was given, keeping the padding of the page.
    box = ImageChops.difference(image, Image.new("RGB", image.size, BACKGROUND)).getbbox()
    if box:
        image = image.crop((0, 0, min(image.width, box[2] + PAD_PX), min(image.height, box[3] + PAD_PX)))
    image.save(out, optimize=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--renderer", choices=["auto", "chromium", "pillow"], default="auto")
    parser.add_argument("--out", type=Path, default=OUT)
    parser.add_argument("--html", type=Path, help="also keep the HTML page here")
    opts = parser.parse_args()

    lines = parse(run_demo())
    page = to_html(lines)
    if opts.html:
        opts.html.write_text(page, encoding="utf-8")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if opts.renderer == "chromium" and not chromium:
        sys.exit("chromium not found (Debian: apt-get install chromium)")
    if chromium and opts.renderer != "pillow":
        render_chromium(chromium, page, lines, opts.out)
        how = "headless Chromium"
    else:
        render_pillow(lines, opts.out)
        how = "Pillow"
    print(f"wrote {opts.out} ({how}, {len(lines)} lines)")


if __name__ == "__main__":
    main()
