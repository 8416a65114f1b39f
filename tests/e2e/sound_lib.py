"""Helpers of tests/e2e/sound.sh: the test's own wave files, and checks of
the player's --audio-out files (48 kHz stereo 16-bit) against what the
script's printed engine times say must be heard, sample for sample."""
import struct
import sys
import wave

RATE_MS = 48  # output frames per millisecond


def write_wav(name, rate, frames):
    with wave.open(name, 'wb') as f:
        f.setnchannels(len(frames[0]))
        f.setsampwidth(2)
        f.setframerate(rate)
        f.writeframes(b''.join(struct.pack('<%dh' % len(fr), *fr) for fr in frames))


def read_out(name):
    with wave.open(name, 'rb') as f:
        assert (f.getframerate(), f.getnchannels(), f.getsampwidth()) == (48000, 2, 2)
        n = f.getnframes()
        d = struct.unpack('<%dh' % (2 * n), f.readframes(n))
    return [(d[2 * i], d[2 * i + 1]) for i in range(n)]


# a.wav: 100 ms of a stereo ramp; b.wav: 50 ms of a mono ramp (doubled).
A = [(1000 + i, -1000 - i) for i in range(4800)]
B = [(-7000 + i, -7000 + i) for i in range(2400)]


def chunk(kind, body):
    return kind + struct.pack('<I', len(body)) + body


def riff(*chunks):
    body = b'WAVE' + b''.join(chunks)
    return b'RIFF' + struct.pack('<I', len(body)) + body


def fmt(tag=1, channels=1, rate=48000, bits=16, align=None):
    align = align if align is not None else channels * bits // 8
    return chunk(b'fmt ', struct.pack('<HHIIHH', tag, channels, rate, (rate * align) & 0xFFFFFFFF, align, bits))


def make_broken():
    data = chunk(b'data', struct.pack('<4h', 1, 2, 3, 4))
    files = {
        'zero_channels': riff(fmt(channels=0), data),
        'rate_zero': riff(fmt(rate=0), data),
        'rate_absurd': riff(fmt(rate=4000000000), data),
        'no_data': riff(fmt()),
        'data_before_fmt': riff(data, fmt()),
        'fmt_claims_all': b'RIFF\xff\xff\xff\xffWAVEfmt \xff\xff\xff\x7f' + fmt()[8:] + data,
        'unknown_tag': riff(fmt(tag=0x1234), data),
        'bits_zero': riff(fmt(bits=0, align=2), data),
        'adpcm_garbage': riff(fmt(tag=2, bits=4, align=0), data),
        'garbage': b'RIFF\x10\x00\x00\x00WAVE' + bytes(range(200)),
        'not_riff': b'ID3\x03' + bytes(100),
    }
    for name, b in files.items():
        open('broken_%s.wav' % name, 'wb').write(b)
    # 100 frames present, 48000 claimed by the data chunk and the RIFF size.
    body = struct.pack('<100h', *range(100, 200))
    short = riff(fmt()) + b'data' + struct.pack('<I', 96000) + body
    short = short[:4] + struct.pack('<I', 10 ** 9) + short[8:]
    open('short.wav', 'wb').write(short)


def expect(length, segments):
    """Silence of `length` frames with each (start, frames, stop) laid on."""
    out = [(0, 0)] * length
    for start, frames, stop in segments:
        end = min(start + len(frames), stop, length)
        out[start:end] = frames[:end - start]
    return out


def compare(got, want):
    if len(got) != len(want):
        print('length %d, want %d' % (len(got), len(want)))
        return False
    for i, (g, w) in enumerate(zip(got, want)):
        if g != w:
            print('frame %d: %s, want %s' % (i, g, w))
            return False
    return True


def check_play(out_name, wav_name):
    lines = open(out_name).read().split('\n')
    words = [l.split() for l in lines]
    t = [int(w[1]) * RATE_MS for w in words if len(w) == 2 and w[0] in ('a', 'b', 'stop', 'free', 'end')]
    a1, b, stop, a2, a3, free, end = t
    flags = [l for l in lines if l.startswith(('busy', 'after', 'stopped', 'a ended'))]
    if flags != ['busy 1', 'after b: a 0 bee 1', 'stopped 0', 'a ended 0']:
        print('flags: %s' % flags)
        return False
    want = expect(end, [(a1, A, b), (b, B, stop), (a2, A, end), (a3, A, free)])
    return compare(read_out(wav_name), want)


def check_short(wav_name):
    frames = [(v, v) for v in range(100, 200)]
    got = read_out(wav_name)
    return compare(got, expect(len(got), [(0, frames, len(got))]))


def make_media():
    # Half a second of a two-tone stereo signal at 48 kHz, to be encoded.
    import math
    write_wav('tone.wav', 48000, [(int(8000 * math.sin(i * 0.05)), int(6000 * math.sin(i * 0.031)))
                                  for i in range(24000)])
    # A MIDI file: format 0, 96 ticks a quarter (120 per minute by default),
    # middle C for one quarter (500 ms), then the end of the track.
    track = bytes([0x00, 0x90, 60, 100, 0x60, 0x80, 60, 0, 0x00, 0xFF, 0x2F, 0x00])
    midi = b'MThd' + struct.pack('>IHHH', 6, 0, 1, 96) + b'MTrk' + struct.pack('>I', len(track)) + track
    open('tune.mid', 'wb').write(midi)
    open('garbage.mp3', 'wb').write(b'this is no sound file at all. ' * 50)
    open('garbage.mid', 'wb').write(b'MThd' + struct.pack('>IHHH', 6, 0, 1, 96) + b'MTrk\xff\xff\xff\xff' + bytes(40))
    open('garbage.ogg', 'wb').write(b'OggS' + bytes(300))


def frames_of(name):
    with wave.open(name, 'rb') as f:
        return f.getnframes(), f.getframerate()


def check_media(out_name, wav_name, expected_name):
    """Lengths against the files decoded by the encoders' own decoders
    (MP3 within one MPEG frame, whose padding decoders treat differently),
    the printed results, and the Ogg Vorbis sound heard exactly as oggdec
    decodes it from its start until the pause."""
    lines = open(out_name).read().rstrip('\n').split('\n')
    times = {w[0]: int(w[1]) * RATE_MS for w in (l.split() for l in lines)
             if len(w) == 2 and w[0] in ('play', 'pause', 'end')}
    shown = [l for l in lines if not l.startswith(('play ', 'pause ', 'end ', 'lengths '))]
    want_lines = open(expected_name).read().rstrip('\n').split('\n')
    if shown != want_lines:
        print('got %s\nwant %s' % (shown, want_lines))
        return False
    m, o, s = (int(x) for x in next(l for l in lines if l.startswith('lengths ')).split()[1:])
    mf, mr = frames_of('tone-mp3.wav')
    of, orate = frames_of('tone-ogg.wav')
    if abs(m - mf * 1000 // mr) > 1152 * 1000 // mr or o != of * 1000 // orate or not 500 <= s <= 4000:
        print('lengths %d %d %d, decoded %d %d' % (m, o, s, mf * 1000 // mr, of * 1000 // orate))
        return False
    with wave.open('tone-ogg.wav', 'rb') as f:
        d = struct.unpack('<%dh' % (2 * f.getnframes()), f.readframes(f.getnframes()))
    ref = [(d[2 * i], d[2 * i + 1]) for i in range(len(d) // 2)]
    p, q, end = times['play'], times['pause'], times['end']
    got = read_out(wav_name)
    heard = any(f != (0, 0) for f in got[:p])
    if not heard:
        print('the MP3 and MIDI devices were not heard')
        return False
    return compare(got[p:], expect(end - p, [(0, ref, q - p)]))


def check_mci(out_name, wav_name, expected_name):
    """The printed results against the expected lines (times left out), and
    the heard output against the times: played from 0 until the pause,
    resumed until the seek, then 10 ms to 30 ms (frames 480 to 1440)."""
    lines = open(out_name).read().split('\n')
    times = {}
    shown = []
    for l in lines:
        w = l.split()
        if len(w) == 2 and w[0] in ('play', 'pause', 'resume', 'seek', 'wait', 'end') and w[1].isdigit():
            times[w[0]] = int(w[1]) * RATE_MS
        elif l:
            shown.append(l)
    want_lines = open(expected_name).read().rstrip('\n').split('\n')
    # The line after the waiting play ends with the time it ended.
    if shown != want_lines:
        print('\n'.join('got %r\nwant %r' % p for p in zip(shown, want_lines) if p[0] != p[1]) or shown)
        return False
    p, q, r, s, w, end = (times[k] for k in ('play', 'pause', 'resume', 'seek', 'wait', 'end'))
    played = q - p
    want = expect(end, [(p, A, q), (r, A[played:], s), (w, A[480:1440], end)])
    return compare(read_out(wav_name), want)


if __name__ == '__main__':
    cmd = sys.argv[1]
    if cmd == 'make-waves':
        write_wav('a.wav', 48000, A)
        write_wav('b.wav', 48000, [(s[0],) for s in B])
    elif cmd == 'make-broken':
        make_broken()
    elif cmd == 'check-play':
        sys.exit(0 if check_play(sys.argv[2], sys.argv[3]) else 1)
    elif cmd == 'make-media':
        make_media()
    elif cmd == 'check-media':
        sys.exit(0 if check_media(sys.argv[2], sys.argv[3], sys.argv[4]) else 1)
    elif cmd == 'check-mci':
        sys.exit(0 if check_mci(sys.argv[2], sys.argv[3], sys.argv[4]) else 1)
    elif cmd == 'check-short':
        sys.exit(0 if check_short(sys.argv[2]) else 1)
