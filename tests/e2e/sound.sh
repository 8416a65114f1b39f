#!/usr/bin/env bash
# Wave sounds, heard through --audio-out on the fixed engine clock: each
# sound lands at the output frame of the engine time it was started
# (48 frames a millisecond), a second sound cuts off the first, playing a
# playing sound does not restart it, soundstop and soundfree silence it,
# the file is the same on every run, and broken wave files give a line on
# standard error, never a crash. Usage: sound.sh BIN_DIR
set -euo pipefail
bin=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*"; exit 1; }
command -v python3 >/dev/null || { echo "sound: python3 missing, skipped"; exit 77; }

run() {  # run NAME: compile NAME.qns, play it into NAME-out.wav
  "$bin/quillonc" "$1.qns"
  "$bin/quillon" --headless --fixed-clock --audio-out "$1-out.wav" "$1.qnc" >"$1.out" 2>"$1.err" || true
}

python3 "$here/sound_lib.py" make-waves

# Times in ms from the start (the timer), printed before each command.
cat > play.qns <<'QNS'
timerinit t
soundload "a.wav"
soundload "b.wav" bee
wait 10
consolewrite "a " @t
soundplay a
wait 5
soundplay a
consolewrite "busy " ele_soundbusy(a)
wait 5
consolewrite "b " @t
soundplay bee
consolewrite "after b: a " ele_soundbusy(a) " bee " ele_soundbusy(bee)
wait 2
consolewrite "stop " @t
soundstop bee
consolewrite "stopped " ele_soundbusy(bee)
wait 3
consolewrite "a " @t
soundplay a
wait 10
consolewrite "a ended " ele_soundbusy(a)
consolewrite "a " @t
soundplay "a"
wait 1
consolewrite "free " @t
soundfree a
wait 2
soundfade bee 5
soundvolume bee 0
soundloop bee
consolewrite "end " @t
QNS
run play
[ -s play.err ] && fail "stderr: $(cat play.err)"
python3 "$here/sound_lib.py" check-play play.out play-out.wav || fail "play.wav is not what the script played"

# The same run gives the same file.
cp play-out.wav first.wav
run play
cmp -s play-out.wav first.wav || fail "two runs gave different output"

# Broken files: each a line on stderr and silence, then the script goes on.
python3 "$here/sound_lib.py" make-broken
for f in broken_*.wav; do
  printf 'soundload "%s" s\nsoundplay s\nconsolewrite "done " ele_soundbusy(s)\n' "$f" > broken.qns
  run broken
  [ "$(cat broken.out)" = "done 0" ] || fail "$f: $(cat broken.out) $(cat broken.err)"
  [ "$(grep -c 'cannot be played' broken.err)" = 1 ] || fail "$f: stderr $(cat broken.err)"
done

# A truncated file (data chunk claims more than is there) plays what is there.
echo 'soundplay "short.wav"' > short.qns
run short
python3 "$here/sound_lib.py" check-short short-out.wav || fail "short.wav"

# A file found nowhere is MISSINGFILE.
echo 'soundplay "nothere"' > missing.qns
run missing
grep -q 'MISSINGFILE Sound "nothere"' missing.err || fail "missing: $(cat missing.err)"

# mci on a waveaudio device: the result strings, and what is heard.
cat > mci.qns <<'QNS'
timerinit t
consolewrite "[" mci("open a.wav alias One") "]"
consolewrite "length " mci("status one length") " " mci("status one mode") " " mci("status one ready")
mci "set one time format samples"
consolewrite "samples " mci("status one length") " " mci("status one time format")
mci "set one time format ms"
wait 1
consolewrite "play " @t
mci "play one"
wait 2
consolewrite "at " mci("status one position") " " mci("status one mode")
consolewrite "pause " @t
mci "pause one"
wait 2
consolewrite "at " mci("status one position") " " mci("status one mode")
consolewrite "resume " @t
mci "resume one"
wait 2
consolewrite "seek " @t
mci "seek one to 70"
consolewrite "at " mci("status one position") " " mci("status one mode")
consolewrite "wait " @t
mci "play one from 10 to 30 wait"
consolewrite "at " mci("status one position") " " mci("status one mode") " " @t
mci "close one"
consolewrite "[" mci("") "]"
consolewrite "[" mci("play") "]"
consolewrite "[" mci("open \"a.wav alias x") "]"
consolewrite "[" mci("frobnicate x") "]"
consolewrite "[" mci("status one mode") "]"
mci "open a.wav alias two"
consolewrite "[" mci("play two from x") "]"
consolewrite "[" mci("play two from 1 from 2") "]"
consolewrite "[" mci("play two bogus") "]"
consolewrite "[" mci("set two time format frames") "]"
consolewrite "[" mci("set two time format") "]"
consolewrite "[" mci("play two from 500") "]"
consolewrite "[" mci("open new type waveaudio") "]"
consolewrite "[" mci("open missing.wav") "]"
consolewrite "[" mci("open a.wav alias TWO") "]"
consolewrite "[" mci("open short.wav") "]"
consolewrite "[" mci("open broken_garbage.wav type waveaudio") "]"
set long strrepeat(10000, "x")
consolewrite "[" mci(@long) "]"
set i 0
more:
set r mci("open a.wav alias d", @i)
set i @i+1
if @i < 1000
  goto more
endif
consolewrite "1000 opens: [" @r "]"
mci "close all"
consolewrite "[" mci("status d1 mode") "]"
consolewrite "end " @t
QNS
run mci
[ -s mci.err ] && fail "stderr: $(cat mci.err)"
python3 "$here/sound_lib.py" check-mci mci.out mci-out.wav "$here/sound_mci.out" || fail "mci"

# mpegvideo (MP3, Ogg Vorbis) and sequencer (MIDI) devices. The MP3 and
# Ogg files are made here by lame and oggenc from a wave file; the MIDI
# file is written by hand.
if command -v lame >/dev/null && command -v oggenc >/dev/null && command -v oggdec >/dev/null; then
  python3 "$here/sound_lib.py" make-media
  lame --quiet tone.wav tone.mp3 && lame --quiet --decode tone.mp3 tone-mp3.wav
  oggenc -Q tone.wav -o tone.ogg && oggdec -Q tone.ogg -o tone-ogg.wav
  cat > media.qns <<'QNS'
timerinit t
consolewrite "[" mci("open tone.mp3 alias m") "][" mci("open tone.ogg alias o") "][" mci("open tune.mid alias s") "]"
consolewrite "lengths " mci("status m length") " " mci("status o length") " " mci("status s length")
mci "play m"
wait 10
consolewrite "m at " mci("status m position") " " mci("status m mode")
mci "close m"
mci "play s from 100"
wait 10
consolewrite "s at " mci("status s position") " " mci("status s mode")
mci "close s"
wait 1
consolewrite "play " @t
mci "play o"
wait 10
consolewrite "pause " @t
mci "pause o"
consolewrite "o at " mci("status o position")
mci "seek o to end"
consolewrite "o at end " mci("status o position") " " mci("status o mode")
mci "close o"
consolewrite "[" mci("open garbage.mp3") "]"
consolewrite "[" mci("open garbage.mid") "]"
consolewrite "[" mci("open garbage.ogg type mpegvideo") "]"
consolewrite "[" mci("set s time format samples") "]"
wait 1
consolewrite "end " @t
QNS
  run media
  [ -s media.err ] && fail "stderr: $(cat media.err)"
  python3 "$here/sound_lib.py" check-media media.out media-out.wav "$here/sound_media.out" || fail "media devices"
else
  echo "sound: lame, oggenc or oggdec missing: the MP3, Ogg and MIDI devices are not tested"
fi

echo "sound: all passed"
