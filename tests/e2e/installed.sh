#!/usr/bin/env bash
# The installation as a user meets it: installs the build into a temporary
# prefix, compiles and runs a script with the installed programs, and checks
# what the desktop and editors read: every option that a program's --help
# prints is in its manual page, the desktop entry and the file types are
# accepted by their tools, and the editor grammars know every command,
# system variable and statement keyword of the tables they come from.
# Usage: installed.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "${1:?usage: installed.sh BUILD_DIR SOURCE_DIR}" && pwd)
src=$(cd "${2:?usage: installed.sh BUILD_DIR SOURCE_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/quillon-installed.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

# The installed programs run from anywhere, with nothing of the build.
cd "$work"
printf 'windowsize 64 48\ndrawclear 10 20 30\nconsolewrite "installed " @1\n' >hello.qns
"$prefix/bin/quillonc" hello.qns || fail "the installed quillonc"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/quillon" --headless --snapshot hello.png hello.qnc) ||
  fail "the installed quillon"
[ "$out" = "installed hello.qnc" ] || fail "the installed player wrote: $out"
[ -s hello.png ] || fail "no snapshot"

# Manual pages: every option of --help (and the usage line) in the page.
for program in quillon quillonc quillon-vk quillon-mkfont; do
  page=$prefix/share/man/man1/$program.1.gz
  [ -f "$page" ] || fail "no manual page $page"
  text=$(zcat "$page" | sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g')
  help=$("$prefix/bin/$program" --help 2>&1 || true)
  for option in $(grep -oE '(^|[ [|])--?[a-z][a-z-]*' <<<"$help" | sed 's/^[ [|]//' | sort -u); do
    grep -qe "$option" <<<"$text" || fail "$program: $option is in --help but not in its manual page"
  done
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT EXAMPLES; do
    grep -q "^\.SH \"*$section" <<<"$text" || fail "$program: the manual page has no $section section"
  done
done

# The desktop entry and the file types.
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$prefix/share/applications/quillon.desktop" || fail "desktop-file-validate"
fi
if command -v update-mime-database >/dev/null; then
  update-mime-database "$prefix/share/mime" >"$work/mime.log" 2>&1 || { cat "$work/mime.log"; fail "update-mime-database"; }
  grep -q 'application/x-quillon-compiled' "$prefix/share/mime/magic" || fail "no magic for compiled scripts"
  grep -q '\*\.qns' "$prefix/share/mime/globs2" || fail "no glob for script sources"
fi
python3 - "$prefix/share/icons/hicolor/256x256/apps/quillon.png" <<'PY'
import struct, sys
head = open(sys.argv[1], 'rb').read(24)
assert head[:8] == b'\x89PNG\r\n\x1a\n', 'the icon is no PNG'
assert struct.unpack('>II', head[16:24]) == (256, 256), 'the icon is not 256 x 256'
PY

# The grammars against the command table and the statement keywords, read
# from their sources here: each name must be coloured as what it is.
python3 - "$src" "$prefix/share/quillon/syntax/quillon.tmLanguage.json" \
  "$prefix/share/vim/vimfiles/syntax/quillon.vim" <<'PY'
import json, re, sys
src, tm, vim = sys.argv[1:]
commands = [n for n in re.findall(r'^QCMD\((\w+),', open(src + '/src/vm/commands.def').read(), re.M)
            if not n.startswith('_')]
table = open(src + '/compiler/compiler.cpp').read()
keywords = re.findall(r'^\s+\{"(\w+)", &C::\w+_statement', table, re.M)
assert len(commands) > 900 and len(keywords) > 20, (len(commands), len(keywords))
rules = {}
for p in json.load(open(tm))['patterns']:
    if 'match' in p:
        rules[p['name'].rsplit('.', 1)[0]] = p['match']
def scope(line):
    """The scope of the first rule that matches at the line's start (as TextMate picks)."""
    for name, rx in rules.items():
        m = re.compile(rx.replace('(?i)', ''), re.I).match(line)
        if m and m.end() > 0:
            return name, m.group(0)
    return None, None
bad = []
for n in commands:
    if n in keywords:
        continue  # a statement keyword that is also a command is coloured as a keyword
    for form in (n, n.upper()):
        got = scope(form + ' 1 2')
        if got != ('support.function', form):
            bad.append(('command', form, got))
    if n.startswith('var_') and scope('@' + n[4:]) != ('variable.language.system', '@' + n[4:]):
        bad.append(('system variable', n, scope('@' + n[4:])))
for k in keywords:
    if scope(k + ' x') != ('keyword.control', k):
        bad.append(('keyword', k, scope(k + ' x')))
# Words that merely start like a name are not coloured as one.
for line, want in [('drawrectx 1', None), ('@countx', 'variable.other'), ('start:', 'entity.name.function.label'),
                   ('; drawrect', 'comment.line.semicolon')]:
    if scope(line)[0] != want:
        bad.append(('other', line, scope(line)))
assert not bad, bad[:10]
text = open(vim).read()
vim_words = set(w for line in re.findall(r'^syn keyword \w+ (.*)$', text, re.M) for w in line.split())
missing = [n for n in commands + keywords if n not in vim_words]
assert not missing, missing[:10]
for n in commands:
    if n.startswith('var_') and not re.search(r'[@\\|(]' + re.escape(n[4:]) + r'\\', text):
        missing.append(n)
assert not missing, missing[:10]
PY
echo "installed: programs, manual pages, desktop entry, file types, icon and grammars are right"
