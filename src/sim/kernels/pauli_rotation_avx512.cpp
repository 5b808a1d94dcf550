// The AVX-512 variant of the Pauli-string rotation kernel: eight amplitudes
// per vector, the pass itself in pauli_rotation_lanes.h. Built with the
// AVX-512 flags only, and used only where the processor runs AVX-512.
#include "sim/kernels/pauli_rotation.h"
#include "sim/kernels/lanes_avx512.h"
#include "sim/kernels/pauli_rotation_lanes.h"

namespace vantrel::sim::kernels {

const RotationKernelOf<float> kRotationAvx512 = {"AVX-512", Avx512<float>::kAmps, &rotation_items<Avx512<float>>,
                                             &rotation_items_range<Avx512<float>>};
const RotationKernelOf<double> kRotationAvx512Double = {"AVX-512", Avx512<double>::kAmps, &rotation_items<Avx512<double>>,
                                                    &rotation_items_range<Avx512<double>>};

}  // namespace vantrel::sim::kernels
