// Random token arrays never crash the machine or read outside its memory:
// every bad word, stack depth, handle or index ends in an error or in "no
// element". Run under the sanitizers with a fixed seed.
#include <cstring>
#include <random>

#include "vm/commands.h"
#include "vm/control.h"
#include "vm/opcodes.h"
#include "vm_fixture.h"

using namespace vm;

namespace {

// Commands of the machine itself; others (files, windows ...) are left out
// so that random programs never touch the world outside the process.
const char* const kCallable[] = {
    "add", "array", "arrayindex", "arraylabel", "arrayref", "arrayremove", "at", "common", "declare",
    "divide", "equal", "ele_size", "ele_dim1", "ele_adr", "free", "global", "hex", "inc", "dec", "local",
    "lessthan", "max", "modulus", "negate", "null", "pop", "random", "set", "shiftleft", "str", "strcat",
    "vardef", "varfree", "varmatch", "vecangle", "withpop", "withpush", "var_floatdigits",
    "var_floatround", "var_textwrap", "_call", "_goto", "_if", "_pop", "_return", "_tail", "exit",
    "round", "sqrt", "animcreate", "filecrypt", "memfree", "memgetlong", "memsetlong", "memset", "memmove",
    "memgetstring", "memgetbytes", "memaddadr", "strcryptrc4", "imagefree", "var_fontaddress", "var_fontshadowx",
    "fontshadow"};

int g_budget;

}  // namespace

class TokenFuzz : public VmTest {};

TEST_F(TokenFuzz, RandomProgramsEndCleanly) {
  std::mt19937 rng(20261208);
  std::vector<uint32_t> pool;  // element indices the programs may name
  for (const char* name : kCallable) pool.push_back(text_intern(name) - kHandleBase);
  for (const char* name : {"x", "y", "lbl", "*", "pic*", "0x10", "1.5", "-2", "", "-0x8000000000000000"})
    pool.push_back(name_intern(name, int64_t(std::strlen(name))) - kHandleBase);

  // Every program runs at most 5000 tokens, counted by the per-token hook;
  // then again with the budget counted by the message pump (every 21
  // tokens), where no per-token hook keeps the main loop off its shortcuts
  // that take two words at once.
  HostHooks saved = g_host;
  auto per_token = [](Interp& c) {
    if (--g_budget <= 0) raise(c, kStopNormal);
  };
  auto per_pump = [](Interp& c) {
    if (--g_budget <= 0) raise(c, kStopNormal);
    return false;
  };
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  int errors = 0;
  for (int round = 0; round < 3000; round++) {
    std::vector<uint32_t> words;
    int len = 1 + int(rng() % 48);
    for (int i = 0; i < len; i++) {
      uint32_t kind = rng() % 8;
      uint32_t op = rng() % 64;
      switch (kind) {
        case 0: words.push_back(rng()); break;                       // anything at all
        case 1: words.push_back(rng() % 100); break;                 // small integers
        case 2: words.push_back(word_op(op, pool[rng() % pool.size()])); break;
        case 3: words.push_back(word_op(0, pool[rng() % pool.size()])); break;
        case 4: words.push_back(word_op_imm(op, int32_t(rng() % 9) - 4)); break;
        case 5: words.push_back(word_op(OP_TAIL)); break;
        case 6: words.push_back(word_op(op, 0x7fffff - rng() % 16)); break;  // far past the table
        default: words.push_back(word_op(op)); break;
      }
    }
    words.push_back(kEndWord);
    for (bool pumped : {false, true}) {
      g_host.tick = pumped ? nullptr : +per_token;
      g_host.pump = pumped ? +per_pump : nullptr;
      bind_labels(nullptr, words.data(), uint32_t(words.size()));
      g_budget = pumped ? 5000 / 21 : 5000;
      run_words(words);
      if (ctx->stop < 0) errors++;
      unbind_labels(words.data(), uint32_t(words.size()));
      interp_destroy(ctx);
      ctx = interp_create();
      ASSERT_NE(ctx, nullptr);
    }
  }
  g_host = saved;
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  // Most random programs hit an error; none may crash. The table is whole:
  // every slot below `length` is either in use or on the free list.
  EXPECT_GT(errors, 100);
  uint32_t free_slots = 0;
  for (uint32_t f = g_elements.free_head; f && free_slots <= g_elements.length; f = uint32_t(g_elements.entries[f].size))
    free_slots++;
  EXPECT_EQ(g_elements.live + free_slots, g_elements.length);
}
