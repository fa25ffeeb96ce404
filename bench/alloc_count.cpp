#include "bench/alloc_count.h"

#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(std::size_t size);
void __libc_free(void* p);
void* __libc_calloc(std::size_t n, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {
__attribute__((tls_model("initial-exec"))) thread_local int t_scopes = 0;
__attribute__((tls_model("initial-exec"))) thread_local uint64_t t_count = 0;

inline void Note() {
  if (t_scopes > 0) ++t_count;
}
}  // namespace

extern "C" {
__attribute__((visibility("default"))) void* malloc(std::size_t size) {
  Note();
  return __libc_malloc(size);
}
__attribute__((visibility("default"))) void free(void* p) {
  __libc_free(p);
}
__attribute__((visibility("default"))) void* calloc(std::size_t n, std::size_t size) {
  Note();
  return __libc_calloc(n, size);
}
__attribute__((visibility("default"))) void* realloc(void* p, std::size_t size) {
  Note();
  return __libc_realloc(p, size);
}
__attribute__((visibility("default"))) void* memalign(std::size_t alignment, std::size_t size) {
  Note();
  return __libc_memalign(alignment, size);
}
__attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment,
                                                           std::size_t size) {
  Note();
  return __libc_memalign(alignment, size);
}
__attribute__((visibility("default"))) int posix_memalign(void** out, std::size_t alignment,
                                                          std::size_t size) {
  Note();
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}

namespace qelbench {

AllocationScope::AllocationScope() : start_(t_count) {
  ++t_scopes;
}
AllocationScope::~AllocationScope() {
  --t_scopes;
}
uint64_t AllocationScope::count() const {
  return t_count - start_;
}

bool AllocationHookWorks() {
  // Through volatile pointers, so that the compiler cannot drop the pair.
  void* (*volatile do_malloc)(std::size_t) = malloc;
  void (*volatile do_free)(void*) = free;
  AllocationScope scope;
  void* p = do_malloc(24);
  do_free(p);
  auto* volatile q = new int(7);
  delete q;
  return scope.count() == 2;
}

}  // namespace qelbench
