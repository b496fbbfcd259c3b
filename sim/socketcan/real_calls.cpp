#include "real_calls.hpp"

#include <dlfcn.h>

#include <atomic>

namespace quillet::socketcan::real {
namespace {

enum Call : int {
#define QSC_ENUM(accessor, symbol, ...) k_##accessor,
  QSC_REAL_CALLS(QSC_ENUM)
#undef QSC_ENUM
  kCallCount
};

constexpr const char* kSymbols[kCallCount] = {
#define QSC_SYMBOL(accessor, symbol, ...) symbol,
    QSC_REAL_CALLS(QSC_SYMBOL)
#undef QSC_SYMBOL
};

std::atomic<void*> g_next[kCallCount];

void* next(Call call) noexcept {
  void* found = g_next[call].load(std::memory_order_acquire);
  if (found == nullptr) {
    // Racing look-ups find the same address, so the last store wins harmlessly.
    found = ::dlsym(RTLD_NEXT, kSymbols[call]);
    g_next[call].store(found, std::memory_order_release);
  }
  return found;
}

}  // namespace

#define QSC_DEFINE_REAL(accessor, symbol, ...)                       \
  accessor##_fn* accessor() noexcept {                               \
    return reinterpret_cast<accessor##_fn*>(next(k_##accessor));     \
  }
QSC_REAL_CALLS(QSC_DEFINE_REAL)
#undef QSC_DEFINE_REAL

void resolve_all() noexcept {
  for (int call = 0; call < kCallCount; ++call) next(static_cast<Call>(call));
}

}  // namespace quillet::socketcan::real
