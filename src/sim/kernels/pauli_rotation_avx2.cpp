// The AVX2 variant of the Pauli-string rotation kernel: four amplitudes per
// vector, the pass itself in pauli_rotation_lanes.h. Built with -mavx2 only,
// and used only where the processor runs AVX2.
#include "sim/kernels/pauli_rotation.h"
#include "sim/kernels/lanes_avx2.h"
#include "sim/kernels/pauli_rotation_lanes.h"

namespace vantrel::sim::kernels {

const RotationKernelOf<float> kRotationAvx2 = {"AVX2", Avx2<float>::kAmps, &rotation_items<Avx2<float>>,
                                             &rotation_items_range<Avx2<float>>};
const RotationKernelOf<double> kRotationAvx2Double = {"AVX2", Avx2<double>::kAmps, &rotation_items<Avx2<double>>,
                                                    &rotation_items_range<Avx2<double>>};

}  // namespace vantrel::sim::kernels
