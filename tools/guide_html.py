#!/usr/bin/env python3
"""Turns the Markdown service guide into one HTML page that opens on any PC: its pictures
embedded as data: URIs, a small style sheet of its own for a laptop screen and for paper.

    tools/guide_html.py GUIDE.md OUTPUT.html

The same guide always gives the same bytes (the release is reproducible). Fails when a
picture the guide names is missing, so a release never ships a page with a hole in it.
"""
import base64
import html
import os
import re
import sys

import markdown

STYLE = """
body { font-family: "Segoe UI", Calibri, Arial, sans-serif; font-size: 11pt; line-height: 1.45;
       color: #1a1a1a; max-width: 62em; margin: 1.5em auto; padding: 0 1.2em; }
h1 { font-size: 1.7em; border-bottom: 2px solid #335; padding-bottom: .2em; }
h2 { font-size: 1.35em; margin-top: 1.6em; border-bottom: 1px solid #ccd; }
h3 { font-size: 1.12em; margin-top: 1.3em; }
code { font-family: Consolas, "DejaVu Sans Mono", monospace; font-size: .92em;
       background: #f3f3f6; padding: 0 .2em; }
table { border-collapse: collapse; width: 100%; margin: .8em 0; font-size: .92em; }
th, td { border: 1px solid #b8b8c8; padding: .3em .5em; text-align: left; vertical-align: top; }
th { background: #e8e8f0; }
tr:nth-child(even) td { background: #f8f8fb; }
td:first-child { width: 34%; }
img { display: block; max-width: 100%; height: auto; margin: .6em 0 1.2em;
      border: 1px solid #ccc; }
a { color: #1f4e9a; }
@media print {
  body { font-size: 9.5pt; max-width: none; margin: 0; padding: 0; }
  h2, h3 { page-break-after: avoid; }
  tr, img { page-break-inside: avoid; }
  thead { display: table-header-group; }
  a { color: inherit; text-decoration: none; }
}
"""

IMAGE = re.compile(r'(<img\b[^>]*?\bsrc=")([^"]+)(")')
TYPES = {".png": "image/png", ".jpg": "image/jpeg", ".jpeg": "image/jpeg", ".gif": "image/gif",
         ".svg": "image/svg+xml"}


def embed(page, base):
    def data_uri(match):
        source = html.unescape(match.group(2))
        if source.startswith("data:"):
            return match.group(0)
        path = os.path.join(base, source)
        kind = TYPES.get(os.path.splitext(path)[1].lower())
        if kind is None or not os.path.isfile(path):
            raise SystemExit(f"guide_html: the picture {source} is missing or of an unknown kind")
        with open(path, "rb") as picture:
            encoded = base64.b64encode(picture.read()).decode("ascii")
        return f"{match.group(1)}data:{kind};base64,{encoded}{match.group(3)}"
    return IMAGE.sub(data_uri, page)


def main():
    if len(sys.argv) != 3:
        raise SystemExit("usage: guide_html.py GUIDE.md OUTPUT.html")
    source, output = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as guide:
        text = guide.read()
    # toc gives each heading the id its in-page links use ("#what-the-window-can-say").
    body = markdown.markdown(text, extensions=["tables", "toc"], output_format="html")
    title = next((line[2:].strip() for line in text.splitlines() if line.startswith("# ")),
                 "Service guide")
    page = ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            f"<title>{html.escape(title)}</title>\n<style>{STYLE}</style>\n</head>\n<body>\n"
            f"{body}\n</body>\n</html>\n")
    page = embed(page, os.path.dirname(os.path.abspath(source)))
    with open(output, "w", encoding="utf-8", newline="\n") as out:
        out.write(page)


if __name__ == "__main__":
    main()
