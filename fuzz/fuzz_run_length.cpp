// Fuzzes the pattern coder against a model that walks the key area one bit at
// a time with two 8-bit run counters, and the code comparison of two key
// areas against the comparison of their model codes.
//
// Input: the first 80 bytes are key area A (a shorter input is padded with
// zero bytes). Key area B is a copy of A; when the input goes on, its byte 80
// picks a position (modulo 80) from which the bytes after it overwrite B, so
// that A and B share a prefix of any length.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "pattern_code.h"
#include "pattern_model.h"
#include "run_length.h"

namespace {

constexpr std::size_t KEY_BYTES = zelto::KEY_AREA_SIZE;
constexpr std::size_t CAPACITY = zelto::testing::PATTERN_CODE_CAPACITY;
// Written over the code buffer first, to see that the coder clears all of it.
constexpr unsigned char STALE = 0xEE;

void print_key(const char* name, const unsigned char* key) {
  std::fprintf(stderr, "%s:", name);
  for (std::size_t i = 0; i < KEY_BYTES; ++i) std::fprintf(stderr, " %02X", key[i]);
  std::fprintf(stderr, "\n");
}

[[noreturn]] void fail(const char* what, const unsigned char* a, const unsigned char* b) {
  std::fprintf(stderr, "pattern code: %s\n", what);
  print_key("key A", a);
  if (b != nullptr) print_key("key B", b);
  std::abort();
}

// Codes `key` into a buffer of exactly the capacity the unique pass gives
// (a write past it is caught) and checks every byte against the model.
void check_code(const unsigned char* key, const std::vector<unsigned char>& expected) {
  const auto code = std::make_unique<unsigned char[]>(CAPACITY);
  std::memset(code.get(), STALE, CAPACITY);
  const std::size_t length = zelto::testing::run_length_encoding(key, code.get(), CAPACITY);
  if (expected.size() > CAPACITY - 1) fail("model code longer than 641 bytes", key, nullptr);
  if (length != expected.size()) fail("length differs from the model", key, nullptr);
  if (!std::equal(expected.begin(), expected.end(), code.get())) {
    fail("code bytes differ from the model", key, nullptr);
  }
  if (std::find(code.get(), code.get() + length, 0) != code.get() + length) {
    fail("code holds a zero byte", key, nullptr);
  }
  if (std::any_of(code.get() + length, code.get() + CAPACITY,
                  [](unsigned char c) { return c != 0; })) {
    fail("buffer not cleared after the code", key, nullptr);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Exactly 80 bytes each on the heap, so a read past a key area is caught.
  const auto a = std::make_unique<unsigned char[]>(KEY_BYTES);
  const auto b = std::make_unique<unsigned char[]>(KEY_BYTES);
  std::memcpy(a.get(), data, std::min(size, KEY_BYTES));
  std::memcpy(b.get(), a.get(), KEY_BYTES);
  if (size > KEY_BYTES) {
    const std::size_t from = data[KEY_BYTES] % KEY_BYTES;
    const std::size_t n = std::min(size - KEY_BYTES - 1, KEY_BYTES - from);
    std::memcpy(b.get() + from, data + KEY_BYTES + 1, n);
  }

  const std::vector<unsigned char> code_a = zelto::testing::model_code(a.get());
  check_code(a.get(), code_a);
  if (size <= KEY_BYTES) return 0;
  const std::vector<unsigned char> code_b = zelto::testing::model_code(b.get());
  check_code(b.get(), code_b);
  const bool same = code_a == code_b;
  if (zelto::same_pattern_code(a.get(), b.get()) != same) {
    fail(same ? "equal codes compared as different" : "different codes compared as equal", a.get(),
         b.get());
  }
  if (zelto::same_pattern_code(b.get(), a.get()) != same) {
    fail("the comparison is not symmetric", a.get(), b.get());
  }
  return 0;
}
