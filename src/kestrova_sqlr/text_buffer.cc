#include "kestrova_sqlr/text_buffer.h"

#include <cstdlib>
#include <cstring>

namespace kestrova::sqlr {

namespace {
constexpr size_t kFirstCapacity = 4096;
}  // namespace

TextBuffer::~TextBuffer() { std::free(data_); }

bool TextBuffer::reserve(size_t n) noexcept {
  if (n <= cap_) return true;
  size_t bigger = cap_ < kFirstCapacity ? kFirstCapacity : cap_ * 2;
  if (bigger > ceiling_) bigger = ceiling_;
  if (bigger < n) bigger = n;
  char* moved = static_cast<char*>(std::realloc(data_, bigger));
  if (moved == nullptr) return false;
  data_ = moved;
  cap_ = bigger;
  return true;
}

bool TextBuffer::append_block(char* block, size_t n) noexcept {
  char* grown = static_cast<char*>(std::realloc(block, size_ + n));
  if (grown == nullptr) return false;
  std::memmove(grown + size_, grown, n);
  if (size_ > 0) std::memcpy(grown, data_, size_);
  std::free(data_);
  data_ = grown;
  size_ += n;
  cap_ = size_;
  return true;
}

void TextBuffer::release() noexcept {
  std::free(data_);
  data_ = nullptr;
  size_ = 0;
  cap_ = 0;
}

char* TextBuffer::take_string() noexcept {
  if (!reserve(size_ + 1)) return nullptr;
  data_[size_] = '\0';
  // The unused room is not handed back: it has never been touched, and a
  // block of the size the next page grows to is what the heap keeps ready.
  char* out = data_;
  data_ = nullptr;
  size_ = 0;
  cap_ = 0;
  return out;
}

}  // namespace kestrova::sqlr
