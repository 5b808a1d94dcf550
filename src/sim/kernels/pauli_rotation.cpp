// The SSE2 variant of the Pauli-string rotation kernel (two amplitudes per
// vector, every x86-64; the pass itself in pauli_rotation_lanes.h), and the
// choice of variant by the engine's kernel table.
#include "sim/kernels/pauli_rotation.h"

#include "sim/kernels/isa.h"
#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/pauli_rotation_lanes.h"

namespace vantrel::sim::kernels {

const RotationKernel kRotationSse2 = {"SSE2", Sse2<float>::kAmps, &rotation_items<Sse2<float>>,
                                      &rotation_items_range<Sse2<float>>};

const RotationKernel& rotation_kernel(std::size_t amplitudes) {
  const RotationKernel* k = active_kernels().rotation;
  if (amplitudes < k->block && k == &kRotationAvx512) k = &kRotationAvx2;
  return amplitudes >= k->block ? *k : kRotationSse2;
}

}  // namespace vantrel::sim::kernels
