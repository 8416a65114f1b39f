// A fresh virtual machine per test: the command table registered, one
// context, and helpers to run assembled programs and read the stack.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

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
    vm::vm_init();
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

  vm::Interp* ctx = nullptr;
  std::vector<uint32_t> code;
  std::vector<uint32_t> owned;
};
