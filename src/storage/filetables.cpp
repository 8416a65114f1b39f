// Comma-separated files and variables files: the readers and writers, and
// the commands filegetarray, filegetarraynamed, fileputarray,
// fileputarraynamed, filegetvariables and fileputvariables.
//
// Both formats enclose a value between var_filestringstart and
// var_filestringend when it would otherwise be misread, doubling the end
// delimiter inside; the readers accept anything and never read past the
// data (an unclosed value runs to the end).
#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

#include "storage/files.h"
#include "storage/stream.h"
#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/sysvars.h"
#include "vm/variables.h"

namespace storage {

using vm::Interp;
using vm::Value;

namespace {

constexpr std::string_view kBlanks = " \t";

bool starts_at(std::string_view data, size_t i, std::string_view s) {
  return !s.empty() && i <= data.size() && data.substr(i, s.size()) == s;
}

// Reads an enclosed value from just after its start delimiter; returns the
// position after the closing end delimiter, or the end of the data.
size_t read_enclosed(std::string_view data, size_t i, std::string_view end, std::string& out) {
  while (true) {
    size_t e = data.find(end, i);
    if (e == std::string_view::npos) {
      out.append(data.substr(i));
      return data.size();
    }
    out.append(data.substr(i, e - i));
    i = e + end.size();
    if (!starts_at(data, i, end)) return i;
    out.append(end);  // doubled: one end delimiter of the value
    i += end.size();
  }
}

void append_enclosed(std::string& out, std::string_view value, const Delimiters& d) {
  out += d.start;
  for (size_t i = 0; i < value.size();) {
    if (starts_at(value, i, d.end)) {
      out += d.end;
      out += d.end;
      i += d.end.size();
    } else {
      out += value[i++];
    }
  }
  out += d.end;
}

bool holds(std::string_view value, std::string_view s) {
  return !s.empty() && value.find(s) != std::string_view::npos;
}

}  // namespace

Delimiters file_delimiters(Interp& ctx) {
  auto text_of = [&](vm::SysVar var) {
    Value v = ctx.sysvars[var];
    if (v.is_null()) return std::string(vm::kSysVars[var].default_text);
    return std::string(vm::element_text(v));
  };
  return {text_of(vm::SV_var_filestringstart), text_of(vm::SV_var_filestringend)};
}

CsvRows csv_parse(std::string_view data, const Delimiters& d) {
  CsvRows rows;
  std::vector<std::string> row;
  size_t i = 0, line_start = 0, n = data.size();
  while (i < n) {
    std::string field;
    if (d.usable() && starts_at(data, i, d.start)) i = read_enclosed(data, i + d.start.size(), d.end, field);
    size_t stop = std::min(data.find_first_of(",\r\n", i), n);
    field.append(data.substr(i, stop - i));
    i = stop;
    row.push_back(std::move(field));
    if (i >= n) break;
    if (data[i] == ',') {
      if (++i == n) row.emplace_back();  // a comma at the very end: one more, empty field
      continue;
    }
    bool empty_line = i == line_start;
    i += data[i] == '\r' && i + 1 < n && data[i + 1] == '\n' ? 2 : 1;
    if (!empty_line) rows.push_back(std::move(row));
    row.clear();
    line_start = i;
  }
  if (!row.empty()) rows.push_back(std::move(row));
  return rows;
}

void csv_append_field(std::string& out, std::string_view field, const Delimiters& d, bool enclose_empty) {
  bool enclose = holds(field, d.start) || holds(field, d.end) || field.find_first_of(",\r\n") != std::string_view::npos ||
                 (enclose_empty && field.empty());
  if (enclose && d.usable())
    append_enclosed(out, field, d);
  else
    out += field;
}

std::string csv_format(const CsvRows& rows, const Delimiters& d) {
  std::string out;
  for (const auto& row : rows) {
    for (size_t j = 0; j < row.size(); j++) {
      if (j > 0) out += ',';
      csv_append_field(out, row[j], d, row.size() == 1);
    }
    out += "\r\n";
  }
  return out;
}

std::vector<VarEntry> varfile_parse(std::string_view data, const Delimiters& d) {
  std::vector<VarEntry> out;
  size_t i = 0, n = data.size();
  auto line_end = [&](size_t from) { return std::min(data.find_first_of("\r\n", from), n); };
  auto next_line = [&](size_t end) {
    if (end < n && data[end] == '\r' && end + 1 < n && data[end + 1] == '\n') return end + 2;
    return end < n ? end + 1 : n;
  };
  while (i < n) {
    size_t end = line_end(i);
    std::string_view line = data.substr(i, end - i);
    size_t first = line.find_first_not_of(kBlanks);
    size_t eq = line.find('=');
    if (first == std::string_view::npos || line[first] == ';' || line[first] == '#' || eq == std::string_view::npos ||
        eq == first) {
      i = next_line(end);  // blank, comment or garbage
      continue;
    }
    VarEntry e;
    std::string_view name = line.substr(first, eq - first);
    e.name.assign(name.substr(0, name.find_last_not_of(kBlanks) + 1));
    size_t v = i + eq + 1;
    while (v < end && (data[v] == ' ' || data[v] == '\t')) v++;
    e.enclosed = d.usable() && starts_at(data, v, d.start) && v < end;
    if (e.enclosed) {
      size_t after = read_enclosed(data, v + d.start.size(), d.end, e.value);
      end = line_end(after);  // the rest of the closing line is ignored
    } else {
      std::string_view value = data.substr(v, end - v);
      e.value.assign(value.substr(0, value.find_last_not_of(kBlanks) + 1));
    }
    out.push_back(std::move(e));
    i = next_line(end);
  }
  return out;
}

void varfile_append(std::string& out, std::string_view name, std::string_view value, const Delimiters& d) {
  out += name;
  out += " = ";
  bool enclose = holds(value, d.start) || holds(value, d.end) || value.find_first_of(" \t\r\n") != std::string_view::npos;
  if (enclose && d.usable())
    append_enclosed(out, value, d);
  else
    out += value;
  out += "\r\n";
}

namespace {

// A new ARRAY holding the values under the keys 0, 1, 2 ..., taking over
// the caller's references. Built in one allocation: appending one item at a
// time would copy the items again at every growth of a long file.
Value list_of(std::vector<Value>& values) {
  constexpr size_t kMaxItems = (0x7ffffff0 - sizeof(vm::ArrayRecord)) / sizeof(vm::ArrayItem) - 16;
  uint32_t h = 0;
  uint32_t slots = 8;
  if (values.size() < kMaxItems) {
    while (values.size() + 2 >= slots) slots += 8;
    h = vm::element_create(nullptr, sizeof(vm::ArrayRecord) + slots * sizeof(vm::ArrayItem), vm::kTypeArray);
  }
  vm::ArrayRecord* a = vm::array_of(Value::from_handle(h));
  if (!a) {
    for (Value v : values) vm::value_release(v);
    values.clear();
    return Value::null();
  }
  a->self = h;
  a->slots = slots;
  a->label = Value::null();
  a->count = uint32_t(values.size());
  for (size_t i = 0; i < values.size(); i++) a->items[i] = {values[i], Value::from_int(int64_t(i))};
  values.clear();
  return Value::from_handle(h);
}

// A new ARRAY of key-value pairs (taking over the caller's references); of
// pairs with the same key the last one is kept. Sorting once keeps a row of
// many columns from costing a shifting insertion per field.
Value map_of(std::vector<vm::ArrayItem>& pairs) {
  std::stable_sort(pairs.begin(), pairs.end(), [](const vm::ArrayItem& a, const vm::ArrayItem& b) {
    return int64_t(a.key.bits) < int64_t(b.key.bits);
  });
  std::vector<vm::ArrayItem> kept;
  for (size_t i = 0; i < pairs.size(); i++) {
    if (i + 1 < pairs.size() && pairs[i + 1].key == pairs[i].key) {
      vm::value_release(pairs[i].value);
      vm::value_release(pairs[i].key);
      continue;
    }
    kept.push_back(pairs[i]);
  }
  pairs.clear();
  std::vector<Value> values;
  for (const vm::ArrayItem& item : kept) values.push_back(item.value);
  Value array = list_of(values);
  if (vm::ArrayRecord* a = vm::array_of(array)) {
    for (size_t i = 0; i < kept.size(); i++) a->items[i].key = kept[i].key;
  } else {
    for (const vm::ArrayItem& item : kept) vm::value_release(item.key);
  }
  return array;
}

Value text_value(std::string_view s) { return Value::from_handle(vm::text_intern(s)); }

// The text written for a value: a text as it is, null as empty, an array
// by its display form, anything else by its text form.
std::string field_text(Interp& ctx, Value v) {
  uint32_t type = vm::element_type_of(v);
  if (type == vm::kTypeString) return std::string(vm::element_text(v));
  if (v.is_null()) return {};
  if (type == vm::kTypeArray) return vm::value_display(&ctx, v);
  Value t = vm::value_to_text(&ctx, v);
  std::string s(vm::element_text(t));
  vm::value_release(t);
  return s;
}

// The items of an array in key order (borrowed).
std::vector<vm::ArrayItem> items_of(Value array) {
  std::vector<vm::ArrayItem> out;
  if (const vm::ArrayRecord* a = vm::array_of(array)) out.assign(a->items, a->items + a->count);
  return out;
}

void write_file(Interp& ctx, std::string_view name, const std::string& data) {
  if (uint32_t h = stream_create(&ctx, name)) {
    stream_write(h, data.data(), int64_t(data.size()));
    stream_close(h);
  }
}

// The value a variables file gives: an enclosed value is a text; a bare one
// that is a plain decimal integer (written as the integer would be written)
// is that integer; anything else a text.
Value file_value(const VarEntry& e) {
  std::string_view s = e.value;
  size_t digits = s.size() - (!s.empty() && s[0] == '-');
  bool plain = !e.enclosed && digits >= 1 && digits <= 18 &&
               s.find_first_not_of("0123456789", s.size() - digits) == std::string_view::npos &&
               (s[s.size() - digits] != '0' || s == "0");
  return plain ? Value::from_int(vm::parse_integer(s)) : text_value(s);
}

// Whether a variables file may set a name: never the interpreter's own
// locals (return address, saved stack, with-stack), and among command
// names only the system variables. A file must not run commands.
bool settable(std::string_view name) {
  if (name.empty() || name.size() > 1023 || name == "_retpc" || name == "_retsp" || name == "_with") return false;
  uint32_t h = vm::text_intern(name);
  vm::ElementEntry* e = vm::element_entry(h);
  bool command = e && (e->flags & vm::kFlagHasCommand);
  vm::element_release(h);
  return !command || name.substr(0, 4) == "var_";
}

// The variables a fileputvariables argument names: itself, the names held
// by an array, or for a pattern every matching variable of every active
// scope (innermost first, each name once, in name order).
void collect_names(Interp& ctx, Value v, std::vector<std::string>& out) {
  if (const vm::ArrayRecord* a = vm::array_of(v)) {
    for (uint32_t i = 0; i < a->count; i++) out.push_back(field_text(ctx, a->items[i].value));
    return;
  }
  std::string pattern = field_text(ctx, v);
  if (pattern.find_first_of("*?") == std::string::npos) {
    out.push_back(pattern);
    return;
  }
  std::vector<std::string> found;
  for (int64_t depth = ctx.scope_depth; depth >= 0; depth--) {
    Value* scope = vm::scope_table(ctx, uint32_t(depth), false);
    for (const vm::ArrayItem& item : items_of(scope ? *scope : Value::null())) {
      if (vm::element_type_of(item.key) != vm::kTypeString) continue;
      std::string_view name = vm::element_text(item.key);
      if (name != "_retpc" && name != "_retsp" && name != "_with" && vm::wildcard_match(pattern, name))
        found.emplace_back(name);
    }
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  out.insert(out.end(), found.begin(), found.end());
}

// The column names of fileputarraynamed: those given (an array of names or
// a comma-separated text), else every key of every row in the order first
// met (integer keys by their number).
std::vector<Value> columns_of(Interp& ctx, const std::vector<vm::ArrayItem>& rows, Value given) {
  std::vector<Value> cols;
  if (given.is_null()) {
    std::unordered_set<uint64_t> seen;
    for (const vm::ArrayItem& row : rows)
      for (const vm::ArrayItem& item : items_of(row.value))
        if (seen.insert(item.key.bits).second) cols.push_back(item.key);
    for (Value c : cols) vm::value_ref(c);
    return cols;
  }
  std::vector<std::string> names;
  if (vm::array_of(given)) {
    for (const vm::ArrayItem& item : items_of(given)) names.push_back(field_text(ctx, item.value));
  } else {
    CsvRows parsed = csv_parse(field_text(ctx, given), file_delimiters(ctx));
    if (!parsed.empty()) names = parsed[0];
  }
  for (const std::string& s : names) cols.push_back(text_value(s));
  return cols;
}

}  // namespace
}  // namespace storage

namespace vm {

using storage::TextArg;

// filegetarray name: the rows of a comma-separated file as an array (keys
// 0, 1, ...) of arrays of field texts; 0 when the file cannot be opened.
void h_filegetarray(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string data;
  if (!storage::read_named(ctx, TextArg(ctx, arg(ctx, n, 0)).view(), data)) {
    storage::finish_int(ctx, n, 0);
    return;
  }
  storage::CsvRows rows = storage::csv_parse(data, storage::file_delimiters(ctx));
  std::vector<Value> list;
  list.reserve(rows.size());
  for (const auto& row : rows) {
    std::vector<Value> fields;
    for (const std::string& f : row) fields.push_back(storage::text_value(f));
    list.push_back(storage::list_of(fields));
  }
  storage::finish_value(ctx, n, storage::list_of(list));
}

// filegetarraynamed name: the first row names the columns; each further row
// becomes an array from column name to field (keys 0, 1, ... over the
// rows; the header row itself is not among them). A field beyond the named
// columns, or under an empty name, is keyed by its column number from 0; a
// short row lacks the keys of its missing fields. 0 when the file cannot be
// opened.
void h_filegetarraynamed(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string data;
  if (!storage::read_named(ctx, TextArg(ctx, arg(ctx, n, 0)).view(), data)) {
    storage::finish_int(ctx, n, 0);
    return;
  }
  storage::CsvRows rows = storage::csv_parse(data, storage::file_delimiters(ctx));
  std::vector<Value> keys;
  if (!rows.empty())
    for (size_t j = 0; j < rows[0].size(); j++)
      keys.push_back(rows[0][j].empty() ? Value::from_int(int64_t(j)) : storage::text_value(rows[0][j]));
  std::vector<Value> list;
  for (size_t r = 1; r < rows.size(); r++) {
    std::vector<ArrayItem> pairs;
    for (size_t j = 0; j < rows[r].size(); j++) {
      Value key = j < keys.size() ? keys[j] : Value::from_int(int64_t(j));
      value_ref(key);
      pairs.push_back({storage::text_value(rows[r][j]), key});
    }
    list.push_back(storage::map_of(pairs));
  }
  for (Value k : keys) value_release(k);
  storage::finish_value(ctx, n, storage::list_of(list));
}

// fileputarray name array: writes each item of the array (in key order) as
// a line; an array item gives one field per item, any other value one
// field. The array may be given by its variable's name.
void h_fileputarray(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Value array = storage::element_arg(ctx, arg(ctx, n, 1), kTypeArray);
  if (array_of(array)) {
    storage::CsvRows rows;
    for (const ArrayItem& row : storage::items_of(array)) {
      std::vector<std::string> fields;
      if (array_of(row.value))
        for (const ArrayItem& item : storage::items_of(row.value)) fields.push_back(storage::field_text(ctx, item.value));
      else
        fields.push_back(storage::field_text(ctx, row.value));
      rows.push_back(std::move(fields));
    }
    storage::write_file(ctx, TextArg(ctx, arg(ctx, n, 0)).view(),
                        storage::csv_format(rows, storage::file_delimiters(ctx)));
  }
  pop_n(ctx, n);
}

// fileputarraynamed name array [columns]: a header line of column names,
// then one line per array item that is itself an array, with the item's
// value under each column (empty when it lacks the key). The columns are
// given as an array of names or a comma-separated text, or else are every
// key met in the rows, in the order first met.
void h_fileputarraynamed(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Value array = storage::element_arg(ctx, arg(ctx, n, 1), kTypeArray);
  if (array_of(array)) {
    std::vector<ArrayItem> rows = storage::items_of(array);
    Value given = arg(ctx, n, 2);
    if (Value a = storage::element_arg(ctx, given, kTypeArray); array_of(a)) given = a;
    std::vector<Value> cols = storage::columns_of(ctx, rows, given);
    storage::Delimiters d = storage::file_delimiters(ctx);
    std::string out;
    for (size_t j = 0; j < cols.size(); j++) {
      if (j > 0) out += ',';
      storage::csv_append_field(out, storage::field_text(ctx, cols[j]), d, cols.size() == 1);
    }
    out += "\r\n";
    for (const ArrayItem& row : rows) {
      if (!array_of(row.value)) continue;
      for (size_t j = 0; j < cols.size(); j++) {
        if (j > 0) out += ',';
        Value* item = table_find(row.value, cols[j]);
        storage::csv_append_field(out, item ? storage::field_text(ctx, *item) : std::string(), d, cols.size() == 1);
      }
      out += "\r\n";
    }
    for (Value c : cols) value_release(c);
    storage::write_file(ctx, TextArg(ctx, arg(ctx, n, 0)).view(), out);
  }
  pop_n(ctx, n);
}

// filegetvariables name: sets the variables a variables file names (as
// `set` does; names are lower-cased). The number of variables set; 0 when
// the file cannot be opened.
void h_filegetvariables(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string data;
  int64_t count = 0;
  if (storage::read_named(ctx, TextArg(ctx, arg(ctx, n, 0)).view(), data)) {
    for (storage::VarEntry& e : storage::varfile_parse(data, storage::file_delimiters(ctx))) {
      for (char& c : e.name)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
      if (!storage::settable(e.name)) continue;
      Value name = storage::text_value(e.name);
      Value value = storage::file_value(e);
      var_set(ctx, name, value);
      value_release(value);
      value_release(name);
      count++;
    }
  }
  storage::finish_int(ctx, n, count);
}

// fileputvariables name variable...: writes "name = value" lines for the
// variables named (names, arrays of names, or wildcard patterns). A name
// that holds nothing, or holds an element other than a text, is left out.
void h_fileputvariables(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::vector<std::string> names;
  for (uint32_t i = 1; i < n; i++) storage::collect_names(ctx, ctx.top[i], names);
  storage::Delimiters d = storage::file_delimiters(ctx);
  std::string out;
  for (const std::string& name : names) {
    Value key = storage::text_value(name);
    Value* cell = var_find(ctx, key);
    value_release(key);
    if (!cell || cell->is_null() || (cell->is_element() && element_type_of(*cell) != kTypeString)) continue;
    storage::varfile_append(out, name, storage::field_text(ctx, *cell), d);
  }
  storage::write_file(ctx, TextArg(ctx, arg(ctx, n, 0)).view(), out);
  pop_n(ctx, n);
}

}  // namespace vm
