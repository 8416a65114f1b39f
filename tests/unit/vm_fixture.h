// A fresh virtual machine per test: the command table registered, one
// context, and helpers to run assembled programs and read the stack.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "host/engine.h"
#include "storage/archive.h"
#include "storage/stream.h"
#include "vm/assemble.h"
#include "vm/control.h"
#include "vm/convert.h"
#include "vm/element.h"
#include "vm/interp.h"
#include "vm/variables.h"

class VmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vm::g_host = vm::HostHooks{};
    host::engine_init();
    ctx = vm::interp_create();
    ASSERT_NE(ctx, nullptr);
  }
  void TearDown() override {
    vm::interp_destroy(ctx);
    vm::element_free_all();
    vm::g_host = vm::HostHooks{};
  }

  // Assembles and runs a program; returns what it wrote to standard output.
  // A word END in a test program jumps to the program's real end (an end
  // word in the middle would also end the binding of the labels after it).
  // The labels of the previous program are unbound first.
  std::string run(std::string_view source) {
    vm::unbind_labels(code.data(), uint32_t(code.size()));
    std::string src(source);
    for (size_t at = src.find("END"); at != std::string::npos; at = src.find("END", at + 1)) {
      bool word_start = at == 0 || src[at - 1] == ' ' || src[at - 1] == '\n';
      bool word_end = at + 3 == src.size() || src[at + 3] == ' ' || src[at + 3] == '\n';
      if (word_start && word_end) src.replace(at, 3, "__end GOTO");
    }
    src += " LABEL:__end";
    vm::Assembly a = vm::assemble(src);
    EXPECT_EQ(a.error, "");
    code = a.words;
    vm::bind_labels(ctx, code.data(), uint32_t(code.size()));
    vm::interp_attach_code(*ctx, code.data(), uint32_t(code.size()));
    testing::internal::CaptureStdout();
    vm::interp_run(*ctx);
    return testing::internal::GetCapturedStdout();
  }
  // Runs raw token words (an end word is not appended).
  void run_words(std::vector<uint32_t> words) {
    code = std::move(words);
    vm::interp_attach_code(*ctx, code.data(), uint32_t(code.size()));
    vm::interp_run(*ctx);
  }

  uint32_t depth() const { return vm::stack_depth(*ctx); }
  // Stack cell i from the top (0 = top).
  vm::Value cell(uint32_t i) const { return ctx->top[i]; }
  int64_t int_at(uint32_t i) const { return vm::value_to_integer(ctx, ctx->top[i]); }
  std::string text_at(uint32_t i) const { return vm::value_display(ctx, ctx->top[i]); }

  vm::Value text(std::string_view s) {
    uint32_t h = vm::text_intern(s);
    owned.push_back(h);
    return vm::Value::from_handle(h);
  }
  // The value of a variable of the current scopes (null when absent).
  vm::Value var(std::string_view name) {
    vm::Value* cell = vm::var_find(*ctx, text(name));
    return cell ? *cell : vm::Value::null();
  }

  static vm::Value I(int64_t x) { return vm::Value::from_int(x); }
  vm::Value T(std::string_view s) { return text(s); }

  // Calls a handler with its arguments in script order and returns its one
  // result (kept alive for the test), or checks that it left none.
  vm::Value call(vm::CommandHandler h, std::initializer_list<vm::Value> args, bool result = true) {
    uint32_t before = depth();
    vm::open_frame(*ctx);
    std::vector<vm::Value> list(args);
    for (auto it = list.rbegin(); it != list.rend(); ++it) vm::push(*ctx, *it);
    vm::run_command(*ctx, h);
    EXPECT_EQ(depth(), before + (result ? 1 : 0));
    if (!result) return vm::Value::null();
    vm::Value v = cell(0);
    vm::value_ref(v);
    if (v.is_element()) owned.push_back(v.handle());
    vm::pop(*ctx);
    return v;
  }
  void run0(vm::CommandHandler h, std::initializer_list<vm::Value> args) { call(h, args, false); }
  int64_t N(vm::CommandHandler h, std::initializer_list<vm::Value> args) {
    return vm::value_to_integer(ctx, call(h, args));
  }
  std::string S(vm::CommandHandler h, std::initializer_list<vm::Value> args) {
    return std::string(vm::element_text(call(h, args)));
  }

  vm::Interp* ctx = nullptr;
  std::vector<uint32_t> code;
  std::vector<uint32_t> owned;
};

// A VmTest that runs in a fresh temporary working directory, with storage
// ready; archives opened by the test are closed afterwards.
class WorkDirTest : public VmTest {
 protected:
  void SetUp() override {
    VmTest::SetUp();
    storage::storage_init();
    std::string templ = testing::TempDir() + "quillon_test_XXXXXX";
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir = templ;
    old_cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
  }
  void TearDown() override {
    storage::archive_close_all();
    std::filesystem::current_path(old_cwd);
    std::filesystem::remove_all(dir);
    VmTest::TearDown();
  }
  // Writes and reads whole files of the working directory.
  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(name, std::ios::binary) << bytes;
  }
  std::string slurp(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::string dir;
  std::filesystem::path old_cwd;
};
