// What the file, memory, directory, INI and program commands share: reading
// their arguments, disk paths, whole-stream reads, and the two text formats
// that scripts read and write (comma-separated files and variables files).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vm/value.h"

namespace vm {
struct Interp;
}

namespace storage {

// --- arguments ------------------------------------------------------------------

// The bytes of an argument: a text as it is, another value through its
// text form, null as empty. Valid while the argument is on the stack.
class TextArg {
 public:
  TextArg(vm::Interp& ctx, vm::Value v);
  ~TextArg();
  TextArg(const TextArg&) = delete;
  TextArg& operator=(const TextArg&) = delete;
  std::string_view view() const { return bytes_; }
  std::string str() const { return std::string(bytes_); }

 private:
  vm::Value owned_;
  std::string_view bytes_;
};

int64_t int_arg(vm::Interp& ctx, uint32_t n, uint32_t i);
// The FILE handle an argument holds, or 0 (never a bare descriptor).
uint32_t stream_arg(vm::Interp& ctx, uint32_t n, uint32_t i);
// An address argument: a memory buffer (or the name of a variable holding
// one) stands for the address of its first byte; any other value is read
// as an integer.
int64_t address_arg(vm::Interp& ctx, uint32_t n, uint32_t i);
// The element a "buffer" or "array" argument designates: the element itself
// when the argument is one of that type, else the value of the variable the
// argument names. Null when neither.
vm::Value element_arg(vm::Interp& ctx, vm::Value v, uint32_t type);

// Copies between a stream and raw memory of the script; the bytes moved,
// 0 when [address, address + count) is not wholly inside one live block.
int64_t read_to_address(vm::Interp& ctx, uint32_t stream, int64_t address, int64_t count);
int64_t write_from_address(vm::Interp& ctx, uint32_t stream, int64_t address, int64_t count);

// Replace the frame's n arguments by one result, or by none.
void finish_int(vm::Interp& ctx, uint32_t n, int64_t v);
void finish_text(vm::Interp& ctx, uint32_t n, std::string_view s);
void finish_value(vm::Interp& ctx, uint32_t n, vm::Value owned);
void finish_none(vm::Interp& ctx, uint32_t n);

// --- names ----------------------------------------------------------------------

// The disk path of a name: the name less a leading "disk:". False for names
// that are no disk files ("mem:", "vk:", "resource:", network names), for
// empty names and for names holding a NUL byte.
bool disk_path(std::string_view name, std::string& path);

// Writes all of `data` to the descriptor, again after an interrupted or
// short write; false when a write fails.
bool write_all(int fd, std::string_view data);

// Largest whole file read into one text.
inline constexpr int64_t kWholeFileLimit = 0x7fff0000;

// The whole content of a name opened with stream_open_read_gz, at most
// `limit` bytes; false (`out` empty) when it cannot be opened or is larger,
// which is also noted on standard error.
bool read_named(vm::Interp& ctx, std::string_view name, std::string& out, int64_t limit = kWholeFileLimit);

// Puts a new buffer holding `data` in the variable that `name` (a text)
// names, replacing what it held; nothing when the buffer cannot be made.
void store_new_buffer(vm::Interp& ctx, vm::Value name, const std::string& data);

// --- comma-separated files and variables files -----------------------------------

// The delimiters that enclose a value: var_filestringstart and
// var_filestringend (a double quote each by default). A delimiter that is
// empty disables enclosing.
struct Delimiters {
  std::string start, end;
  bool usable() const { return !start.empty() && !end.empty(); }
};
Delimiters file_delimiters(vm::Interp& ctx);

using CsvRows = std::vector<std::vector<std::string>>;

// Rows end with CR LF, CR or LF; fields are separated by commas. A field
// that starts with the start delimiter runs to the next end delimiter that
// is not doubled (a doubled one stands for one), commas and line ends
// included; text after the closing delimiter up to the next comma or line
// end is added to the field; an unclosed field runs to the end of the data.
// An empty line gives no row.
CsvRows csv_parse(std::string_view data, const Delimiters& d);

// Appends one field: enclosed when it holds a delimiter, a comma, CR or LF
// (or when `enclose_empty` and it is empty), with end delimiters doubled.
void csv_append_field(std::string& out, std::string_view field, const Delimiters& d, bool enclose_empty);
// The rows as lines ended by CR LF. A row of one empty field is written
// enclosed, so that it does not read back as an empty line.
std::string csv_format(const CsvRows& rows, const Delimiters& d);

struct VarEntry {
  std::string name;   // as written, without surrounding blanks
  std::string value;
  bool enclosed;      // the value was written between delimiters
};

// One assignment per line: a name, "=" with or without blanks around it,
// and a bare value (to the end of the line, trailing blanks removed) or an
// enclosed one (which may span lines; a doubled end delimiter stands for
// one; text after it on the line is ignored; unclosed, it runs to the end).
// Blank lines, lines starting with ";" or "#", and lines without "=" or
// without a name are skipped.
std::vector<VarEntry> varfile_parse(std::string_view data, const Delimiters& d);
// Appends "name = value" and CR LF; the value is enclosed when it holds a
// delimiter, a blank, a tab, CR or LF.
void varfile_append(std::string& out, std::string_view name, std::string_view value, const Delimiters& d);

}  // namespace storage
