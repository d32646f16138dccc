#!/usr/bin/env bash
# Renders the benchmarks' screenshot corpus with headless Chromium from bench/corpus/page.html.
# Output: $CORPUS (default ${TMPDIR:-/tmp}/tessaron-corpus): 80 PNG screenshots, eight page kinds, at 1280x800 and
# 1920x1080 (base, one word changed, scrolled by 40 px, other content of the same kind) and 2560x1600 (base, one
# word changed), each with its layout as the accessibility tree would give it (<name>.layout.json), plus
# pairs.tsv naming the near-duplicate and the distinct pairs. Files already there are kept.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
corpus=${CORPUS:-${TMPDIR:-/tmp}/tessaron-corpus}
mkdir -p "$corpus"
chromium=/usr/lib/chromium/chromium
[[ -x $chromium ]] || chromium=$(command -v chromium)

shot() {  # name width height scale query
  local out="$corpus/$1.png"
  [[ -s $out && -s $corpus/$1.layout.json ]] && return 0
  local profile; profile=$(mktemp -d)
  "$chromium" --headless --no-sandbox --disable-gpu --disable-background-networking --disable-component-update \
    --disable-sync --no-first-run --hide-scrollbars --user-data-dir="$profile" --force-device-scale-factor="$4" \
    --screenshot="$out" --window-size="$2,$3" "file://$here/page.html?$5" >/dev/null 2>&1
  [[ -s $out ]] || { rm -rf "$profile"; echo "make_corpus: chromium made no $out" >&2; return 1; }
  "$chromium" --headless --no-sandbox --disable-gpu --disable-background-networking --disable-component-update \
    --disable-sync --no-first-run --hide-scrollbars --user-data-dir="$profile" --force-device-scale-factor="$4" \
    --window-size="$2,$3" --dump-dom "file://$here/page.html?$5" 2>/dev/null |
    python3 -c 'import re, sys
found = re.search(r"<script type=\"application/json\" id=\"layout\">(.*?)</script>", sys.stdin.read(), re.S)
print(found.group(1) if found else "")' > "$corpus/$1.layout.json"
  rm -rf "$profile"
}

kinds=(article gallery dashboard code search shop chart notice)
jobs=()
for kind in "${kinds[@]}"; do
  for size in 1280x800 1920x1080; do
    w=${size%x*} h=${size#*x}
    jobs+=("${kind}_${size}_base $w $h 1 kind=$kind&seed=1")
    jobs+=("${kind}_${size}_word $w $h 1 kind=$kind&seed=1&word=1")
    jobs+=("${kind}_${size}_scroll40 $w $h 1 kind=$kind&seed=1&scroll=40")
    jobs+=("${kind}_${size}_other $w $h 1 kind=$kind&seed=2")
  done
  # A 1280x800 window at scale 2, as on a high-density screen.
  jobs+=("${kind}_2560x1600_base 1280 800 2 kind=$kind&seed=1")
  jobs+=("${kind}_2560x1600_word 1280 800 2 kind=$kind&seed=1&word=1")
done
running=0
for job in "${jobs[@]}"; do
  # shellcheck disable=SC2086
  shot $job &
  if (( ++running % 2 == 0 )); then wait; fi
done
wait

{
  printf 'a\tb\tkind\n'
  for kind in "${kinds[@]}"; do
    for size in 1280x800 1920x1080; do
      printf '%s\t%s\tnear_word\n' "${kind}_${size}_base" "${kind}_${size}_word"
      printf '%s\t%s\tnear_scroll40\n' "${kind}_${size}_base" "${kind}_${size}_scroll40"
      printf '%s\t%s\tdistinct_same_template\n' "${kind}_${size}_base" "${kind}_${size}_other"
    done
    printf '%s\t%s\tnear_word\n' "${kind}_2560x1600_base" "${kind}_2560x1600_word"
  done
} > "$corpus/pairs.tsv"
ls "$corpus"/*.png | wc -l
