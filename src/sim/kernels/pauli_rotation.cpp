// The SSE2 variant of the Pauli-string rotation kernel (two amplitudes per
// vector, every x86-64; the pass itself in pauli_rotation_lanes.h), and the
// choice of variant by the engine's kernel table.
#include "sim/kernels/pauli_rotation.h"

#include "sim/kernels/isa.h"
#include "sim/kernels/lanes_sse2.h"
#include "sim/kernels/pauli_rotation_lanes.h"

namespace vantrel::sim::kernels {

const RotationKernelOf<float> kRotationSse2 = {"SSE2", Sse2<float>::kAmps, &rotation_items<Sse2<float>>,
                                             &rotation_items_range<Sse2<float>>};
const RotationKernelOf<double> kRotationSse2Double = {"SSE2", Sse2<double>::kAmps, &rotation_items<Sse2<double>>,
                                                    &rotation_items_range<Sse2<double>>};

template <class T>
const RotationKernelOf<T>& rotation_kernel_of(std::size_t amplitudes) {
  const KernelTableOf<T>& table = active_kernels_of<T>();
  const RotationKernelOf<T>* k = table.rotation;
  // The widest variant whose block fits: the tables narrowest first.
  const auto tables = supported_kernel_tables_of<T>();
  for (std::size_t i = tables.size(); amplitudes < k->block && i-- > 0;) k = tables[i]->rotation;
  return *k;
}

template const RotationKernelOf<float>& rotation_kernel_of<float>(std::size_t);
template const RotationKernelOf<double>& rotation_kernel_of<double>(std::size_t);

}  // namespace vantrel::sim::kernels
