#include "sound/sound.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/image_load.h"
#include "sound/mci.h"
#include "sound/output.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/queries.h"
#include "vm/variables.h"

namespace sound {

using vm::Interp;
using vm::Value;

namespace {

constexpr const char* kSoundExtensions[] = {"wav"};

// The wave sound playing, for the whole process (the player plays one).
uint32_t g_wave_owner = 0;  // SOUND handle, 0: none
Mixer::Id g_wave = 0;

SoundRecord* record_of(Value v) { return static_cast<SoundRecord*>(vm::element_lookup(v, vm::kTypeSound)); }

// Stops the wave sound at the engine clock's present time.
void stop_wave() {
  if (!g_wave) return;
  output_sync();
  output_mixer().remove(g_wave);
  g_wave = 0;
  g_wave_owner = 0;
}

// Whether this sound is the one the player is still playing.
bool audible(const SoundRecord& r) {
  return g_wave_owner == r.self && g_wave && output_mixer().playing(g_wave);
}

void sound_cleanup(uint32_t handle, void*) {
  if (handle == g_wave_owner) stop_wave();
}

// The media devices a context opened (made at its first mci command).
MciDevices& devices(Interp& ctx) {
  void*& slot = ctx.slots[vm::kSlotSound];
  if (!slot) {
    auto open_file = [&ctx](const std::string& name, std::string& bytes) {
      return gfx::open_with_extensions(ctx, name, {}, bytes);
    };
    // play ... wait: the script idles (the clock moves on) until the sound
    // ends or the script is stopped.
    auto wait_step = [&ctx] {
      vm::idle_yield(ctx);
      output_sync();
      return ctx.stop == 0;
    };
    slot = new MciDevices(output_mixer(), open_file, wait_step);
  }
  return *static_cast<MciDevices*>(slot);
}

void sound_closer(Interp& ctx) {
  stop_wave();
  if (auto* d = static_cast<MciDevices*>(ctx.slots[vm::kSlotSound])) {
    output_sync();
    delete d;
    ctx.slots[vm::kSlotSound] = nullptr;
  }
}

// A new SOUND element holding the file's bytes (one reference), 0 when
// memory runs out.
uint32_t sound_new(const std::string& bytes) {
  const uint32_t h = vm::element_create(nullptr, sizeof(SoundRecord) + bytes.size(), vm::kTypeSound);
  auto* r = static_cast<SoundRecord*>(vm::element_lookup(h, vm::kTypeSound));
  if (!r) return 0;
  r->self = h;
  auto* data = reinterpret_cast<uint8_t*>(r + 1);
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  r->data = bytes.empty() ? nullptr : data;
  r->size = int32_t(bytes.size());
  return h;
}

// Loads the file `name` into a SOUND element stored in the variable `var`
// (null: the variable named after the file); a variable that already
// holds a sound keeps it. MISSINGFILE when the file is found nowhere.
Value load_into_variable(Interp& ctx, Value name, Value var) {
  Value var_name = var.is_null() ? vm::name_from_text(ctx, name) : var;
  if (!var.is_null()) vm::value_ref(var_name);
  Value result = Value::null();
  if (Value* cell = vm::var_find(ctx, var_name); cell && record_of(*cell)) {
    result = *cell;
  } else {
    const std::string text = vm::value_to_string(&ctx, name);
    std::string bytes;
    if (!gfx::open_with_extensions(ctx, text, kSoundExtensions, bytes) || bytes.size() > 0x7FFFFFFFu) {
      const std::string extra = " Sound \"" + text + "\"";
      vm::raise_error(ctx, vm::kErrMissingFile, extra.c_str());
    } else if (uint32_t h = sound_new(bytes)) {
      if (Value* out = vm::var_for_set(ctx, var_name)) {
        vm::value_store(*out, Value::from_handle(h));
        result = *out;
      }
      vm::element_release(h);
    }
  }
  vm::value_release(var_name);
  return result;
}

// The sounds an argument designates: a SOUND element, an array of them, or
// a name whose variable holds one of those (a text naming an empty
// variable loads the file of that name into it).
void designate(Interp& ctx, Value v, std::vector<uint32_t>& out) {
  auto add = [&out](Value x) {
    if (SoundRecord* r = record_of(x)) out.push_back(r->self);
  };
  auto add_all = [&](Value x) {
    if (vm::ArrayRecord* a = vm::array_of(x)) {
      for (uint32_t i = 0; i < a->count; i++) add(a->items[i].value);
    } else {
      add(x);
    }
  };
  const uint32_t type = vm::element_type_of(v);
  if (type == vm::kTypeString || type == vm::kTypeArrayPath) {
    Value* cell = vm::var_find(ctx, v);
    if (cell && !cell->is_null() && !(cell->is_int() && cell->as_int() == 0)) {
      add_all(*cell);
    } else if (type == vm::kTypeString) {
      add_all(load_into_variable(ctx, v, Value::null()));
    }
    return;
  }
  add_all(v);
}

// Calls fn(record) for every sound that the first `count` arguments (all
// when count is 0) designate, then leaves nothing on the stack.
template <typename Fn>
void for_sounds(Interp& ctx, uint32_t count, Fn fn) {
  std::vector<Value> args = vm::take_args(ctx, vm::close_frame(ctx));
  std::vector<uint32_t> handles;
  for (size_t i = 0; i < args.size() && (count == 0 || i < count) && ctx.stop == 0; i++)
    designate(ctx, args[i], handles);
  for (uint32_t h : handles) {
    vm::element_ref(h);  // the element lives through fn even if a variable lets go
    if (auto* r = static_cast<SoundRecord*>(vm::element_lookup(h, vm::kTypeSound))) fn(*r);
    vm::element_release(h);
  }
  vm::release_all(args);
}

void play(SoundRecord& r) {
  output_sync();
  if (r.playing && audible(r)) return;
  platform::Pcm pcm;
  std::string why;
  if (!r.data || !platform::decode_wav(r.data, size_t(r.size), pcm, &why)) {
    std::fprintf(stderr, "quillon: a sound cannot be played: %s\n", r.data ? why.c_str() : "it is empty");
    r.playing = 0;
    return;
  }
  stop_wave();
  Mixer& mixer = output_mixer();
  const uint64_t frames = pcm.frames();
  g_wave = mixer.add(std::make_unique<PcmSource>(std::move(pcm)));
  if (!g_wave) return;
  g_wave_owner = r.self;
  mixer.play(g_wave, 0, frames, false);
  r.playing = 1;
}

void stop(SoundRecord& r) {
  if (!r.playing) return;
  output_sync();
  if (g_wave_owner == r.self) stop_wave();
  r.playing = 0;
}

bool sound_field(Interp&, vm::EleField field, Value element, int64_t& out) {
  SoundRecord* r = record_of(element);
  if (!r || field != vm::EleField::SoundBusy) return false;
  output_sync();
  if (r->playing && !audible(*r)) r->playing = 0;
  out = r->playing;
  return true;
}

}  // namespace

void sound_register() {
  vm::element_set_cleanup(vm::kTypeSound, sound_cleanup);
  vm::ele_register(vm::kTypeSound, sound_field);
  vm::interp_add_closer(sound_closer);
}

}  // namespace sound

namespace vm {

// soundload file [variable]: loads a wave file whole into a SOUND element
// and stores it in the variable (by default the one named after the file).
// The file name comes first, as with imageload. No result.
void h_soundload(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 1 && ctx.stop == 0) sound::load_into_variable(ctx, ctx.top[0], n >= 2 ? ctx.top[1] : Value::null());
  pop_n(ctx, n);
}

// soundplay sound ...: starts each designated sound that is not playing
// already; the one playing before is cut off. No result.
void h_soundplay(Interp& ctx) { sound::for_sounds(ctx, 0, sound::play); }

// soundstop sound ...: stops each designated sound that plays. No result.
void h_soundstop(Interp& ctx) { sound::for_sounds(ctx, 0, sound::stop); }

// soundfree name or pattern ...: deletes the variables; a sound whose last
// reference goes stops first.
void h_soundfree(Interp& ctx) { free_variables(ctx, kTypeSound); }

// soundfade, soundloop, soundpause, soundposition, soundresume, soundseek,
// soundvolume sound, ...: look the sound up (loading it when named) and do
// nothing more. No result.
void h_soundignored(Interp& ctx) {
  sound::for_sounds(ctx, 1, [](sound::SoundRecord&) {});
}

// mci text ...: joins the texts (no separator) into one media control
// string, executes it and yields the result string: empty on success, the
// text of a status query, or the error's name and text.
void h_mci(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string command;
  for (uint32_t i = 0; i < n && command.size() <= sound::kMciMaxCommand; i++)
    command += value_to_string(&ctx, ctx.top[i]);
  pop_n(ctx, n);
  sound::output_sync();
  const std::string result = sound::mci_result_string(sound::devices(ctx).execute(command));
  push_owned(ctx, Value::from_handle(text_intern(result)));
}

}  // namespace vm
