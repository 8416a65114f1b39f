// Registry and screen-saver settings commands over the per-user settings
// store (commands/settings.h): regnew, regset, regsetnum, regsetbin,
// regget, reggetbin, regdelete, screnable, scrvalueget, scrvalueset.
//
// A key argument is a registry path such as "HKCU\Software\Maker" or
// "HKEY_CURRENT_USER/Software/Maker"; every hive is kept for this user.
// A null or empty value name is the key's default value. When the store
// cannot be read or written the reason goes to standard error once per
// command, reads give their defaults and nothing is half changed.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands/settings.h"
#include "storage/files.h"
#include "storage/membuf.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"

namespace vm {
namespace {

using storage::TextArg;

void report(const char* command, const std::string& error) {
  std::fprintf(stderr, "quillon: %s: the settings store: %s\n", command, error.c_str());
}

// Applies one change to the store; the change says whether it changed it.
void change(const char* command, const std::function<bool(settings::Store&)>& f) {
  std::string error;
  if (!settings::update(f, &error)) report(command, error);
}

// The value's entry, read afresh; false when the key or value is missing.
bool lookup(const char* command, const std::string& path, std::string_view name, settings::Entry& out) {
  settings::Store store;
  std::string error;
  if (!settings::load(store, &error)) {
    report(command, error);
    return false;
  }
  const settings::Entry* e = store.find(path, name);
  if (!e) return false;
  out = *e;
  return true;
}

std::string key_arg(Interp& ctx, uint32_t n, uint32_t i) {
  return settings::normalise_path(TextArg(ctx, arg(ctx, n, i)).view());
}

// A number or a text argument as a value: integers stay numbers, floats
// and everything else are stored as their text.
settings::Entry entry_of(Interp& ctx, std::string name, Value v) {
  settings::Entry e;
  e.name = std::move(name);
  if (v.is_int()) {
    e.kind = settings::Kind::Number;
    e.number = value_to_integer(&ctx, v);
  } else {
    e.data = TextArg(ctx, v).str();
  }
  return e;
}

// The key path of the running saver's settings: one key per script name
// (var_scriptname), "default" when it is empty.
std::string saver_key(Interp& ctx) {
  Value v = ctx.sysvars[SV_var_scriptname];
  std::string name = element_type_of(v) == kTypeString ? std::string(element_text(v)) : "";
  for (char& c : name)
    if (c == '\\' || c == '/') c = '_';
  if (settings::normalise_path("HKCU\\" + name).empty()) name = "default";
  return settings::normalise_path("HKEY_CURRENT_USER\\Software\\Quillon\\Screen saver\\" + name);
}

// The argument, with a reference of its own for the result.
Value retained(Value v) {
  value_ref(v);
  return v;
}

// Pushes a value as the script reads it: numbers as integers, else text.
void finish_entry(Interp& ctx, uint32_t n, const settings::Entry& e) {
  if (e.kind == settings::Kind::Number)
    storage::finish_int(ctx, n, e.number);
  else
    storage::finish_text(ctx, n, e.data);
}

// A value of the kind, named by argument 1 of a regset command.
settings::Entry named_entry(Interp& ctx, uint32_t n, settings::Kind kind) {
  settings::Entry e;
  e.name = TextArg(ctx, arg(ctx, n, 1)).str();
  e.kind = kind;
  return e;
}

// Stores the value under the key (made as needed); nothing without a key.
void store(const char* what, const std::string& key, const settings::Entry& e) {
  if (key.empty()) return;
  change(what, [&](settings::Store& s) {
    s.set(key, e);
    return true;
  });
}

}  // namespace

// regnew key: makes the key (and the keys above it need not exist).
void h_regnew(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string key = key_arg(ctx, n, 0);
  if (!key.empty())
    change("regnew", [&](settings::Store& s) {
      if (s.find(key)) return false;
      s.make(key);
      return true;
    });
  pop_n(ctx, n);
}

// regset key name text: stores a text value (made with its key as needed).
// regsetnum key name number: stores a 64-bit integer value.
void h_regset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  settings::Entry e = named_entry(ctx, n, settings::Kind::Text);
  e.data = TextArg(ctx, arg(ctx, n, 2)).str();
  store("regset", key_arg(ctx, n, 0), e);
  pop_n(ctx, n);
}

void h_regsetnum(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  settings::Entry e = named_entry(ctx, n, settings::Kind::Number);
  e.number = value_to_integer(&ctx, arg(ctx, n, 2));
  store("regsetnum", key_arg(ctx, n, 0), e);
  pop_n(ctx, n);
}

// regsetbin key name data [length]: stores bytes: those of a memory buffer
// (or the variable naming one), else those of the text; a length cuts them
// (never lengthens).
void h_regsetbin(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  settings::Entry e = named_entry(ctx, n, settings::Kind::Binary);
  if (storage::MemBuf* m = storage::membuf_of(storage::element_arg(ctx, arg(ctx, n, 2), kTypeMemBuf)))
    e.data.assign(reinterpret_cast<const char*>(m->data), m->data ? size_t(m->size) : 0);
  else
    e.data = TextArg(ctx, arg(ctx, n, 2)).str();
  if (n > 3) {
    int64_t length = value_to_integer(&ctx, arg(ctx, n, 3));
    if (length >= 0 && uint64_t(length) < e.data.size()) e.data.resize(size_t(length));
  }
  store("regsetbin", key_arg(ctx, n, 0), e);
  pop_n(ctx, n);
}

// regget key name [default]: the value: an integer for a number, else its
// text (binary values as their bytes). The default (the empty text when
// none is given) when the key or value is missing.
void h_regget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string key = key_arg(ctx, n, 0);
  settings::Entry e;
  if (!key.empty() && lookup("regget", key, TextArg(ctx, arg(ctx, n, 1)).view(), e)) {
    finish_entry(ctx, n, e);
  } else if (n > 2) {
    Value fallback = retained(arg(ctx, n, 2));
    storage::finish_value(ctx, n, fallback);
  } else {
    storage::finish_text(ctx, n, "");
  }
}

// reggetbin key name: a new memory buffer holding the value's bytes (a
// text's bytes; a number as 8 bytes, least significant first), or 0 when
// the key or value is missing.
void h_reggetbin(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string key = key_arg(ctx, n, 0);
  settings::Entry e;
  if (key.empty() || !lookup("reggetbin", key, TextArg(ctx, arg(ctx, n, 1)).view(), e)) {
    storage::finish_int(ctx, n, 0);
    return;
  }
  std::string bytes = e.data;
  if (e.kind == settings::Kind::Number) {
    bytes.clear();
    for (int i = 0; i < 8; i++) bytes += char(uint64_t(e.number) >> (8 * i));
  }
  int32_t dim = int32_t(std::max<size_t>(bytes.size(), 1));
  uint32_t buf = bytes.size() < size_t(storage::kMemBufLimit) ? storage::membuf_new(&dim, 1) : 0;
  if (!buf) {
    storage::finish_int(ctx, n, 0);
    return;
  }
  Value v = Value::from_handle(buf);
  if (!bytes.empty()) std::memcpy(storage::membuf_of(v)->data, bytes.data(), bytes.size());
  storage::membuf_resize(buf, int64_t(bytes.size()));
  storage::finish_value(ctx, n, v);
}

// regdelete key [name]: removes the value; without a name (null) the key
// with every key below it.
void h_regdelete(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string key = key_arg(ctx, n, 0);
  bool whole = arg(ctx, n, 1).is_null();
  std::string name = TextArg(ctx, arg(ctx, n, 1)).str();
  if (!key.empty())
    change("regdelete", [&](settings::Store& s) { return whole ? s.remove_key(key) : s.remove_value(key, name); });
  pop_n(ctx, n);
}

// screnable [flag]: marks the running saver's settings as enabled (1, the
// default) or not (0); scrvalueget "Enabled" reads it back.
void h_screnable(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  settings::Entry e;
  e.name = "Enabled";
  e.kind = settings::Kind::Number;
  e.number = n == 0 || value_to_integer(&ctx, arg(ctx, n, 0)) != 0 ? 1 : 0;
  std::string key = saver_key(ctx);
  change("screnable", [&](settings::Store& s) {
    s.set(key, e);
    return true;
  });
  pop_n(ctx, n);
}

// scrvalueget name [default]: a setting of the running saver, as regget.
void h_scrvalueget(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  settings::Entry e;
  std::string name = TextArg(ctx, arg(ctx, n, 0)).str();
  if (!name.empty() && lookup("scrvalueget", saver_key(ctx), name, e)) {
    finish_entry(ctx, n, e);
  } else if (n > 1) {
    storage::finish_value(ctx, n, retained(arg(ctx, n, 1)));
  } else {
    storage::finish_text(ctx, n, "");
  }
}

// scrvalueset name value: stores a setting of the running saver; integers
// as numbers, anything else as its text.
void h_scrvalueset(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string name = TextArg(ctx, arg(ctx, n, 0)).str();
  if (!name.empty()) {
    settings::Entry e = entry_of(ctx, name, arg(ctx, n, 1));
    std::string key = saver_key(ctx);
    change("scrvalueset", [&](settings::Store& s) {
      s.set(key, e);
      return true;
    });
  }
  pop_n(ctx, n);
}

}  // namespace vm
