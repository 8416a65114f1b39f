// String commands: extraction and search, wildcards, case, trimming and
// padding, lines and lists, hexadecimal text, checksums, digests and ciphers.
//
// Strings are byte strings of any content (NUL included), so the same
// commands serve text and binary data. Every command takes its arguments in
// script order and pushes one result; an argument that is not a text is
// read through its text form, and null or a missing argument reads as
// empty. Positions are 1-based and 0 means "not found". Bad positions and
// counts are clamped, never an error.
#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/md5.h>
#include <nettle/sha1.h>
#include <nettle/sha2.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vm/commands.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"
#include "vm/wildcard.h"

namespace vm {
namespace {

// Note: a generated result (repetition, padding, replacement) never grows
// past 256 MiB; beyond that it is cut. Without a cap a single `strrepeat`
// with a large count would exhaust memory and end the process.
constexpr size_t kMaxResult = size_t(1) << 28;

// --- arguments and results ---------------------------------------------------------------------

// The bytes of one argument: a text as it is (whole, however long), any
// other value through its text form, null as empty. A converted text is
// released when the ArgText goes out of scope; the bytes of a text argument
// stay valid while the argument is on the stack.
class ArgText {
 public:
  ArgText(Interp& ctx, Value v) {
    if (element_type_of(v) == kTypeString) {
      bytes_ = element_text(v);
    } else if (!v.is_null()) {
      owned_ = value_to_text(&ctx, v);
      bytes_ = element_text(owned_);
    }
  }
  ~ArgText() { value_release(owned_); }
  ArgText(const ArgText&) = delete;
  ArgText& operator=(const ArgText&) = delete;

  std::string_view view() const { return bytes_; }
  size_t size() const { return bytes_.size(); }

 private:
  Value owned_ = Value::null();
  std::string_view bytes_;
};

ArgText text_arg(Interp& ctx, uint32_t n, uint32_t i) { return ArgText(ctx, arg(ctx, n, i)); }

int64_t int_arg(Interp& ctx, uint32_t n, uint32_t i) { return value_to_integer(&ctx, arg(ctx, n, i)); }

// Interns the result first (it may view an argument's bytes), then replaces
// the frame's n arguments by it.
void finish_text(Interp& ctx, uint32_t n, std::string_view s) {
  Value r = Value::from_handle(text_intern(s));
  pop_n(ctx, n);
  push_owned(ctx, r);
}

void finish_int(Interp& ctx, uint32_t n, int64_t i) {
  pop_n(ctx, n);
  push_int(ctx, i);
}

// Clamps a script count or position to 0..limit.
size_t clamp_to(int64_t v, size_t limit) {
  if (v <= 0) return 0;
  return uint64_t(v) > limit ? limit : size_t(v);
}

// Appends `s` without letting `out` pass kMaxResult.
void append_capped(std::string& out, std::string_view s) {
  if (out.size() >= kMaxResult) return;
  out.append(s.substr(0, kMaxResult - out.size()));
}

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// --- the code page: case mapping and letters (Windows-1252) --------------------------------

struct CodePage {
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> lower{};
  std::array<bool, 256> letter{};
};

constexpr CodePage make_code_page() {
  CodePage cp;
  for (int c = 0; c < 256; c++) cp.upper[c] = cp.lower[c] = uint8_t(c);
  auto pair = [&](int up, int low) {
    cp.upper[low] = uint8_t(up);
    cp.lower[up] = uint8_t(low);
    cp.letter[up] = cp.letter[low] = true;
  };
  for (int c = 'A'; c <= 'Z'; c++) pair(c, c + 32);
  for (int c = 0xC0; c <= 0xDE; c++)
    if (c != 0xD7) pair(c, c + 32);  // 0xD7 and 0xF7 are the multiplication and division signs
  pair(0x8A, 0x9A);                  // S caron
  pair(0x8C, 0x9C);                  // OE ligature
  pair(0x8E, 0x9E);                  // Z caron
  pair(0x9F, 0xFF);                  // Y diaeresis
  for (int c : {0x83, 0xAA, 0xB5, 0xBA, 0xDF}) cp.letter[c] = true;  // letters without a case pair
  return cp;
}
constexpr CodePage kCodePage = make_code_page();

uint8_t to_upper(char c) { return kCodePage.upper[uint8_t(c)]; }
uint8_t to_lower(char c) { return kCodePage.lower[uint8_t(c)]; }
bool is_letter(char c) { return kCodePage.letter[uint8_t(c)]; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// --- wildcards ------------------------------------------------------------------------------------

// Whole-text match: "*" any run (none included), "?" any one byte, letters
// without regard to case. Greedy with one backtrack point at the last "*",
// which gives the same answer as trying the rest of the pattern at every
// later position, earliest first, in linear space.
bool wild_whole(std::string_view p, std::string_view t) { return wildcard_match_folded(p, t, to_lower); }

// --- lines ----------------------------------------------------------------------------------------

// A line: its bytes start..start+length, its terminator up to `end`.
struct Line {
  size_t start, length, end;
};

// Splits at CR LF, lone CR and lone LF; a last line with bytes but no
// terminator counts too. An empty text has no lines.
std::vector<Line> split_lines(std::string_view t) {
  std::vector<Line> lines;
  size_t start = 0;
  for (size_t i = 0; i < t.size(); i++) {
    if (t[i] != '\r' && t[i] != '\n') continue;
    size_t term = (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') ? 2 : 1;
    lines.push_back({start, i - start, i + term});
    i += term - 1;
    start = i + 1;
  }
  if (start < t.size()) lines.push_back({start, t.size() - start, t.size()});
  return lines;
}

// --- hexadecimal ----------------------------------------------------------------------------------

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string to_hex(std::string_view data, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(data.size() * 2);
  for (char c : data) {
    out += digits[uint8_t(c) >> 4];
    out += digits[uint8_t(c) & 15];
  }
  return out;
}

// Pairs of hex digits become bytes; any other byte is skipped and also
// drops a lone first digit before it.
std::string from_hex(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 2);
  int pending = -1;
  for (char c : text) {
    int d = hex_digit(c);
    if (d < 0) {
      pending = -1;
    } else if (pending < 0) {
      pending = d;
    } else {
      out += char(pending * 16 + d);
      pending = -1;
    }
  }
  return out;
}

// --- digests and ciphers --------------------------------------------------------------------------

std::string md5(std::string_view d) {
  md5_ctx c;
  md5_init(&c);
  md5_update(&c, d.size(), bytes_of(d));
  uint8_t out[MD5_DIGEST_SIZE];
  md5_digest(&c, sizeof out, out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

std::string sha1(std::string_view d) {
  sha1_ctx c;
  sha1_init(&c);
  sha1_update(&c, d.size(), bytes_of(d));
  uint8_t out[SHA1_DIGEST_SIZE];
  sha1_digest(&c, sizeof out, out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

std::string sha256(std::string_view d) {
  sha256_ctx c;
  sha256_init(&c);
  sha256_update(&c, d.size(), bytes_of(d));
  uint8_t out[SHA256_DIGEST_SIZE];
  sha256_digest(&c, sizeof out, out);
  return std::string(reinterpret_cast<char*>(out), sizeof out);
}

// The one RC4 state that every RC4 command shares: a keyed call starts it
// afresh, a call without a key continues its keystream.
arcfour_ctx g_rc4;
bool g_rc4_keyed = false;

// Note: RC4's key schedule reads the key cyclically over 256 steps, so
// bytes past the 256th never matter and are dropped. An empty key (which the
// schedule cannot cycle over) is read as one zero byte, the key whose bytes
// add nothing to the schedule; the state before any key is that one too.
void rc4_set_key(std::string_view key) {
  static const uint8_t kZero = 0;
  if (key.empty()) {
    arcfour_set_key(&g_rc4, 1, &kZero);
  } else {
    arcfour_set_key(&g_rc4, std::min<size_t>(key.size(), ARCFOUR_MAX_KEY_SIZE), bytes_of(key));
  }
  g_rc4_keyed = true;
}

std::string rc4_continue(std::string_view data) {
  if (!g_rc4_keyed) rc4_set_key({});
  std::string out(data.size(), '\0');
  arcfour_crypt(&g_rc4, data.size(), reinterpret_cast<uint8_t*>(out.data()), bytes_of(data));
  return out;
}

// The raw-memory form of strcryptrc4: the writable bytes at [address,
// address + length) when that range lies wholly inside a live memory buffer
// or image pixel block of the running script, else null.
uint8_t* script_memory_range(Interp& ctx, int64_t address, int64_t length) {
  uint8_t* p = nullptr;
  if (length < 1 || !g_raw_memory.extent || g_raw_memory.extent(ctx, address, &p) < length) return nullptr;
  return p;
}

// AES in ECB mode: each 16-byte block on its own, the data zero-padded to
// whole blocks.
template <class Ctx>
std::string aes_ecb(std::string_view key, std::string_view data, void (*set_key)(Ctx*, const uint8_t*),
                    void (*crypt)(const Ctx*, size_t, uint8_t*, const uint8_t*)) {
  Ctx c;
  set_key(&c, bytes_of(key));
  std::string buf(data);
  buf.resize((buf.size() + 15) / 16 * 16, '\0');
  auto* p = reinterpret_cast<uint8_t*>(buf.data());
  crypt(&c, buf.size(), p, p);
  return buf;
}

// The key of AES-128 is the MD5 digest of the pass phrase, that of AES-256
// its SHA-256 digest.
std::string aes128(std::string_view pass, std::string_view data, bool encrypt) {
  std::string key = md5(pass);
  return encrypt ? aes_ecb<aes128_ctx>(key, data, aes128_set_encrypt_key, aes128_encrypt)
                 : aes_ecb<aes128_ctx>(key, data, aes128_set_decrypt_key, aes128_decrypt);
}

std::string aes256(std::string_view pass, std::string_view data, bool encrypt) {
  std::string key = sha256(pass);
  return encrypt ? aes_ecb<aes256_ctx>(key, data, aes256_set_encrypt_key, aes256_encrypt)
                 : aes_ecb<aes256_ctx>(key, data, aes256_set_decrypt_key, aes256_decrypt);
}

// --- shared command bodies ---------------------------------------------------------------------

// Replaces the arguments by f(first argument's bytes).
template <class F>
void map_first_text(Interp& ctx, F f) {
  uint32_t n = close_frame(ctx);
  std::string out;
  {
    ArgText t = text_arg(ctx, n, 0);
    out = f(t.view());
  }
  finish_text(ctx, n, out);
}

// Joins the texts of arguments [from, to).
std::string join_args(Interp& ctx, uint32_t n, uint32_t from, uint32_t to) {
  std::string out;
  for (uint32_t i = from; i < to && i < n; i++) append_capped(out, text_arg(ctx, n, i).view());
  return out;
}

void pad(Interp& ctx, char fill) {
  uint32_t n = close_frame(ctx);
  std::string out = n > 0 ? join_args(ctx, n, 0, n - 1) : std::string();
  size_t width = n > 0 ? clamp_to(int_arg(ctx, n, n - 1), kMaxResult) : 0;
  if (out.size() < width) out.insert(0, width - out.size(), fill);
  finish_text(ctx, n, out);
}

std::string_view trim(std::string_view s, bool left, bool right) {
  while (left && !s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (right && !s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

void trim_command(Interp& ctx, bool left, bool right) {
  uint32_t n = close_frame(ctx);
  ArgText t = text_arg(ctx, n, 0);
  finish_text(ctx, n, trim(t.view(), left, right));
}

// strwildsearch and strwildsearchreverse: the 1-based position of the first
// (last) place where the pattern matches, else 0. The match may end before
// the text does: it succeeds once the pattern is used up, which is exactly a
// whole match of the pattern followed by "*". A pattern that begins with "*"
// matches at the first position whenever it matches anywhere, so forward
// only that position is tried.
void wild_search(Interp& ctx, bool reverse) {
  uint32_t n = close_frame(ctx);
  int64_t found = 0;
  {
    ArgText t = text_arg(ctx, n, 0), p = text_arg(ctx, n, 1);
    std::string_view text = t.view(), pattern = p.view();
    std::string with_star(pattern);
    with_star += '*';
    size_t count = text.size();
    if (!reverse && !pattern.empty() && pattern[0] == '*' && count > 1) count = 1;
    for (size_t k = 0; k < count && !found; k++) {
      size_t at = reverse ? text.size() - 1 - k : k;
      if (wild_whole(with_star, text.substr(at))) found = int64_t(at) + 1;
    }
  }
  finish_int(ctx, n, found);
}

void case_command(Interp& ctx, uint8_t (*map)(char)) {
  map_first_text(ctx, [&](std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(map(c));
    return out;
  });
}

void digest_command(Interp& ctx, std::string (*digest)(std::string_view)) {
  map_first_text(ctx, digest);
}

void aes_command(Interp& ctx, std::string (*aes)(std::string_view, std::string_view, bool),
                 bool encrypt) {
  uint32_t n = close_frame(ctx);
  std::string out;
  if (n >= 2) {
    ArgText key = text_arg(ctx, n, 0), data = text_arg(ctx, n, 1);
    out = aes(key.view(), data.view(), encrypt);
  }
  finish_text(ctx, n, out);
}

// RC4 over bytes: with one argument the data continues the shared
// keystream, with two the first is the key.
std::string rc4_args(Interp& ctx, uint32_t n, bool unhex) {
  if (n == 0) return {};
  ArgText first = text_arg(ctx, n, 0);
  if (n == 1) return rc4_continue(unhex ? from_hex(first.view()) : std::string(first.view()));
  ArgText data = text_arg(ctx, n, 1);
  rc4_set_key(first.view());
  return rc4_continue(unhex ? from_hex(data.view()) : std::string(data.view()));
}

}  // namespace

// --- extraction and search ---------------------------------------------------------------------

void h_strlen(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t len = int64_t(text_arg(ctx, n, 0).size());
  finish_int(ctx, n, len);
}

void h_strleft(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  ArgText t = text_arg(ctx, n, 0);
  finish_text(ctx, n, t.view().substr(0, clamp_to(int_arg(ctx, n, 1), t.size())));
}

void h_strright(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  ArgText t = text_arg(ctx, n, 0);
  size_t k = clamp_to(int_arg(ctx, n, 1), t.size());
  finish_text(ctx, n, t.view().substr(t.size() - k));
}

// strmid text start count: a start below 1 counts as 1, a start past the
// end or a count of 0 or less gives an empty text, the count is cut at the end.
void h_strmid(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  ArgText t = text_arg(ctx, n, 0);
  int64_t start = std::max<int64_t>(int_arg(ctx, n, 1), 1);
  std::string_view out;
  if (uint64_t(start) <= t.size()) {
    std::string_view rest = t.view().substr(size_t(start - 1));
    out = rest.substr(0, clamp_to(int_arg(ctx, n, 2), rest.size()));
  }
  finish_text(ctx, n, out);
}

void h_strleftright(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  ArgText t = text_arg(ctx, n, 0);
  int64_t start = std::max<int64_t>(int_arg(ctx, n, 1), 1);
  std::string_view out;
  if (uint64_t(start) <= t.size()) out = t.view().substr(size_t(start - 1));
  finish_text(ctx, n, out);
}

// strsearch text find [start]: exact bytes, from start (default 1, below 1
// counts as 1). An empty find matches at the start position while that is
// at most one past the end.
void h_strsearch(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t found = 0;
  {
    ArgText t = text_arg(ctx, n, 0), f = text_arg(ctx, n, 1);
    int64_t start = n >= 3 ? std::max<int64_t>(int_arg(ctx, n, 2), 1) : 1;
    if (uint64_t(start) - 1 + f.size() <= t.size()) {
      size_t at = t.view().find(f.view(), size_t(start - 1));
      if (at != std::string_view::npos) found = int64_t(at) + 1;
    }
  }
  finish_int(ctx, n, found);
}

// strsearchreverse text find [start]: the last occurrence beginning at or
// before start (default: the last position where find fits; below 1 counts
// as 1). A start past the last position where find fits gives 0.
void h_strsearchreverse(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t found = 0;
  {
    ArgText t = text_arg(ctx, n, 0), f = text_arg(ctx, n, 1);
    if (f.size() <= t.size()) {
      size_t last = t.size() - f.size();
      size_t from = n >= 3 ? size_t(std::max<int64_t>(int_arg(ctx, n, 2), 1) - 1) : last;
      if (from <= last) {
        size_t at = t.view().rfind(f.view(), from);
        if (at != std::string_view::npos) found = int64_t(at) + 1;
      }
    }
  }
  finish_int(ctx, n, found);
}

// strwildcompare text pattern...: the number of the first pattern that
// matches the whole text, else 0.
void h_strwildcompare(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t found = 0;
  {
    ArgText t = text_arg(ctx, n, 0);
    for (uint32_t i = 1; i < n && !found; i++)
      if (wild_whole(text_arg(ctx, n, i).view(), t.view())) found = i;
  }
  finish_int(ctx, n, found);
}

void h_strwildsearch(Interp& ctx) { wild_search(ctx, false); }
void h_strwildsearchreverse(Interp& ctx) { wild_search(ctx, true); }

void h_strasc(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  ArgText t = text_arg(ctx, n, 0);
  finish_int(ctx, n, t.size() ? int64_t(int8_t(t.view()[0])) : 0);
}

void h_strchr(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string out;
  for (uint32_t i = 0; i < n; i++) out += char(uint8_t(int_arg(ctx, n, i)));
  finish_text(ctx, n, out);
}

// --- case, trimming, padding, repetition ----------------------------------------------------------

void h_strupper(Interp& ctx) { case_command(ctx, to_upper); }
void h_strlower(Interp& ctx) { case_command(ctx, to_lower); }

// strcapitals: upper-cases the first letter of every word. A letter starts a
// word when the byte before it is no letter or digit; after an apostrophe
// (' or the code page's right quote) only when the byte before that is no
// letter, so "don't" keeps its t while "'tis" gets a capital.
void h_strcapitals(Interp& ctx) {
  map_first_text(ctx, [](std::string_view s) {
    std::string out(s);
    for (size_t i = 0; i < out.size(); i++) {
      if (!is_letter(out[i])) continue;
      bool starts = true;
      if (i > 0) {
        char before = out[i - 1];
        if (before == '\'' || before == '\x92')
          starts = i < 2 || !is_letter(out[i - 2]);
        else
          starts = !is_letter(before) && !is_digit(before);
      }
      if (starts) out[i] = char(to_upper(out[i]));
    }
    return out;
  });
}

void h_strtrim(Interp& ctx) { trim_command(ctx, true, true); }
void h_strtrimleft(Interp& ctx) { trim_command(ctx, true, false); }
void h_strtrimright(Interp& ctx) { trim_command(ctx, false, true); }

void h_strpad(Interp& ctx) { pad(ctx, ' '); }
void h_strpad0(Interp& ctx) { pad(ctx, '0'); }

void h_strrepeat(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string out;
  {
    ArgText t = text_arg(ctx, n, 1);
    size_t count = t.size() ? clamp_to(int_arg(ctx, n, 0), kMaxResult / t.size() + 1) : 0;
    out.reserve(std::min(count * t.size(), kMaxResult));
    for (size_t i = 0; i < count && out.size() < kMaxResult; i++) append_capped(out, t.view());
  }
  finish_text(ctx, n, out);
}

// strcat joins its arguments from the deepest to the top of the stack: the
// order of `a$b`, whose operands are pushed left first like every binary
// operator's (the compiler pushes strcat's call arguments the same way).
void h_strcat(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n == 1 && element_type_of(ctx.top[0]) == kTypeString) return;  // already the result
  // Built in one buffer kept from call to call: scripts append to a growing
  // text again and again. A buffer grown past a megabyte is given back.
  static std::string out;
  out.clear();
  for (uint32_t i = n; i-- > 0;) append_capped(out, text_arg(ctx, n, i).view());
  finish_text(ctx, n, out);
  if (out.capacity() > (size_t(1) << 20)) std::string().swap(out);
}

void h_strvarname(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  Value name = name_from_text(ctx, arg(ctx, n, 0));
  pop_n(ctx, n);
  push_owned(ctx, name.is_null() ? Value::from_handle(text_intern("")) : name);
}

// --- lines and lists -------------------------------------------------------------------------------

void h_strlinecount(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t count = int64_t(split_lines(text_arg(ctx, n, 0).view()).size());
  finish_int(ctx, n, count);
}

void h_strline(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  ArgText t = text_arg(ctx, n, 0);
  std::vector<Line> lines = split_lines(t.view());
  int64_t k = int_arg(ctx, n, 1);
  std::string_view out;
  if (k >= 1 && uint64_t(k) <= lines.size()) out = t.view().substr(lines[k - 1].start, lines[k - 1].length);
  finish_text(ctx, n, out);
}

// strlinenumber text position: the line holding the byte at the position
// (its terminator belongs to it). The position is clamped to the text; an
// empty text gives 0.
void h_strlinenumber(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  int64_t number = 0;
  {
    ArgText t = text_arg(ctx, n, 0);
    std::vector<Line> lines = split_lines(t.view());
    if (!lines.empty()) {
      size_t at = std::max<size_t>(clamp_to(int_arg(ctx, n, 1), t.size()), 1) - 1;
      auto it = std::upper_bound(lines.begin(), lines.end(), at,
                                 [](size_t a, const Line& l) { return a < l.end; });
      number = int64_t(it - lines.begin()) + 1;
    }
  }
  finish_int(ctx, n, number);
}

// strlineremove text first [count]: removes lines first..first+count-1
// (those inside the text) with their terminators. The other lines keep their
// bytes exactly, so a last line without terminator stays without one, and
// removing the last line leaves the terminator of the line before it.
void h_strlineremove(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string out;
  {
    ArgText t = text_arg(ctx, n, 0);
    std::vector<Line> lines = split_lines(t.view());
    int64_t first = int_arg(ctx, n, 1);
    int64_t count = n >= 3 ? int_arg(ctx, n, 2) : 1;
    int64_t total = int64_t(lines.size());
    int64_t lo = std::max<int64_t>(first, 1);
    __int128 last = __int128(first) + count - 1;  // no overflow for any two cells
    int64_t hi = int64_t(std::min<__int128>(last, total));
    out = t.view();
    if (count > 0 && lo <= hi) out.erase(lines[lo - 1].start, lines[hi - 1].end - lines[lo - 1].start);
  }
  finish_text(ctx, n, out);
}

// strlineclear: removes the lines that have no bytes; the others keep their
// own terminators (or none, for a last line without one).
void h_strlineclear(Interp& ctx) {
  map_first_text(ctx, [](std::string_view s) {
    std::string out;
    for (const Line& l : split_lines(s))
      if (l.length) out.append(s.substr(l.start, l.end - l.start));
    return out;
  });
}

void h_strlist(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string out;
  for (uint32_t i = 0; i < n; i++) {
    append_capped(out, text_arg(ctx, n, i).view());
    append_capped(out, "\r\n");
  }
  finish_text(ctx, n, out);
}

// strsort: the lines in ascending byte order (unsigned), each ended by CR
// LF, a last line without terminator included.
void h_strsort(Interp& ctx) {
  map_first_text(ctx, [](std::string_view s) {
    std::vector<Line> lines = split_lines(s);
    std::vector<std::string_view> views;
    views.reserve(lines.size());
    for (const Line& l : lines) views.push_back(s.substr(l.start, l.length));
    std::stable_sort(views.begin(), views.end());  // char_traits<char> compares as unsigned
    std::string out;
    out.reserve(s.size() + lines.size() * 2);
    for (std::string_view v : views) {
      out += v;
      out += "\r\n";
    }
    return out;
  });
}

// strwrap width text: breaks the text into lines of at most width bytes.
// The preferred break is the most recent space or tab (dropped) or the point
// just after the most recent comma (kept on its line); a word longer than
// the width is cut. A CR or LF in the text ends a line by itself.
//
// Note: the terminator bytes of the text do not count toward the next
// line's width, and every space or tab around a break is dropped, so no
// line ends or starts with the blanks where it was broken. A width below 1 leaves the text unchanged (no line could hold a byte).
void h_strwrap(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string out;
  {
    int64_t width_arg = int_arg(ctx, n, 0);
    ArgText t = text_arg(ctx, n, 1);
    std::string_view s = t.view();
    if (width_arg < 1) {
      out = s;
    } else {
      size_t width = size_t(std::min<int64_t>(width_arg, int64_t(s.size()) + 1));
      auto blank = [](char c) { return c == ' ' || c == '\t'; };
      const size_t kNone = std::string::npos;
      size_t col = 0, break_out = kNone, break_in = 0, i = 0, line_start = 0;
      out.reserve(s.size() + s.size() / width * 2 + 2);
      auto end_line = [&](size_t resume) {
        i = resume;
        while (i < s.size() && blank(s[i])) i++;
        while (out.size() > line_start && blank(out.back())) out.pop_back();
        out += "\r\n";
        line_start = out.size();
        col = 0;
        break_out = kNone;
      };
      while (i < s.size()) {
        if (col >= width) {
          if (blank(s[i])) {  // the line is full at a word's end: break here
            end_line(i);
          } else if (break_out != kNone) {
            out.resize(break_out);
            end_line(break_in);
          } else {
            end_line(i);
          }
          continue;
        }
        char c = s[i++];
        out += c;
        if (c == '\r' || c == '\n') {
          col = 0;
          break_out = kNone;
          line_start = out.size();
          continue;
        }
        col++;
        if (blank(c)) {
          break_out = out.size() - 1;
          break_in = i - 1;
        } else if (c == ',') {
          break_out = out.size();
          break_in = i;
        }
        if (i < s.size() && (s[i] == '\r' || s[i] == '\n')) {
          col = 0;
          break_out = kNone;
        }
      }
      if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += "\r\n";
    }
  }
  finish_text(ctx, n, out);
}

// strreplace text find replacement: every non-overlapping occurrence, left
// to right. An empty find leaves the text unchanged.
void h_strreplace(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string out;
  {
    ArgText t = text_arg(ctx, n, 0), f = text_arg(ctx, n, 1), r = text_arg(ctx, n, 2);
    std::string_view s = t.view(), find = f.view();
    if (find.empty()) {
      out = s;
    } else {
      size_t at = 0;
      for (size_t hit; (hit = s.find(find, at)) != std::string_view::npos && out.size() < kMaxResult;
           at = hit + find.size()) {
        append_capped(out, s.substr(at, hit - at));
        append_capped(out, r.view());
      }
      if (at <= s.size()) append_capped(out, s.substr(at));
    }
  }
  finish_text(ctx, n, out);
}

// --- encoding, checksums, cryptography ---------------------------------------------------------

void h_strhex(Interp& ctx) {
  map_first_text(ctx, [](std::string_view s) { return to_hex(s, true); });
}

void h_strunhex(Interp& ctx) { map_first_text(ctx, from_hex); }

// strcrc32: the zlib CRC-32, as a number from 0 to 2^32 - 1.
void h_strcrc32(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  uLong crc;
  {
    ArgText t = text_arg(ctx, n, 0);
    crc = crc32(0L, bytes_of(t.view()), uInt(t.size()));
  }
  finish_int(ctx, n, int64_t(crc));
}

void h_strmd5(Interp& ctx) { digest_command(ctx, md5); }
void h_strsha1(Interp& ctx) { digest_command(ctx, sha1); }
void h_strsha2(Interp& ctx) { digest_command(ctx, sha256); }

// strcryptrc4 key data | data | key address length. The three-argument form
// encrypts script memory in place and gives the number of bytes processed;
// a range outside the script's live memory is left alone and gives 0.
void h_strcryptrc4(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  if (n >= 3) {
    int64_t address = int_arg(ctx, n, 1), length = int_arg(ctx, n, 2);
    int64_t done = 0;
    if (length > 0) {
      if (uint8_t* p = script_memory_range(ctx, address, length)) {
        rc4_set_key(text_arg(ctx, n, 0).view());
        arcfour_crypt(&g_rc4, size_t(length), p, p);
        done = length;
      }
    }
    finish_int(ctx, n, done);
    return;
  }
  std::string out = rc4_args(ctx, n, false);
  finish_text(ctx, n, out);
}

// strencrypt key text: lower-case hex of RC4. With one argument the text
// continues the shared keystream, as strcryptrc4 and strdecrypt do.
void h_strencrypt(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string out = to_hex(rc4_args(ctx, n, false), false);
  finish_text(ctx, n, out);
}

void h_strdecrypt(Interp& ctx) {
  uint32_t n = close_frame(ctx);
  std::string out = rc4_args(ctx, n, true);
  finish_text(ctx, n, out);
}

void h_strencryptaes128(Interp& ctx) { aes_command(ctx, aes128, true); }
void h_strdecryptaes128(Interp& ctx) { aes_command(ctx, aes128, false); }
void h_strencryptaes256(Interp& ctx) { aes_command(ctx, aes256, true); }
void h_strdecryptaes256(Interp& ctx) { aes_command(ctx, aes256, false); }

}  // namespace vm
