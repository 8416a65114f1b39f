#include "sound/mixer.h"

#include <algorithm>
#include <cstring>

namespace sound {

namespace {

constexpr uint32_t kBufFrames = 1024;  // source frames a stream keeps decoded ahead

}  // namespace

uint32_t PcmSource::read(int16_t* out, uint32_t frames) {
  const uint64_t left = length() - pos_;
  const uint32_t n = uint32_t(std::min<uint64_t>(frames, left));
  std::memcpy(out, pcm_.samples.data() + pos_ * 2, size_t(n) * 4);
  pos_ += n;
  return n;
}

Mixer::Id Mixer::add(std::unique_ptr<Source> source) {
  if (!source || source->rate() == 0) return 0;
  std::lock_guard<std::mutex> hold(lock_);
  const Id id = ++last_id_;
  Stream& s = streams_[id];
  s.rate = source->rate();
  s.step = (uint64_t(s.rate) << 32) / kOutRate;
  s.to = source->length();
  s.source = std::move(source);
  s.buf.resize(size_t(kBufFrames) * 2);
  return id;
}

void Mixer::remove(Id id) {
  std::unique_ptr<Source> gone;  // destroyed outside the lock
  {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = streams_.find(id);
    if (it == streams_.end()) return;
    gone = std::move(it->second.source);
    streams_.erase(it);
  }
}

void Mixer::clear() {
  std::map<Id, Stream> gone;
  std::lock_guard<std::mutex> hold(lock_);
  gone.swap(streams_);
}

Mixer::Stream* Mixer::find(Id id) {
  auto it = streams_.find(id);
  return it == streams_.end() ? nullptr : &it->second;
}

void Mixer::move_to(Stream& s, uint64_t frame) {
  s.pos = frame;
  s.frac = 0;
}

void Mixer::play(Id id, uint64_t from, uint64_t to, bool repeat) {
  std::lock_guard<std::mutex> hold(lock_);
  Stream* s = find(id);
  if (!s) return;
  const uint64_t length = s->source->length();
  s->to = std::min(to, length);
  s->from = std::min(from, s->to);
  s->repeat = repeat;
  move_to(*s, s->from);
  s->playing = s->from < s->to;
}

void Mixer::pause(Id id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (Stream* s = find(id)) s->playing = false;
}

void Mixer::resume(Id id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (Stream* s = find(id)) s->playing = s->pos < s->to || (s->repeat && s->from < s->to);
}

void Mixer::seek(Id id, uint64_t frame) {
  std::lock_guard<std::mutex> hold(lock_);
  if (Stream* s = find(id)) move_to(*s, std::min(frame, s->source->length()));
}

void Mixer::set_volume(Id id, int32_t permille) {
  std::lock_guard<std::mutex> hold(lock_);
  if (Stream* s = find(id)) s->volume = std::clamp(permille, 0, 1000) * 1024 / 1000;
}

bool Mixer::playing(Id id) {
  std::lock_guard<std::mutex> hold(lock_);
  Stream* s = find(id);
  return s && s->playing;
}

uint64_t Mixer::position(Id id) {
  std::lock_guard<std::mutex> hold(lock_);
  Stream* s = find(id);
  return s ? s->pos : 0;
}

uint64_t Mixer::length(Id id) {
  std::lock_guard<std::mutex> hold(lock_);
  Stream* s = find(id);
  return s ? s->source->length() : 0;
}

uint32_t Mixer::rate(Id id) {
  std::lock_guard<std::mutex> hold(lock_);
  Stream* s = find(id);
  return s ? s->rate : 0;
}

// Makes frame f, and f + 1 when it is before the end, present in the
// stream's buffer (f < s.to). A source that ends before its length moves
// the end to where it ended. False when f itself cannot be had.
bool Mixer::fetch(Stream& s, uint64_t f) {
  const uint64_t need_last = std::min(f + 1, s.to - 1);
  if (f >= s.buf_first && need_last < s.buf_first + s.buf_frames) return true;
  if (f >= s.buf_first && f < s.buf_first + s.buf_frames) {
    const uint32_t drop = uint32_t(f - s.buf_first);
    std::memmove(s.buf.data(), s.buf.data() + size_t(drop) * 2, size_t(s.buf_frames - drop) * 4);
    s.buf_frames -= drop;
    s.buf_first = f;
  } else {
    s.buf_first = f;
    s.buf_frames = 0;
  }
  const uint64_t next = s.buf_first + s.buf_frames;
  if (s.read_pos != next) {
    s.source->seek(next);
    s.read_pos = next;
  }
  const uint32_t got = s.source->read(s.buf.data() + size_t(s.buf_frames) * 2, kBufFrames - s.buf_frames);
  s.buf_frames += got;
  s.read_pos += got;
  const uint64_t have = s.buf_first + s.buf_frames;
  if (need_last >= have) s.to = std::max(have, s.from);  // the source ended early
  return f < have;
}

void Mixer::mix_stream(Stream& s, int32_t* acc, uint32_t frames) {
  uint32_t i = 0;
  const uint32_t step_frac = uint32_t(s.step);
  const uint64_t step_int = s.step >> 32;
  while (i < frames && s.playing) {
    if (s.pos >= s.to) {
      if (s.repeat && s.from < s.to) {
        move_to(s, s.from);
        continue;
      }
      s.playing = false;
      s.pos = s.to;
      s.frac = 0;
      break;
    }
    if (!fetch(s, s.pos)) continue;  // the end moved to here
    const uint64_t last = s.buf_first + s.buf_frames;  // exclusive
    const int16_t* b = s.buf.data();
    const int32_t vol = s.volume;
    while (i < frames && s.pos < s.to && s.pos < last) {
      const size_t idx = size_t(s.pos - s.buf_first) * 2;
      int32_t l0 = b[idx], r0 = b[idx + 1], l1 = l0, r1 = r0;
      if (s.pos + 1 < last) {
        l1 = b[idx + 2];
        r1 = b[idx + 3];
      } else if (s.pos + 1 < s.to) {
        break;  // the next frame is not read yet
      }
      const int32_t w = int32_t(s.frac >> 17);  // 15 bits, so the products fit 32 bits
      const int32_t l = l0 + (((l1 - l0) * w) >> 15);
      const int32_t r = r0 + (((r1 - r0) * w) >> 15);
      acc[i * 2] += (l * vol) >> 10;
      acc[i * 2 + 1] += (r * vol) >> 10;
      i++;
      const uint64_t f = uint64_t(s.frac) + step_frac;
      s.frac = uint32_t(f);
      s.pos += step_int + (f >> 32);
    }
  }
  // A stream that reached its end has ended, not only at the next render.
  if (s.playing && s.pos >= s.to && !(s.repeat && s.from < s.to)) {
    s.playing = false;
    s.pos = s.to;
    s.frac = 0;
  }
}

void Mixer::render(int16_t* out, uint32_t frames) {
  acc_.assign(size_t(frames) * 2, 0);
  for (auto& [id, s] : streams_)
    if (s.playing) mix_stream(s, acc_.data(), frames);
  for (size_t k = 0; k < size_t(frames) * 2; k++) out[k] = int16_t(std::clamp(acc_[k], -32768, 32767));
}

void Mixer::fill(void* mixer, int16_t* out, uint32_t frames) {
  auto* m = static_cast<Mixer*>(mixer);
  std::lock_guard<std::mutex> hold(m->lock_);
  m->render(out, frames);
}

}  // namespace sound
