#!/bin/bash
# Makes doc/screenshot.png and doc/session.txt from a real run of trelvik in a
# terminal: a small photo tree and a backup of it with one changed and one
# missing file, checked in a tmux pane 100 columns wide; the pane is captured
# with its colours, turned into HTML by aha and photographed by headless
# Chromium.
#
#   doc/make-screenshot.sh [path/to/trelvik]     (default: build/trelvik)
#
# Needs Debian's tmux, aha, chromium-headless-shell (or chromium),
# fonts-dejavu-core and, to make the picture small, pngquant. The run rewrites
# /tmp/trelvik-log.txt like every run of trelvik; the log of this run is
# appended to doc/session.txt.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
binary=$(realpath "${1:-$repo/build/trelvik}")
columns=100
rows=17

for tool in tmux aha; do
    command -v "$tool" >/dev/null || {
        echo "make-screenshot: $tool is missing (apt-get install $tool)" >&2
        exit 1
    }
done
chrome=$(command -v chromium-headless-shell || command -v chromium || true)
if [[ -z $chrome ]]; then
    echo "make-screenshot: no Chromium (apt-get install chromium-headless-shell)" >&2
    exit 1
fi
if [[ ! -x $binary ]]; then
    echo "make-screenshot: no trelvik at $binary; build it first" >&2
    exit 1
fi

work=$(mktemp -d /var/tmp/trelvik-screenshot.XXXXXX)
socket=trelvik-screenshot-$$
cleanup() {
    tmux -L "$socket" kill-server 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The source tree, and its copy with one file changed and one left out.
# Contents are fixed bytes, so every run shows the same picture.
mkdir -p "$work/bin" "$work/demo/Fotos/Urlaub" "$work/demo/Fotos/Familie" \
    "$work/demo/Fotos/lost+found"
ln -s "$binary" "$work/bin/trelvik"
cd "$work/demo"
fill() { head -c "$3" <(yes "$2") >"$1"; }
fill Fotos/Urlaub/strand.jpg strand 180000
fill Fotos/Urlaub/hafen.jpg hafen 240000
fill Fotos/Urlaub/leuchtturm.jpg leuchtturm 90000
fill Fotos/Familie/geburtstag.jpg geburtstag 120000
fill Fotos/Familie/hochzeit.jpg hochzeit 300000
fill Fotos/notizen.txt notizen 2000
fill Fotos/lost+found/#1234 rest 100
mkdir -p Sicherung
cp -a Fotos Sicherung/Fotos
rm Sicherung/Fotos/Familie/geburtstag.jpg
printf 'X' | dd of=Sicherung/Fotos/Urlaub/hafen.jpg bs=1 seek=200000 conv=notrunc status=none

# A plain shell with a short prompt in a pane of a fixed size.
tmux -L "$socket" -f /dev/null new-session -d -s shot -x "$columns" -y "$rows" \
    env -i HOME="$work" PATH="$work/bin:/usr/bin:/bin" TERM=tmux-256color LANG=C.UTF-8 \
    PS1='$ ' bash --norc --noprofile
tmux -L "$socket" set-option -t shot status off
sleep 0.5
tmux -L "$socket" send-keys -t shot 'trelvik Fotos Sicherung/Fotos' Enter

# Waits for the closing line and the next prompt.
for _ in $(seq 100); do
    screen=$(tmux -L "$socket" capture-pane -p -t shot)
    if grep -q 'Überprüfung beendet' <<<"$screen" && [[ $(grep -v '^$' <<<"$screen" | tail -n 1) == '$' ]]; then
        break
    fi
    sleep 0.2
done
grep -q 'Überprüfung beendet' <<<"$screen" || {
    echo "make-screenshot: the run did not finish:" >&2
    echo "$screen" >&2
    exit 1
}

# The log is written only when it is this user's own file (see the manual).
grep -q 'Urlaub/hafen.jpg - ACHTUNG' /tmp/trelvik-log.txt 2>/dev/null || {
    echo "make-screenshot: /tmp/trelvik-log.txt is not the log of this run; is it another user's?" >&2
    exit 1
}

# The session as text: the screen up to the next prompt, then the log.
{
    tmux -L "$socket" capture-pane -p -t shot | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' | sed '$ {/^\$$/d}'
    echo '$ cat /tmp/trelvik-log.txt'
    cat /tmp/trelvik-log.txt
} >"$repo/doc/session.txt"

# The screen with its colours, as HTML in a terminal-like frame.
tmux -L "$socket" capture-pane -p -e -t shot | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}' >"$work/screen.ansi"
lines=$(wc -l <"$work/screen.ansi")
{
    cat <<'EOF'
<!DOCTYPE html>
<html><head><meta charset="utf-8"><style>
html, body { margin: 0; background: #1e1e1e; }
pre { margin: 0; padding: 12px 14px; color: #d4d4d4;
      font: 15px/19px "DejaVu Sans Mono", monospace; }
</style></head><body><pre>
EOF
    aha --no-header <"$work/screen.ansi"
    echo '</pre></body></html>'
} >"$work/screen.html"

# 100 characters of DejaVu Sans Mono at 15 px are 904 px wide.
width=$((columns * 904 / 100 + 28))
height=$((lines * 19 + 24))
"$chrome" --headless --no-sandbox --disable-gpu --hide-scrollbars \
    --window-size="$width,$height" --screenshot="$work/screen.png" \
    "file://$work/screen.html" >/dev/null 2>&1
if command -v pngquant >/dev/null; then
    pngquant --force --quality 60-90 --speed 1 --strip --output "$repo/doc/screenshot.png" "$work/screen.png"
else
    cp "$work/screen.png" "$repo/doc/screenshot.png"
fi
echo "doc/screenshot.png ($(stat -c %s "$repo/doc/screenshot.png") bytes, ${width}x${height}) and doc/session.txt written"
