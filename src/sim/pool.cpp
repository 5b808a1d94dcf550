// Placeholder pool: runs everything on the calling thread. Replaced by the
// real worker pool.
#include "sim/pool.h"

namespace vantrel::sim {

std::size_t pool_num_threads() { return 1; }
Status init_global_pool(std::size_t) { return Status::Ok(); }
bool in_pool_thread() { return false; }
void parallel_for(std::size_t n, std::size_t, FunctionRef<void(std::size_t, std::size_t)> body) {
  if (n) body(0, n);
}
void join(FunctionRef<void()> a, FunctionRef<void()> b) {
  a();
  b();
}

}  // namespace vantrel::sim
