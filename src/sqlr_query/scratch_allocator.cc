#include "sqlr_query/scratch_allocator.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kestrova::sqlr {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr size_t kAlign = alignof(std::max_align_t);

size_t rounded(size_t n) noexcept {
  if (n == 0) n = 1;  // every block its own address
  return (n + kAlign - 1) & ~(kAlign - 1);
}

}  // namespace

ScratchAllocator::ScratchAllocator(size_t size) noexcept
    : alc_{do_malloc, do_realloc, do_free, this}, size_(size), last_(kNone) {}

ScratchAllocator::~ScratchAllocator() { std::free(block_); }

void ScratchAllocator::reset() noexcept {
  top_ = 0;
  last_ = kNone;
}

bool ScratchAllocator::owns(const void* p) const noexcept {
  const auto at = reinterpret_cast<uintptr_t>(p);
  const auto start = reinterpret_cast<uintptr_t>(block_);
  return block_ != nullptr && at >= start && at - start < size_;
}

void* ScratchAllocator::do_malloc(void* ctx, size_t size) noexcept {
  auto* s = static_cast<ScratchAllocator*>(ctx);
  if (!s->tried_) {
    s->tried_ = true;
    s->block_ = static_cast<char*>(std::malloc(s->size_));
  }
  const size_t n = rounded(size);
  if (s->block_ == nullptr || n > s->size_ - s->top_) return std::malloc(size);
  s->last_ = s->top_;
  s->top_ += n;
  return s->block_ + s->last_;
}

void* ScratchAllocator::do_realloc(void* ctx, void* ptr, size_t old_size, size_t size) noexcept {
  auto* s = static_cast<ScratchAllocator*>(ctx);
  if (ptr == nullptr) return do_malloc(ctx, size);
  if (!s->owns(ptr)) return std::realloc(ptr, size);
  const size_t at = static_cast<size_t>(static_cast<char*>(ptr) - s->block_);
  if (at == s->last_ && rounded(size) <= s->size_ - at) {
    s->top_ = at + rounded(size);
    return ptr;
  }
  void* moved = do_malloc(ctx, size);
  if (moved == nullptr) return nullptr;  // the old block stays as it was
  std::memcpy(moved, ptr, old_size < size ? old_size : size);
  do_free(ctx, ptr);
  return moved;
}

void ScratchAllocator::do_free(void* ctx, void* ptr) noexcept {
  auto* s = static_cast<ScratchAllocator*>(ctx);
  if (!s->owns(ptr)) {
    std::free(ptr);
    return;
  }
  const size_t at = static_cast<size_t>(static_cast<char*>(ptr) - s->block_);
  if (at == s->last_) {
    s->top_ = at;
    s->last_ = kNone;
  }
}

}  // namespace kestrova::sqlr
