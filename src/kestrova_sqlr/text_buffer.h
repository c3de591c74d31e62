// A growing text on the C heap that can be handed over as a result string.
#ifndef KESTROVA_SQLR_TEXT_BUFFER_H_
#define KESTROVA_SQLR_TEXT_BUFFER_H_

#include <cstddef>
#include <cstring>

namespace kestrova::sqlr {

class TextBuffer {
 public:
  // Growth doubles the capacity but never past `ceiling` unless more is asked
  // for, so that a text near its limit does not reserve twice that limit.
  explicit TextBuffer(size_t ceiling = static_cast<size_t>(-1)) noexcept : ceiling_(ceiling) {}
  ~TextBuffer();
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  // Makes room for `n` bytes in all; false (the text unchanged) when memory
  // runs out.
  bool reserve(size_t n) noexcept;

  // Appends `n` bytes from `s` (null only when n is 0), which must not point
  // into this buffer; false
  // (the text unchanged) when memory runs out.
  bool append(const char* s, size_t n) noexcept {
    if (n == 0) return true;
    if (size_ + n > cap_ && !reserve(size_ + n)) return false;
    std::memcpy(data_ + size_, s, n);
    size_ += n;
    return true;
  }

  // Appends the `n` bytes at the start of `block`, a block of at least `n`
  // bytes from the C heap, by taking the block over and moving the text so
  // far in front of them: cheaper in memory than a copy when the block holds
  // more than the text. On success the block belongs to the buffer; on
  // failure (memory ran out) it stays the caller's and the text is unchanged.
  bool append_block(char* block, size_t n) noexcept;

  // The bytes so far; data() may be null while nothing was reserved. The
  // buffer keeps ownership.
  char* data() noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return cap_; }
  // Marks the first `n` bytes, n <= capacity(), as the text.
  void resize(size_t n) noexcept { size_ = n; }

  // Gives the memory back to the heap and starts empty again.
  void release() noexcept;

  // Terminates the text with a NUL and hands it over as a string from the C
  // heap that the caller frees with free(); the buffer is left empty. Null
  // (the text kept) when memory runs out.
  char* take_string() noexcept;

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
  size_t ceiling_;
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_TEXT_BUFFER_H_
