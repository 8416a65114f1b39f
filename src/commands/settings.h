// The per-user settings store behind the registry commands (reg...) and the
// screen-saver settings (scr...).
//
// One text file, $XDG_CONFIG_HOME/quillon/settings.ini (~/.config/quillon/
// when XDG_CONFIG_HOME is unset or relative). Each key path is a section
// (its parts joined by "/" in the file);
// each value a line "name=kind:data" with kind text, number or binary:
//
//   [HKEY_CURRENT_USER/Software/Maker/Game]
//   @=text:the key's default value
//   Level=number:12
//   Blob=binary:00ff10
//
// Names and texts are escaped: "\\" for a backslash and "\xHH" for control
// bytes, "=" in names, "]" in key paths and blanks at either end, so every
// byte string survives. Key paths and value names match without regard to
// ASCII case, as registry keys do; the first spelling written is kept.
//
// Every change runs under an exclusive flock() on settings.lock beside the
// file: the file is read afresh, changed, written to a new file and renamed
// over the old one, so two players writing at once never lose a change and
// a crash never leaves a half-written file. Readers take the lock shared.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace settings {

enum class Kind : uint8_t { Text, Number, Binary };

struct Entry {
  std::string name;  // "" is the key's default value
  Kind kind = Kind::Text;
  std::string data;  // text or binary bytes
  int64_t number = 0;
  bool operator==(const Entry&) const = default;
};

struct Key {
  std::string path;  // normalised: "HIVE\part\part"
  std::vector<Entry> values;
  bool operator==(const Key&) const = default;
};

struct Store {
  std::vector<Key> keys;
  Key* find(std::string_view path);
  // The key, made when missing.
  Key& make(std::string_view path);
  Entry* find(std::string_view path, std::string_view name);
  // Removes the key and every key below it; false when there was none.
  bool remove_key(std::string_view path);
  bool remove_value(std::string_view path, std::string_view name);
  void set(std::string_view path, const Entry& value);
};

// Reads the file's text; lines that are not understood are dropped (a
// value line before any section too). Never fails.
Store parse(std::string_view text);
std::string serialize(const Store& store);

// A script's key path in the store's form: separators "\" or "/", empty
// parts dropped; a first part naming a hive (HKEY_CURRENT_USER or HKCU,
// HKEY_LOCAL_MACHINE or HKLM, HKEY_CLASSES_ROOT or HKCR, HKEY_USERS or HKU,
// HKEY_CURRENT_CONFIG or HKCC) becomes its full name; a path without one is
// under HKEY_CURRENT_USER. Empty when nothing is left but the hive.
std::string normalise_path(std::string_view path);

bool same_name(std::string_view a, std::string_view b);

// The store's folder (made when missing is not done here).
std::string store_dir();

// Reads the store under a shared lock; false with the reason when the
// file exists but cannot be read (a missing file reads as empty).
bool load(Store& out, std::string* error);

// Runs `change` on the store read afresh under the exclusive lock and,
// when it returns true, writes the result atomically. False with the
// reason when the store cannot be locked, read or written.
bool update(const std::function<bool(Store&)>& change, std::string* error);

}  // namespace settings
