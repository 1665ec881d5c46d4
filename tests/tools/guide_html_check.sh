#!/usr/bin/env bash
# tools/guide_html.py on the service guide: one page with its tables, its headings' link targets
# and every picture it names embedded, the same bytes twice; a picture that is missing refused.
set -euo pipefail  # the release runs it with Debian's python3-markdown: /usr/bin/python3
root=$1 work=$2
rm -rf "$work" && mkdir -p "$work" && cp -r "$root/docs/." "$work/"
for page in a b; do /usr/bin/python3 "$root/tools/guide_html.py" "$work/service-guide.md" "$work/$page.html"; done
cmp "$work/a.html" "$work/b.html"
pictures=$(grep -oE '!\[[^]]*\]\([^)]+\)' "$work/service-guide.md" | wc -l)
embedded=$(grep -oE '<img [^>]*src="data:image/png;base64,[A-Za-z0-9+/]{100}' "$work/a.html" | wc -l)
(( pictures > 0 && embedded == pictures )) || { echo "guide_html_check: $embedded of $pictures pictures embedded" >&2; exit 1; }
grep -q '<title>KQ7750' "$work/a.html" && grep -q '<td>' "$work/a.html" && grep -q '<h2 id="when-the-program-stops-by-itself">' "$work/a.html" ||
  { echo "guide_html_check: no title, table or heading target" >&2; exit 1; }
echo '![gone](guide/missing.png)' >>"$work/service-guide.md"
if /usr/bin/python3 "$root/tools/guide_html.py" "$work/service-guide.md" "$work/c.html" 2>/dev/null; then
  echo "guide_html_check: a missing picture passed" >&2; exit 1
fi
echo "guide_html_check: $embedded pictures embedded, a missing one refused"
