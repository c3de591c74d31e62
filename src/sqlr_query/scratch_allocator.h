// A yyjson allocator for short-lived memory, served from one reusable block.
#ifndef KESTROVA_SQLR_SQLR_QUERY_SCRATCH_ALLOCATOR_H_
#define KESTROVA_SQLR_SQLR_QUERY_SCRATCH_ALLOCATOR_H_

#include <yyjson.h>

#include <cstddef>

namespace kestrova::sqlr {

// Blocks are handed out one after another from a block of `size` bytes taken
// from the C heap at the first request; the most recent one grows and shrinks
// in place, a freed block is given back only when it is the most recent, and
// a request that does not fit goes to the C heap. Any pattern of requests is
// served correctly; one that allocates and grows a single block, as writing a
// small JSON value does, costs no call to the heap at all.
class ScratchAllocator {
 public:
  explicit ScratchAllocator(size_t size) noexcept;
  ~ScratchAllocator();
  ScratchAllocator(const ScratchAllocator&) = delete;
  ScratchAllocator& operator=(const ScratchAllocator&) = delete;

  // The allocator to hand to yyjson; it points at this object.
  const yyjson_alc* alc() const noexcept { return &alc_; }

  // True when `p` lies in the scratch block; other blocks came from the C
  // heap and may be kept, grown and freed as any heap block.
  bool owns(const void* p) const noexcept;

  // Makes the whole block free again. Every block it handed out must have
  // been freed (heap blocks need not be).
  void reset() noexcept;

 private:
  static void* do_malloc(void* ctx, size_t size) noexcept;
  static void* do_realloc(void* ctx, void* ptr, size_t old_size, size_t size) noexcept;
  static void do_free(void* ctx, void* ptr) noexcept;

  yyjson_alc alc_;
  char* block_ = nullptr;  // owned; taken at the first request
  size_t size_;
  size_t top_ = 0;      // bytes handed out
  size_t last_;         // where the most recent block starts, or kNone
  bool tried_ = false;  // the block was asked for (it may have been refused)
};

}  // namespace kestrova::sqlr

#endif  // KESTROVA_SQLR_SQLR_QUERY_SCRATCH_ALLOCATOR_H_
