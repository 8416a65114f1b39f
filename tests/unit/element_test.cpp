#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vm/element.h"
#include "vm/heap.h"
#include "vm_fixture.h"

using namespace vm;

class Elements : public VmTest {};

TEST_F(Elements, InterningSharesOneElementPerTypeAndBytes) {
  uint32_t a = element_intern("abc", 3, kTypeString);
  uint32_t b = element_intern("abc", 3, kTypeString);
  EXPECT_EQ(a, b);
  EXPECT_EQ(element_entry(a)->refs, 2);
  uint32_t other = element_intern("abc", 3, kTypeLabel);
  EXPECT_NE(other, a);
  EXPECT_EQ(element_intern(nullptr, 3, kTypeString), kHandleBase);
  // A negative size counts as 0: the empty text.
  EXPECT_EQ(element_intern("x", -5, kTypeString), text_intern(""));
  // Texts with a NUL inside are distinct from their prefix.
  EXPECT_NE(element_intern("a\0b", 3, kTypeString), element_intern("a", 1, kTypeString));
}

// Texts that share their first, middle and last bytes and their length
// share a bucket: 2,000 of them outgrow its first 1,024 slots, and it
// moves to a block of its own with every text still found.
TEST_F(Elements, ABucketOutgrowsItsFirstPlace) {
  std::vector<uint32_t> made;
  auto text = [](int i) {
    char t[8] = {'q', char('a' + i % 26), char('a' + i / 26 % 26), char('a' + i / 676), 'q', 'z', 'z', 'q'};
    return std::string(t, 8);
  };
  for (int i = 0; i < 2000; i++) made.push_back(text_intern(text(i)));
  for (int i = 0; i < 2000; i++) {
    ASSERT_EQ(text_intern(text(i)), made[size_t(i)]) << i;
    element_release(made[size_t(i)]);
  }
  for (uint32_t h : made) element_release(h);
  for (int i = 0; i < 2000; i += 97) EXPECT_EQ(element_entry(made[size_t(i)]), nullptr) << i;
}

TEST_F(Elements, ReleaseFreesAtZeroUnlessHeld) {
  uint32_t h = text_intern("transient text");
  ASSERT_NE(element_entry(h), nullptr);
  element_release(h);
  EXPECT_EQ(element_entry(h), nullptr);
  // Interning again makes a fresh element with one reference.
  h = text_intern("transient text");
  EXPECT_EQ(element_entry(h)->refs, 1);

  uint32_t n = name_intern("held_name", 9);
  element_release(n);
  element_release(n);
  ASSERT_NE(element_entry(n), nullptr);  // the hold keeps it
  EXPECT_TRUE(element_entry(n)->origin & kOriginIsName);
}

TEST_F(Elements, InvalidHandlesAreNoElement) {
  EXPECT_EQ(element_entry(0u), nullptr);
  EXPECT_EQ(element_entry(kHandleBase), nullptr);
  EXPECT_EQ(element_entry(kHandleBase + 0xffffff), nullptr);
  EXPECT_EQ(element_entry(0x80000001u), nullptr);
  EXPECT_EQ(element_entry(0xC0000001u), nullptr);
  element_release(kHandleBase + 0xffffff);  // nothing happens
  element_ref(0x12345678);
  uint32_t h = text_intern("typed");
  EXPECT_EQ(element_lookup(h, kTypeImage), nullptr);
  EXPECT_NE(element_lookup(h, kTypeString), nullptr);
}

TEST_F(Elements, FreeListReusesTheLastFreedSlotFirst) {
  uint32_t a = element_create(nullptr, 8, kTypeTimer);
  uint32_t b = element_create(nullptr, 8, kTypeTimer);
  uint32_t c = element_create(nullptr, 8, kTypeTimer);
  uint32_t keep = element_create(nullptr, 8, kTypeTimer);
  element_release(a);
  element_release(c);
  EXPECT_EQ(element_create(nullptr, 8, kTypeTimer), c);
  EXPECT_EQ(element_create(nullptr, 8, kTypeTimer), a);
  element_release(b);
  element_release(keep);
}

TEST_F(Elements, FreeingTheHighestTrimsEveryFreeSlotBelowIt) {
  uint32_t before = g_elements.length;
  uint32_t h[5];
  for (auto& x : h) x = element_create(nullptr, 4, kTypeTimer);
  EXPECT_EQ(g_elements.length, before + 5);
  element_release(h[1]);
  element_release(h[2]);
  element_release(h[3]);
  EXPECT_EQ(g_elements.length, before + 5);
  element_release(h[4]);
  EXPECT_EQ(g_elements.length, before + 1);
  // The trimmed slots left the free list: no free slot lies above `length`.
  for (uint32_t f = g_elements.free_head; f; f = uint32_t(g_elements.entries[f].size))
    EXPECT_LE(f, g_elements.length);
  element_release(h[0]);
}

TEST_F(Elements, CapacityKeepsHeadroomAndShrinks) {
  std::vector<uint32_t> hs;
  for (int i = 0; i < 5000; i++) hs.push_back(element_create(nullptr, 4, kTypeTimer));
  EXPECT_GT(g_elements.capacity, g_elements.length + 256);
  for (uint32_t h : hs) element_release(h);
  EXPECT_LT(g_elements.capacity, g_elements.length + 1792);
  EXPECT_GE(g_elements.capacity, 1024u);
}

TEST_F(Elements, ManyInternedTextsStayFindable) {
  std::vector<uint32_t> hs;
  for (int i = 0; i < 3000; i++) hs.push_back(text_intern("name" + std::to_string(i)));
  for (int i = 0; i < 3000; i += 7) {
    uint32_t again = text_intern("name" + std::to_string(i));
    EXPECT_EQ(again, hs[i]);
    element_release(again);
  }
  for (int i = 0; i < 3000; i += 2) element_release(hs[i]);
  for (int i = 1; i < 3000; i += 2) {
    uint32_t again = text_intern("name" + std::to_string(i));
    EXPECT_EQ(again, hs[i]) << i;
    element_release(again);
  }
}

TEST_F(Elements, StaticNamesReplaceOwnedBytesAndSurviveRelease) {
  uint32_t plain = text_intern("staticname");
  static const char kName[] = "staticname";
  uint32_t s = static_name_intern(kName, 10);
  EXPECT_EQ(s, plain);
  EXPECT_EQ(element_entry(s)->payload, static_cast<const void*>(kName));
  element_entry(s)->refs = 0;
  element_free(s);
  EXPECT_NE(element_entry(s), nullptr);
}

TEST_F(Elements, CommandNamesAreBuiltinWithHandlers) {
  uint32_t h = text_intern("consolewrite");
  ElementEntry* e = element_entry(h);
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->flags & kFlagBuiltin);
  EXPECT_TRUE(e->flags & kFlagHasCommand);
  EXPECT_TRUE(e->origin & kOriginStaticBytes);
}

TEST_F(Elements, ReleasingGuardStopsReentrantFree) {
  static int runs;
  runs = 0;
  element_set_cleanup(kTypeBitmask, [](uint32_t handle, void*) {
    runs++;
    element_free(handle);  // re-entry does nothing
  });
  uint32_t h = element_create(nullptr, 4, kTypeBitmask);
  element_release(h);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(element_entry(h), nullptr);
  element_set_cleanup(kTypeBitmask, nullptr);
}

TEST_F(Elements, DescriptionLines) {
  uint32_t t = element_create(nullptr, 4, kTypeTimer);
  std::string d = element_description(ctx, t);
  EXPECT_EQ(d.rfind("TIMER ", 0), 0u) << d;
  EXPECT_EQ(element_description(ctx, text_intern("hello")), "hello");
  element_release(t);
}

TEST_F(Elements, HeapCountsBytesInUse) {
  int64_t before = heap_bytes_in_use();
  void* p = heap_alloc(1000);
  EXPECT_EQ(heap_bytes_in_use(), before + 1000);
  p = heap_resize(p, 3000);
  EXPECT_EQ(static_cast<unsigned char*>(p)[2999], 0);
  EXPECT_EQ(heap_bytes_in_use(), before + 3000);
  heap_free(p);
  EXPECT_EQ(heap_bytes_in_use(), before);
  int not_ours[8] = {};
  heap_free(&not_ours[4]);  // a block without our header is left alone
  EXPECT_EQ(heap_bytes_in_use(), before);
}

// Freed blocks of a few KiB are kept for the next requests they fit: a
// kept block comes back zero-filled, and one freed twice is kept once.
TEST_F(Elements, HeapReusesFreedBlocksSafely) {
  auto* dirty = static_cast<unsigned char*>(heap_alloc(3000));
  std::memset(dirty, 0xab, 3000);
  heap_free(dirty);
  heap_free(dirty);
  auto* a = static_cast<unsigned char*>(heap_alloc(2990));
  auto* b = static_cast<unsigned char*>(heap_alloc_uninit(2990));
  EXPECT_EQ(a, dirty);  // taken again, not given back to the C heap
  EXPECT_NE(a, b);
  for (int i = 0; i < 2990; i++) ASSERT_EQ(a[i], 0) << i;
  EXPECT_EQ(heap_block_size(a), 2990u);
  heap_free(a);
  heap_free(b);
}
