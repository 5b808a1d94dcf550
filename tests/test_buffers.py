import numpy as np
import pytest

import reference as ref
import vantrel as vt
from compiled_helpers import build

STEPS = [("ry", 0, 0), ("rx", 1, 1), ("cx", 0, 1), ("rz", 1, 2)]
Z0Z1 = [(1.0, [("Z", 0), ("Z", 1)])]


@pytest.fixture
def circuit():
    return build(STEPS, 2, 3)


@pytest.fixture
def zz():
    return vt.Observable.pauli_string([("Z", 0), ("Z", 1)])


def test_param_buffer_is_zero_filled_and_shares_one_array(circuit):
    buf = circuit.param_buffer()
    assert isinstance(buf, vt.ParamBuffer) and buf.size == 3
    arr = buf.numpy()
    assert arr.dtype == np.float32 and arr.shape == (3,) and arr.flags.c_contiguous
    np.testing.assert_array_equal(arr, [0, 0, 0])
    assert buf.numpy() is arr
    del buf
    assert arr.flags.writeable and arr.sum() == 0  # outlives its buffer


def test_param_batch_buffer_shapes(circuit):
    batch = circuit.param_batch_buffer(4)
    assert isinstance(batch, vt.ParamBatchBuffer)
    assert (batch.batch_size, batch.parameter_count) == (4, 3)
    arr = batch.numpy()
    assert arr.dtype == np.float32 and arr.shape == (4, 3) and not arr.any()
    assert batch.numpy() is arr
    empty = circuit.param_batch_buffer(batch_size=0)
    assert empty.batch_size == 0 and empty.numpy().shape == (0, 3)
    with pytest.raises(OverflowError):
        circuit.param_batch_buffer(-1)
    with pytest.raises(TypeError, match="^argument 'batch_size': "):
        circuit.param_batch_buffer(2.0)


def test_buffer_documentation():
    assert vt.ParamBuffer.__doc__ == "Reusable parameter buffer for zero-copy compiled scalar execution."
    assert vt.ParamBatchBuffer.__doc__ == (
        "Reusable parameter batch buffer for zero-copy compiled batch execution.")
    assert vt.ParamBuffer.numpy.__text_signature__ == "($self)"
    assert vt.ParamBuffer.numpy.__doc__.endswith("Return the writable NumPy array backing this buffer.")
    assert vt.ParamBatchBuffer.numpy.__doc__.endswith(
        "Return the writable NumPy array backing this batch buffer.")
    assert vt.ParamBuffer.size.__doc__ == "Number of parameters stored in the buffer."
    assert vt.ParamBatchBuffer.batch_size.__doc__ == "Number of parameter vectors stored in the batch buffer."
    assert vt.ParamBatchBuffer.parameter_count.__doc__ == "Number of parameters in each row of the batch buffer."
    for cls in (vt.ParamBuffer, vt.ParamBatchBuffer):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()


def test_buffer_writes_are_read_in_place(circuit, zz):
    buf = circuit.param_buffer()
    ctx = circuit.execution_context()
    for values in ([0.3, -0.2, 1.1], [2.0, 0.5, -0.7]):
        buf.numpy()[:] = values
        expected = ref.plan_expectation(STEPS, 2, np.float32(values), Z0Z1)
        assert circuit.expectation_buffer(buf, zz) == pytest.approx(expected, abs=1e-5)
        assert ctx.expectation_buffer(circuit, buf, zz) == pytest.approx(expected, abs=1e-5)
    np.testing.assert_array_equal(buf.numpy(), np.float32([2.0, 0.5, -0.7]))  # never written


def test_buffer_size_and_width_are_checked(circuit, zz):
    small = build([("rx", 0, 0), ("rx", 1, 1)], 2, 2)
    with pytest.raises(ValueError, match=r"^param_buffer has length 3, expected 2$"):
        small.expectation_buffer(circuit.param_buffer(), zz)
    with pytest.raises(ValueError, match=r"^param_batch_buffer has width 3, expected 2$"):
        small.batch_expectation_buffer(circuit.param_batch_buffer(2), zz)
    # A buffer fits any circuit with its parameter count.
    other = build([("ry", 1, 2)], 2, 3)
    assert other.expectation_buffer(circuit.param_buffer(), zz) == pytest.approx(1.0)


def test_buffer_arrays_can_hold_no_references(circuit):
    # Why the buffers need no garbage-collector support (buffers.h): their
    # arrays cannot be made to refer to any object.
    for buf in (circuit.param_buffer(), circuit.param_batch_buffer(2)):
        arr = buf.numpy()
        assert type(arr) is np.ndarray and arr.base is None and arr.flags.owndata
        for dtype in (object, [("f", "O")], "(1,)O"):
            with pytest.raises(TypeError, match="array of references|object array"):  # NumPy 2, 1.x
                arr.dtype = dtype
        with pytest.raises(AttributeError):
            arr.base = buf
        with pytest.raises(AttributeError):
            arr.owner = buf


def test_buffer_arrays_reshaped_or_resized_by_the_caller(circuit, zz):
    batch = circuit.param_batch_buffer(2)
    arr = batch.numpy()
    arr.shape = (6,)  # same memory, other shape: the stored counts govern
    assert circuit.batch_expectation_buffer(batch, zz).shape == (2,)
    arr.resize((3, 3), refcheck=False)  # more elements than batch_size rows
    with pytest.raises(ValueError, match=r"^parameter batch contains 9 values, expected 6 for shape "
                                         r"\(2, 3\)$"):
        circuit.batch_expectation_buffer(batch, zz)
    buf = circuit.param_buffer()
    buf.numpy().resize((1,), refcheck=False)
    with pytest.raises(ValueError, match=r"^parameter vector has length 1, expected 3$"):
        circuit.expectation_buffer(buf, zz)


def test_params_conversions(circuit, zz):
    expected = ref.plan_expectation(STEPS, 2, [1, 0, 2], Z0Z1)
    for params in ([1, 0, 2], (1.0, 0.0, 2.0), np.array([1, 0, 2], np.float64),
                   np.array([1, 9, 0, 9, 2], np.float32)[::2],
                   np.frombuffer(b"\0" + np.float32([1, 0, 2]).tobytes(), np.float32, offset=1)):
        assert circuit.expectation(params, zz) == pytest.approx(expected, abs=1e-5)
    with pytest.raises(TypeError, match=r"^params must be convertible to a 1D numpy float32 array$"):
        circuit.expectation([[1, 0, 2]], zz)
    with pytest.raises(ValueError, match=r"^parameter vector has length 1, expected 3$"):
        circuit.expectation(0.5, zz)
    with pytest.raises(ValueError):
        circuit.expectation([1, [2, 3]], zz)  # NumPy's own error
    with pytest.raises(ValueError):
        circuit.expectation(["a", "b", "c"], zz)
    one = build([("rx", 0, 0)], 1, 1)
    assert one.expectation(np.pi, vt.Observable.pauli_z(0)) == pytest.approx(-1.0, abs=1e-6)


def test_params_batch_conversions(circuit, zz):
    with pytest.raises(TypeError,
                       match=r"^params_batch must be convertible to a 2D numpy float32 array$"):
        circuit.batch_expectation([0.1, 0.2, 0.3], zz)
    with pytest.raises(ValueError, match=r"^params_batch has width 4, expected 3$"):
        circuit.batch_expectation([[0, 0, 0, 0], [1, 1, 1, 1]], zz)
    with pytest.raises(ValueError, match=r"^params_batch has width 4, expected 3$"):
        circuit.batch_gradient(np.zeros((0, 4)), zz)
    rows = np.arange(12, dtype=np.float64).reshape(3, 4)[:, :3] * 0.1  # strided, float64
    values = circuit.batch_expectation(rows, zz)
    for row, value in zip(rows, values):
        assert value == circuit.expectation(row, zz)
    fortran = np.asfortranarray(rows.astype(np.float32))
    np.testing.assert_array_equal(circuit.batch_expectation(fortran, zz), values)


def test_batch_gradient_arrays_of_empty_shapes(circuit, zz):
    grads = circuit.batch_gradient(np.zeros((0, 3), np.float32), zz)
    assert grads.dtype == np.float32 and grads.shape == (0, 3)
    none = build([("h", 0)], 1, 0)
    grads = none.batch_gradient_buffer(none.param_batch_buffer(4), vt.Observable.pauli_x(0))
    assert grads.dtype == np.float32 and grads.shape == (4, 0)


def buffer_calls(circuit, zz):
    """Every method that reads a buffer, as (buffer kind, call)."""
    ctx = circuit.execution_context()
    return [
        ("ParamBuffer", lambda b: circuit.statevector_buffer(b)),
        ("ParamBuffer", lambda b: circuit.expectation_buffer(b, zz)),
        ("ParamBuffer", lambda b: circuit.gradient_buffer(b, zz)),
        ("ParamBuffer", lambda b: circuit.value_and_gradient_buffer(b, zz)),
        ("ParamBuffer", lambda b: ctx.statevector_buffer(circuit, b)),
        ("ParamBuffer", lambda b: ctx.expectation_buffer(circuit, b, zz)),
        ("ParamBuffer", lambda b: ctx.gradient_buffer(circuit, b, zz)),
        ("ParamBuffer", lambda b: ctx.value_and_gradient_buffer(circuit, b, zz)),
        ("ParamBatchBuffer", lambda b: circuit.batch_expectation_buffer(b, zz)),
        ("ParamBatchBuffer", lambda b: circuit.batch_gradient_buffer(b, zz)),
        ("ParamBatchBuffer", lambda b: circuit.batch_value_and_gradient_buffer(b, zz)),
    ]


def retype(arr, how):
    if how == "strides":  # same memory read column by column
        arr.strides = (4, 4 * arr.shape[0])
    else:
        arr.dtype = how


@pytest.mark.filterwarnings("ignore:Setting the strides:DeprecationWarning")
@pytest.mark.parametrize("how", [">f4", np.int32, np.int8, np.float16, "strides"])
def test_buffer_arrays_retyped_in_place_are_refused(circuit, zz, how):
    rows = np.float32([[0.3, -0.2, 1.1], [0.0, 0.5, 0.25], [1.5, 2.5, -1.0]])
    for kind, call in buffer_calls(circuit, zz):
        if kind == "ParamBuffer":
            buf = circuit.param_buffer()
            buf.numpy()[:] = rows[0]
        else:
            buf = circuit.param_batch_buffer(3)
            buf.numpy()[:] = rows
        arr = buf.numpy()
        before = call(buf)
        if how == "strides" and arr.ndim == 1:
            continue
        retype(arr, how)
        with pytest.raises(TypeError, match=f"^{kind} array is no longer contiguous native float32$"):
            call(buf)
        # Put back as it was, the same memory gives the same results.
        arr.dtype = np.float32
        if how == "strides":
            arr.strides = (12, 4)
        after = call(buf)
        for x, y in zip(before if isinstance(before, tuple) else [before],
                        after if isinstance(after, tuple) else [after]):
            np.testing.assert_array_equal(x, y)
    # Native-order float32 written out explicitly is still float32.
    buf = circuit.param_buffer()
    buf.numpy().dtype = "=f4"
    circuit.expectation_buffer(buf, zz)


# numpy.ascontiguousarray replaced before the module's first conversion, so
# that it returns arrays the real one never does: byte-swapped float32 and
# column-major batches.
REPLACED_CONVERSION = """
import numpy as np
real = np.ascontiguousarray
def odd(a, dtype):
    b = real(a, dtype)
    return b.astype(">f4") if b.ndim == 1 else np.asfortranarray(b)
np.ascontiguousarray = odd
import vantrel as vt
spec = vt.CircuitSpec(2)
a, b = spec.param(), spec.param()
spec.rx(0, a)
spec.ry(1, b)
circuit = spec.compile()
obs = vt.Observable.hamiltonian([vt.Observable.pauli_z(0), vt.Observable.pauli_z(1, 2.0)])
try:
    circuit.expectation([0.5, 1.0], obs)
    print("swapped accepted")
except TypeError as e:
    print(e)
rows = [[0.5, 1.0], [2.0, 0.1], [1.5, 2.5]]
got = circuit.batch_expectation(rows, obs)
buf = circuit.param_buffer()
want = []
for row in rows:
    buf.numpy()[:] = row
    want.append(circuit.expectation_buffer(buf, obs))
print(bool(np.array_equal(got, np.float32(want))))
"""


def test_conversions_refuse_swapped_and_reorder_column_major_results():
    import subprocess
    import sys

    result = subprocess.run([sys.executable, "-c", REPLACED_CONVERSION],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == [
        "params must be convertible to a 1D numpy float32 array", "True"]
