"""Rotation matrices, batched in-place rotations and changes of coordinate system in shapekit.

The stack rotations and the coordinate transformation are compared against plain NumPy
versions of the same computation (``numpy_steps``).  Those perform exactly the NumPy
calls the module is documented to make, so on identical inputs the results must agree bit for
bit; the twin arrays fed to both sides therefore share values *and* memory layout, because
``np.einsum`` may choose a different accumulation order for a different layout.
"""

import gc
import math
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp
from numpy.testing import assert_allclose, assert_array_equal

import numpy_steps as steps
from numpy_steps import outcome, twins, whole
from vornhaven.preprocessing import shapekit as sk

PI = np.pi


def rotation_matrix(angle_in_rad):
    return steps.get_rotation_matrix_2d(angle_in_rad=angle_in_rad)


def random_twins(rng, shape, dtype, layout, low, high):
    """Two independent arrays of the layout holding equal random values (see ``numpy_steps.twins``)."""
    return twins(rng.uniform(low, high, shape).astype(dtype), layout)


STACK_LAYOUTS = ["contiguous", "transposed", "permuted", "strided", "reversed_axes", "reversed_strided"]
STACK_FUNCTIONS = {
    "points": (sk.rot_points_multi_rads, steps.rot_points_multi_rads),
    "mats": (sk.rot_mats_multi_rads, steps.rot_mats_multi_rads),
}
POINT_SHAPES = [
    (0, 0, 2), (0, 3, 2), (1, 1, 2), (1, 4, 2), (2, 1, 2), (3, 5, 2), (5, 0, 2),
    (7, 3, 2), (16, 1, 2), (33, 4, 2), (500, 3, 2),
]
MATRIX_SHAPES = [(n, 2, 2) for n in (0, 1, 2, 3, 7, 16, 33, 500)]
SHAPES = {"points": POINT_SHAPES, "mats": MATRIX_SHAPES}


# --------------------------------------------------------------------------------------------
# get_rotation_matrix_2d
# --------------------------------------------------------------------------------------------


class TestGetRotationMatrix2d:
    def test_worked_examples(self):
        quarter_turn = sk.get_rotation_matrix_2d(angle_in_deg=90)
        assert_allclose(quarter_turn, [[0.0, -1.0], [1.0, 0.0]], atol=1e-15)
        # cos of 90 degrees in floating point is about 6.1e-17, not zero
        assert quarter_turn[0, 0] == np.cos(PI / 2) != 0.0
        assert_array_equal(sk.get_rotation_matrix_2d(angle_in_rad=0.0), np.eye(2))
        rotated = sk.get_rotation_matrix_2d(angle_in_rad=PI / 6) @ np.array([1.0, 0.0])
        assert_allclose(rotated, [math.sqrt(3) / 2, 0.5], rtol=1e-15)

    @pytest.mark.parametrize(
        "degrees",
        # 17.0 distinguishes "d / 180 * pi" from "d * pi / 180" and "d * (pi / 180)"
        [0.0, 17.0, 30.0, 42.5, -45.5, 90.0, 180.0, 360.0, 1e-300, 1e20, -7.25, 5e-324],
    )
    def test_degrees_are_converted_dividing_first(self, degrees):
        result = sk.get_rotation_matrix_2d(angle_in_deg=degrees)
        assert_array_equal(result, rotation_matrix(degrees / 180 * PI))

    @settings(max_examples=300, deadline=None)
    @given(angle=st.floats(allow_nan=True, allow_infinity=True), in_degrees=st.booleans())
    def test_matches_reference_for_any_float(self, angle, in_degrees):
        with np.errstate(all="ignore"):
            if in_degrees:
                result = sk.get_rotation_matrix_2d(angle_in_deg=angle)
                expected = rotation_matrix(angle / 180 * PI)
            else:
                result = sk.get_rotation_matrix_2d(angle_in_rad=angle)
                expected = rotation_matrix(angle)
        assert_array_equal(result, expected)
        assert_array_equal(np.signbit(result), np.signbit(expected))  # of NaN too

    def test_returns_a_fresh_float64_array(self):
        first = sk.get_rotation_matrix_2d(angle_in_rad=0.25)
        assert type(first) is np.ndarray
        assert first.dtype == np.float64 and first.shape == (2, 2)
        assert first.flags.writeable and first.flags.c_contiguous
        first[...] = 123.0
        second = sk.get_rotation_matrix_2d(angle_in_rad=0.25)
        assert second is not first
        assert_array_equal(second, rotation_matrix(0.25))

    @pytest.mark.parametrize("keyword", ["angle_in_deg", "angle_in_rad"])
    @pytest.mark.parametrize(
        "value",
        [7, True, np.int64(-3), np.int8(5), np.float32(0.1), np.float64(2.5), np.float16(1.5),
         Fraction(1, 3), Decimal("1.25"), 2**60 + 1],
        ids=repr,
    )
    def test_numbers_are_converted_with_float(self, keyword, value):
        result = sk.get_rotation_matrix_2d(**{keyword: value})
        converted = float(value)
        radians = converted / 180 * PI if keyword == "angle_in_deg" else converted
        assert_array_equal(result, rotation_matrix(radians))

    def test_explicit_none_for_the_other_angle(self):
        assert_array_equal(
            sk.get_rotation_matrix_2d(angle_in_deg=None, angle_in_rad=1.0),
            rotation_matrix(1.0),
        )
        assert_array_equal(
            sk.get_rotation_matrix_2d(angle_in_deg=45.0, angle_in_rad=None),
            rotation_matrix(45.0 / 180 * PI),
        )

    @pytest.mark.parametrize(
        "kwargs, shown",
        [
            ({}, ("None", "None")),
            ({"angle_in_deg": None, "angle_in_rad": None}, ("None", "None")),
            ({"angle_in_deg": 1.0, "angle_in_rad": 1.0}, ("1.0", "1.0")),
            ({"angle_in_deg": 1, "angle_in_rad": 2}, ("1.0", "2.0")),
            ({"angle_in_deg": 0.1 + 0.2, "angle_in_rad": 1e300}, ("0.30000000000000004", "1e+300")),
            ({"angle_in_deg": float("nan"), "angle_in_rad": -float("inf")}, ("nan", "-inf")),
            ({"angle_in_deg": np.float32(0.1), "angle_in_rad": True}, ("0.10000000149011612", "1.0")),
        ],
    )
    def test_exactly_one_angle_is_required(self, kwargs, shown):
        with pytest.raises(ValueError) as excinfo:
            sk.get_rotation_matrix_2d(**kwargs)
        assert str(excinfo.value) == (
            "Pass angle either in degrees ({}) in radians ({}).".format(*shown)
        )

    @pytest.mark.parametrize("keyword", ["angle_in_deg", "angle_in_rad"])
    @pytest.mark.parametrize(
        "value, type_name",
        [("30", "str"), (b"30", "bytes"), ([30.0], "list"), ((30.0,), "tuple"), ({}, "dict"),
         (object(), "object")],
        ids=["str", "bytes", "list", "tuple", "dict", "object"],
    )
    def test_non_numbers_are_rejected(self, keyword, value, type_name):
        with pytest.raises(TypeError) as excinfo:
            sk.get_rotation_matrix_2d(**{keyword: value})
        assert str(excinfo.value) == (
            f"Argument '{keyword}' has incorrect type (expected float, got {type_name})"
        )

    @pytest.mark.parametrize("keyword", ["angle_in_deg", "angle_in_rad"])
    def test_unconvertible_numbers_raise(self, keyword):
        with pytest.raises(TypeError):
            sk.get_rotation_matrix_2d(**{keyword: 1j})
        with pytest.raises(OverflowError):
            sk.get_rotation_matrix_2d(**{keyword: 10**400})

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((30,), {}, "get_rotation_matrix_2d() takes exactly 0 positional arguments (1 given)"),
            ((30, 40), {}, "get_rotation_matrix_2d() takes exactly 0 positional arguments (2 given)"),
            ((), {"x": 1.0}, "get_rotation_matrix_2d() got an unexpected keyword argument 'x'"),
            ((), {"angle_in_rad": 1.0, "angle": 1.0},
             "get_rotation_matrix_2d() got an unexpected keyword argument 'angle'"),
        ],
        ids=["one-positional", "two-positional", "unknown-keyword", "unknown-with-known"],
    )
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            sk.get_rotation_matrix_2d(*args, **kwargs)
        assert str(excinfo.value) == message

    def test_positional_angle_is_rejected_even_with_a_keyword(self):
        with pytest.raises(TypeError):
            sk.get_rotation_matrix_2d(30.0, angle_in_rad=1.0)


# --------------------------------------------------------------------------------------------
# rot_points_multi_rads and rot_mats_multi_rads
# --------------------------------------------------------------------------------------------


class TestStackRotationExamples:
    def test_quarter_turn_of_a_single_point(self):
        points = np.array([[[1.0, 0.0]]])
        result = sk.rot_points_multi_rads(points, np.array([PI / 2]))
        assert result is points
        assert_allclose(points, [[[0.0, 1.0]]], atol=1e-15)
        assert points[0, 0, 0] == np.cos(PI / 2) and points[0, 0, 1] == 1.0

    def test_each_set_is_rotated_counter_clockwise_by_its_own_angle(self):
        rng = np.random.default_rng(7)
        points = rng.uniform(-5, 5, (4, 3, 2))
        angles = np.array([0.0, PI / 6, -2.0, 3 * PI])
        x, y = points[..., 0].copy(), points[..., 1].copy()
        c, s = np.cos(angles)[:, None], np.sin(angles)[:, None]
        sk.rot_points_multi_rads(points, angles)
        assert_allclose(points[..., 0], x * c - y * s, rtol=1e-13, atol=1e-13)
        assert_allclose(points[..., 1], x * s + y * c, rtol=1e-13, atol=1e-13)
        assert_array_equal(points[0, :, 0], x[0])  # angle 0 is exact

    def test_matrices_become_r_m_r_transposed(self):
        rng = np.random.default_rng(8)
        matrices = rng.uniform(-5, 5, (5, 2, 2))
        angles = rng.uniform(-PI, PI, 5)
        expected = np.stack(
            [rotation_matrix(t) @ m @ rotation_matrix(t).T
             for t, m in zip(angles, matrices)]
        )
        result = sk.rot_mats_multi_rads(matrices, angles)
        assert result is matrices
        assert_allclose(matrices, expected, rtol=1e-12, atol=1e-12)

    def test_covariance_quarter_turn_swaps_the_axes(self):
        covariances = np.array([np.diag([4.0, 1.0]), [[2.0, 0.5], [0.5, 1.0]]])
        sk.rot_mats_multi_rads(covariances, np.array([PI / 2, 0.7]))
        assert_allclose(covariances[0], np.diag([1.0, 4.0]), atol=1e-14)
        assert_allclose(covariances[1], covariances[1].T, atol=1e-14)
        assert_allclose(np.trace(covariances[1]), 3.0, rtol=1e-14)

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    def test_empty_stack_returns_the_input(self, kind):
        function, _ = STACK_FUNCTIONS[kind]
        array = np.empty((0, 3, 2)) if kind == "points" else np.empty((0, 2, 2))
        assert function(array, np.empty(0)) is array

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    def test_keywords_and_ndarray_subclasses(self, kind):
        class Tagged(np.ndarray):
            pass

        function, reference = STACK_FUNCTIONS[kind]
        shape = (3, 4, 2) if kind == "points" else (3, 2, 2)
        values = np.random.default_rng(9).uniform(-1, 1, shape)
        array = values.copy().view(Tagged)
        name = "points" if kind == "points" else "matrices"
        result = function(**{name: array, "rotation_rads": np.array([0.1, 0.2, 0.3])})
        assert result is array and type(result) is Tagged
        assert_array_equal(result, reference(values.copy(), np.array([0.1, 0.2, 0.3])))


class TestStackRotationsMatchReference:
    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    @pytest.mark.parametrize(
        "array_dtype, angle_dtype",
        [(np.float64, np.float64), (np.float32, np.float32), (np.float64, np.float32)],
        ids=["f64-f64", "f32-f32", "f64-f32"],
    )
    @pytest.mark.parametrize("array_layout", STACK_LAYOUTS)
    @pytest.mark.parametrize("angle_layout", STACK_LAYOUTS)
    def test_layouts_and_sizes(self, kind, array_dtype, angle_dtype, array_layout, angle_layout):
        function, reference = STACK_FUNCTIONS[kind]
        rng = np.random.default_rng(1234)
        for shape in SHAPES[kind]:
            array, reference_array = random_twins(rng, shape, array_dtype, array_layout, -1e3, 1e3)
            angles, reference_angles = random_twins(rng, shape[:1], angle_dtype, angle_layout, -4 * PI, 4 * PI)
            angles_before = angles.copy()
            result = function(array, angles)
            expected = reference(reference_array, reference_angles)
            assert result is array
            assert result.dtype == expected.dtype == array_dtype
            assert_array_equal(result, expected, err_msg=f"shape {shape}")
            # the view was written in place and nothing around it was touched
            assert_array_equal(whole(array), whole(reference_array), err_msg=f"shape {shape}")
            assert_array_equal(angles, angles_before)

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    def test_zero_stride_angles(self, kind):
        function, reference = STACK_FUNCTIONS[kind]
        shape = (6, 3, 2) if kind == "points" else (6, 2, 2)
        values = np.random.default_rng(3).uniform(-10, 10, shape)
        angles = np.broadcast_to(np.float64(0.75), (6,))
        result = function(values.copy(), angles)
        assert_array_equal(result, reference(values.copy(), angles))

    @settings(max_examples=250, deadline=None)
    @given(
        data=st.data(),
        kind=st.sampled_from(sorted(STACK_FUNCTIONS)),
        dtypes=st.sampled_from([(np.float64, np.float64), (np.float32, np.float32),
                                (np.float64, np.float32)]),
    )
    def test_arbitrary_values_including_nan_inf_and_subnormals(self, data, kind, dtypes):
        array_dtype, angle_dtype = dtypes
        function, reference = STACK_FUNCTIONS[kind]
        n = data.draw(st.integers(0, 6), label="rotations")
        shape = (n, data.draw(st.integers(0, 4), label="points"), 2) if kind == "points" else (n, 2, 2)
        array = data.draw(hnp.arrays(array_dtype, shape, elements=hnp.from_dtype(np.dtype(array_dtype))))
        angles = data.draw(hnp.arrays(angle_dtype, (n,), elements=hnp.from_dtype(np.dtype(angle_dtype))))
        expected = outcome(reference, array.copy(), angles.copy())
        with np.errstate(all="ignore"):
            result = function(array, angles)
        assert result is array
        assert_array_equal(result, expected)
        assert_array_equal(np.signbit(result), np.signbit(expected))  # of NaN too

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    def test_nan_and_inf_propagate(self, kind):
        function, reference = STACK_FUNCTIONS[kind]
        shape = (4, 2, 2)
        values = np.arange(16, dtype=np.float64).reshape(shape)
        values[1, 0, 0] = np.nan
        values[2, 1, 1] = np.inf
        angles = np.array([np.nan, 0.3, 0.0, np.inf])
        with np.errstate(all="ignore"):
            result = function(values.copy(), angles)
        expected = outcome(reference, values.copy(), angles)
        assert_array_equal(result, expected)
        assert np.isnan(result[0]).all() and np.isnan(result[3]).all()
        assert np.isnan(result[1]).any()


class TestStackRotationAliasingAndDtypes:
    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    @pytest.mark.parametrize(
        "select_angles",
        [lambda a: a[:, 0, 0], lambda a: a[:, -1, 1], lambda a: a[::-1, 0, 1],
         lambda a: a.reshape(-1)[: a.shape[0]]],
        ids=["first-x", "last-y", "reversed", "flat-prefix"],
    )
    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_angles_viewing_the_rotated_array(self, kind, select_angles, dtype):
        # the angles are read before anything is stored into the array they live in
        function, reference = STACK_FUNCTIONS[kind]
        shape = (5, 3, 2) if kind == "points" else (5, 2, 2)
        values = np.random.default_rng(11).uniform(-3, 3, shape).astype(dtype)
        array = values.copy()
        angles = select_angles(array)
        assert np.shares_memory(angles, array)
        expected = reference(values.copy(), select_angles(values).copy())
        assert function(array, angles) is array
        assert_array_equal(array, expected)

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    @pytest.mark.parametrize(
        "array_dtype, angle_dtype, works",
        [
            (np.float32, np.float32, True),
            (np.float64, np.float32, True),
            (np.float64, np.int64, True),
            (np.float64, np.float16, True),
            (np.float32, np.int8, True),      # small integers take cos/sin in float16
            (np.float64, np.int16, True),     # ... and in float32
            (np.float16, np.float16, True),
            (np.complex128, np.float64, True),
            (np.complex128, np.complex128, True),
            (np.longdouble, np.float64, True),
            (np.float32, np.float64, False),
            (np.float32, np.int32, False),    # int32 angles give float64 matrices
            (np.float16, np.float32, False),
            (np.float64, np.complex128, False),
            (np.int64, np.float64, False),
            (np.int32, np.float32, False),
            (np.int64, np.int64, False),
            (np.bool_, np.float64, False),
        ],
    )
    def test_dtype_combinations_follow_numpy_casting(self, kind, array_dtype, angle_dtype, works):
        function, reference = STACK_FUNCTIONS[kind]
        shape = (3, 2, 2)
        values = np.arange(1, 13).reshape(shape).astype(array_dtype)
        angles = np.array([0, 1, 2]).astype(angle_dtype)
        expected = outcome(reference, values.copy(), angles)
        array = values.copy()
        if works:
            assert not isinstance(expected, type)
            result = function(array, angles)
            assert result is array and result.dtype == array_dtype
            assert_array_equal(result, expected)
        else:
            assert expected is TypeError  # what NumPy itself does with these dtypes
            with pytest.raises(TypeError):
                function(array, angles)
            assert_array_equal(array, values)

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    @pytest.mark.parametrize(
        "variant", ["big-endian-array", "big-endian-angles", "unaligned-array", "unaligned-angles"]
    )
    def test_byte_order_and_alignment(self, kind, dtype, variant):
        function, reference = STACK_FUNCTIONS[kind]
        shape = (9, 3, 2) if kind == "points" else (9, 2, 2)
        rng = np.random.default_rng(13)
        values = rng.uniform(-50, 50, shape).astype(dtype)
        angle_values = rng.uniform(-7, 7, 9).astype(dtype)

        def convert(array):
            if variant.startswith("big-endian"):
                return array.astype(np.dtype(dtype).newbyteorder(">"))
            buffer = bytearray(array.nbytes + 1)
            unaligned = np.frombuffer(buffer, array.dtype, array.size, offset=1).reshape(array.shape)
            unaligned[...] = array
            assert not unaligned.flags.aligned and unaligned.flags.writeable
            return unaligned

        on_array = variant.endswith("array")
        array, reference_array = (convert(values), convert(values)) if on_array else (values.copy(), values.copy())
        angles = convert(angle_values) if not on_array else angle_values
        expected = reference(reference_array, angles)
        assert function(array, angles) is array
        assert array.dtype == expected.dtype
        assert_array_equal(array, expected)

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    def test_angle_arrays_that_override_ufuncs(self, kind):
        # e.g. angles that carry a unit: cos and sin are taken through the array's own override
        class Degrees(np.ndarray):
            def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
                inputs = [np.asarray(x) for x in inputs]
                if ufunc in (np.cos, np.sin):
                    inputs = [np.deg2rad(x) for x in inputs]
                return getattr(ufunc, method)(*inputs, **kwargs)

        function, reference = STACK_FUNCTIONS[kind]
        shape = (4, 3, 2) if kind == "points" else (4, 2, 2)
        values = np.random.default_rng(14).uniform(-5, 5, shape)
        degrees = np.array([0.0, 30.0, 90.0, -135.0])
        result = function(values.copy(), degrees.view(Degrees))
        assert_array_equal(result, reference(values.copy(), np.deg2rad(degrees)))

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    @pytest.mark.parametrize("make_read_only", ["flag", "broadcast"])
    def test_read_only_array_is_refused_by_numpy(self, kind, make_read_only):
        function, reference = STACK_FUNCTIONS[kind]
        shape = (3, 2, 2)
        values = np.random.default_rng(5).uniform(-1, 1, shape)
        if make_read_only == "flag":
            array = values.copy()
            array.flags.writeable = False
        else:
            array = np.broadcast_to(values[:1], shape)
        before = array.copy()
        angles = np.array([0.1, 0.2, 0.3])
        assert outcome(reference, array, angles) is ValueError
        with pytest.raises(ValueError):
            function(array, angles)
        assert_array_equal(array, before)

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    def test_read_only_angles_are_fine(self, kind):
        function, reference = STACK_FUNCTIONS[kind]
        values = np.random.default_rng(6).uniform(-1, 1, (3, 2, 2))
        angles = np.array([0.1, 0.2, 0.3])
        angles.flags.writeable = False
        assert_array_equal(function(values.copy(), angles), reference(values.copy(), angles))

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    @pytest.mark.parametrize("which", ["array", "angles", "both"])
    def test_object_arrays_behave_as_numpy_does(self, kind, which):
        function, reference = STACK_FUNCTIONS[kind]
        values = np.random.default_rng(12).uniform(-1, 1, (2, 2, 2))
        angles = np.array([0.5, -1.0])
        if which in ("array", "both"):
            values = values.astype(object)
        if which in ("angles", "both"):
            angles = angles.astype(object)
        expected = outcome(reference, values.copy(), angles)
        array = values.copy()
        if isinstance(expected, type):
            with pytest.raises(expected):
                function(array, angles)
        else:
            result = function(array, angles)
            assert result is array
            assert_array_equal(result, expected)


class TestStackRotationBadInputs:
    @pytest.mark.parametrize(
        "shape, angle_shape",
        [
            ((2, 3, 3), (2,)),      # state dimensionality 3
            ((2, 3, 1), (2,)),      # state dimensionality 1
            ((2, 3, 2), (3,)),      # one angle too many
            ((2, 3, 2), (1,)),      # one angle too few
            ((2, 3, 2), (2, 1)),    # angles with an extra axis
            ((2, 3, 2), ()),        # a single 0-d angle
            ((0, 3, 2), (1,)),
            ((2, 3, 2, 1), (2,)),   # points with an extra axis
        ],
    )
    def test_points_shape_mismatch_asserts(self, shape, angle_shape):
        points = np.ones(shape)
        with pytest.raises(AssertionError) as excinfo:
            sk.rot_points_multi_rads(points, np.full(angle_shape, 0.5))
        assert str(excinfo.value) == ""
        assert_array_equal(points, np.ones(shape))

    @pytest.mark.parametrize(
        "shape, angle_shape",
        [
            ((2, 3, 3), (2,)),      # 3 x 3 matrices
            ((1, 1, 1), (1,)),      # 1 x 1 matrices
            ((2, 2, 3), (2,)),      # not square
            ((2, 2, 2, 1), (2,)),
            ((2, 2), (2,)),
            ((2, 2, 2), (3,)),
            ((2, 2, 2), (2, 1)),
            ((2, 2, 2), ()),
        ],
    )
    def test_matrices_shape_mismatch_asserts(self, shape, angle_shape):
        matrices = np.ones(shape)
        with pytest.raises(AssertionError) as excinfo:
            sk.rot_mats_multi_rads(matrices, np.full(angle_shape, 0.5))
        assert str(excinfo.value) == ""
        assert_array_equal(matrices, np.ones(shape))

    @pytest.mark.parametrize(
        "kind, shape",
        [("points", (2, 3)), ("points", (2,)), ("points", ()), ("mats", (2,)), ("mats", ())],
    )
    def test_too_few_axes(self, kind, shape):
        # the sizes are read from .shape before the first check
        function, _ = STACK_FUNCTIONS[kind]
        array = np.ones(shape)
        with pytest.raises((AssertionError, IndexError)):
            function(array, np.zeros(2))
        assert_array_equal(array, np.ones(shape))

    GOOD_ARRAY = np.ones((2, 2, 2))  # valid as points and as matrices
    GOOD_ANGLES = np.zeros(2)

    @pytest.mark.parametrize("kind", STACK_FUNCTIONS)
    @pytest.mark.parametrize(
        "array, angles",
        [
            ([[[1.0, 0.0]], [[0.0, 1.0]]], GOOD_ANGLES),
            (GOOD_ARRAY, [0.0, 1.0]),
            (None, GOOD_ANGLES),
            (GOOD_ARRAY, None),
            (1.0, GOOD_ANGLES),
            (GOOD_ARRAY, 0.5),
            (np.float64(1.0), GOOD_ANGLES),
            ("points", GOOD_ANGLES),
            (np.array([[["a", "b"]], [["c", "d"]]]), GOOD_ANGLES),
            (np.ones((2, 2, 2)), np.array(["a", "b"])),
            (np.ones((2, 2, 2)), np.array([b"a", b"b"])),
        ],
        ids=["list-array", "list-angles", "none-array", "none-angles", "float-array",
             "float-angles", "numpy-scalar", "str", "str-array", "str-angles", "bytes-angles"],
    )
    def test_unusable_inputs_raise(self, kind, array, angles):
        function, _ = STACK_FUNCTIONS[kind]
        snapshot = array.copy() if isinstance(array, np.ndarray) else None
        with pytest.raises(Exception):
            function(array, angles)
        if snapshot is not None:
            assert_array_equal(array, snapshot)

    @pytest.mark.parametrize(
        "function, args, kwargs, message",
        [
            (sk.rot_points_multi_rads, (GOOD_ARRAY,), {},
             "rot_points_multi_rads() takes exactly 2 positional arguments (1 given)"),
            (sk.rot_points_multi_rads, (GOOD_ARRAY, GOOD_ANGLES, GOOD_ANGLES), {},
             "rot_points_multi_rads() takes exactly 2 positional arguments (3 given)"),
            (sk.rot_mats_multi_rads, (), {},
             "rot_mats_multi_rads() takes exactly 2 positional arguments (0 given)"),
            (sk.coordinate_transformation, (), {},
             "coordinate_transformation() takes exactly 1 positional argument (0 given)"),
            (sk.coordinate_transformation, (np.eye(3, 2), np.eye(3, 2)), {},
             "coordinate_transformation() takes exactly 1 positional argument (2 given)"),
            (sk.rot_points_multi_rads, (GOOD_ARRAY, GOOD_ANGLES), {"foo": 1},
             "rot_points_multi_rads() got an unexpected keyword argument 'foo'"),
            (sk.coordinate_transformation, (), {"points": np.eye(3, 2)},
             "coordinate_transformation() got an unexpected keyword argument 'points'"),
            (sk.rot_points_multi_rads, (GOOD_ARRAY, GOOD_ANGLES), {"points": GOOD_ARRAY},
             "rot_points_multi_rads() got multiple values for keyword argument 'points'"),
            (sk.rot_mats_multi_rads, (GOOD_ARRAY,), {"matrices": GOOD_ARRAY},
             "rot_mats_multi_rads() got multiple values for keyword argument 'matrices'"),
        ],
        ids=["points-1", "points-3", "mats-0", "transform-0", "transform-2", "points-unknown",
             "transform-unknown", "points-twice", "mats-twice"],
    )
    def test_argument_errors(self, function, args, kwargs, message):
        with pytest.raises(TypeError) as excinfo:
            function(*args, **kwargs)
        assert str(excinfo.value) == message


# --------------------------------------------------------------------------------------------
# coordinate_transformation
# --------------------------------------------------------------------------------------------


class TestCoordinateTransformation:
    def test_unit_axes_give_identity_mappings(self):
        to_new, to_canonical = sk.coordinate_transformation(np.array([[1.0, 0.0], [0.0, 0.0], [0.0, 1.0]]))
        points = np.random.default_rng(2).uniform(-10, 10, (6, 2))
        assert_allclose(to_new(points), points, rtol=1e-14, atol=1e-14)
        assert_allclose(to_canonical(points), points, rtol=1e-14, atol=1e-14)

    def test_skewed_system(self):
        to_new, to_canonical = sk.coordinate_transformation(np.array([[2.0, 1.0], [1.0, 1.0], [1.0, 3.0]]))
        new = to_new((2, 3))
        assert new.shape == (2,)
        assert_allclose(new, [1.0, 1.0], rtol=1e-14)
        assert_allclose(to_canonical(new), [2.0, 3.0], rtol=1e-14)
        # p = B + u (A - B) + v (C - B)
        assert_allclose(to_new(np.array([[1.0, 1.0], [3.0, 1.0], [1.0, 2.0]])),
                        [[0.0, 0.0], [2.0, 0.0], [0.0, 0.5]], atol=1e-14)

    def test_returns_a_tuple_of_new_functions(self):
        spanning = np.array([[2.0, 1.0], [1.0, 1.0], [1.0, 3.0]])
        pair = sk.coordinate_transformation(spanning)
        other = sk.coordinate_transformation(spanning)
        assert type(pair) is tuple and len(pair) == 2
        assert all(callable(f) for f in pair)
        assert pair[0] is not other[0] and pair[1] is not other[1]
        assert_allclose(pair[0](a=np.array([2.0, 3.0])), [1.0, 1.0], rtol=1e-14)
        assert_allclose(pair[1](a=np.array([1.0, 1.0])), [2.0, 3.0], rtol=1e-14)

    @pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
    @pytest.mark.parametrize("layout", ["contiguous", "transposed", "strided", "reversed_axes"])
    def test_matches_reference(self, dtype, layout):
        rng = np.random.default_rng(21)
        for _ in range(10):
            spanning, reference_spanning = random_twins(rng, (3, 2), dtype, layout, -50, 50)
            to_new, to_canonical = sk.coordinate_transformation(spanning)
            ref_new, ref_canonical = steps.coordinate_transformation(reference_spanning)
            for shape in [(2,), (0, 2), (1, 2), (7, 2), (200, 2)]:
                points = rng.uniform(-100, 100, shape)
                new = to_new(points)
                assert new.shape == shape
                assert_array_equal(new, ref_new(points))
                canonical = to_canonical(new)
                assert canonical.shape == shape
                assert_array_equal(canonical, ref_canonical(new))
                fortran = np.asfortranarray(points)
                assert_array_equal(to_canonical(fortran), ref_canonical(fortran))
            pair = [rng.uniform(-9, 9, 2), rng.uniform(-9, 9, 2)]
            assert_array_equal(to_new(pair), ref_new(pair))

    def test_round_trip(self):
        rng = np.random.default_rng(22)
        for _ in range(50):
            spanning = rng.uniform(-10, 10, (3, 2))
            to_new, to_canonical = sk.coordinate_transformation(spanning)
            points = rng.uniform(-10, 10, (5, 2))
            assert_allclose(to_canonical(to_new(points)), points, rtol=1e-7, atol=1e-7)
            u, v = to_new(points).T
            a, b, c = spanning
            assert_allclose(b + np.outer(u, a - b) + np.outer(v, c - b), points, rtol=1e-7, atol=1e-7)

    @pytest.mark.parametrize(
        "spanning, point, projection",
        [
            ([[2.0, 2.0], [0.0, 0.0], [1.0, 1.0]], [1.0, 0.0], [0.5, 0.5]),
            ([[0.0, 3.0], [0.0, 1.0], [0.0, -2.0]], [4.0, 5.0], [0.0, 5.0]),
            ([[1.0, 1.0], [1.0, 1.0], [1.0, 1.0]], [4.0, 5.0], [1.0, 1.0]),
        ],
        ids=["diagonal", "vertical", "single-point"],
    )
    def test_collinear_points_use_the_pseudo_inverse(self, spanning, point, projection):
        to_new, to_canonical = sk.coordinate_transformation(np.array(spanning))
        assert_allclose(to_canonical(to_new(np.array(point))), projection, atol=1e-12)
        ref_new, _ = steps.coordinate_transformation(np.array(spanning))
        assert_array_equal(to_new(np.array(point)), ref_new(np.array(point)))

    def test_row_b_is_shared_but_the_matrices_are_not(self):
        spanning = np.array([[2.0, 1.0], [1.0, 1.0], [1.0, 3.0]])
        to_new, to_canonical = sk.coordinate_transformation(spanning)
        unchanged_new, unchanged_canonical = steps.coordinate_transformation(spanning.copy())
        point = np.array([[2.0, 3.0], [5.0, -1.0]])

        spanning[0] = [40.0, -7.0]   # A and C were only read once
        spanning[2] = [0.5, 0.5]
        assert_array_equal(to_new(point), unchanged_new(point))
        assert_array_equal(to_canonical(point), unchanged_canonical(point))

        spanning[1] += [10.0, -20.0]  # B is the live origin of both functions
        shift = np.array([10.0, -20.0])
        assert_array_equal(to_new(point), unchanged_new(point - shift))
        assert_array_equal(to_canonical(point), unchanged_canonical(point) + shift)

    @pytest.mark.parametrize("shape", [(4, 2), (3, 3), (2, 2), (3, 2, 1), (5, 2)])
    def test_wrong_number_of_points_asserts_without_message(self, shape):
        with pytest.raises(AssertionError) as excinfo:
            sk.coordinate_transformation(np.ones(shape))
        assert str(excinfo.value) == ""

    @pytest.mark.parametrize("shape", [(4, 3), (2, 1), (1, 0)])
    def test_other_dimensionality_asserts_with_message(self, shape):
        with pytest.raises(AssertionError) as excinfo:
            sk.coordinate_transformation(np.ones(shape))
        assert str(excinfo.value) == (
            "The dimensionality of the points has to be two, otherwise slightly adapt and test."
        )

    @pytest.mark.parametrize("shape", [(3,), ()])
    def test_missing_second_axis_is_an_index_error(self, shape):
        with pytest.raises(IndexError):
            sk.coordinate_transformation(np.ones(shape))

    @pytest.mark.parametrize("spanning", [None, [[1.0, 0.0], [0.0, 0.0], [0.0, 1.0]], 3.0, "abc"])
    def test_non_arrays_raise(self, spanning):
        with pytest.raises(Exception):
            sk.coordinate_transformation(spanning)

    def test_returned_functions_raise_numpy_errors_for_bad_shapes(self):
        to_new, to_canonical = sk.coordinate_transformation(np.array([[1.0, 0.0], [0.0, 0.0], [0.0, 1.0]]))
        with pytest.raises(ValueError):
            to_new(np.zeros(3))
        with pytest.raises(ValueError):
            to_canonical(np.zeros((4, 3)))
        with pytest.raises((AttributeError, TypeError)):
            to_canonical([np.zeros(2), np.zeros(2)])
        with pytest.raises(TypeError):
            to_new()
        with pytest.raises(TypeError):
            to_canonical(np.zeros(2), np.zeros(2))


# --------------------------------------------------------------------------------------------
# Reference counts and memory over many calls
# --------------------------------------------------------------------------------------------


ENTRY_POINTS = [
    sk.rot_points_multi_rads, sk.rot_mats_multi_rads, sk.get_rotation_matrix_2d,
    sk.coordinate_transformation,
]


def test_repeated_calls_keep_reference_counts_and_memory_stable(memory_growth):
    points = np.ones((4, 3, 2))
    angles = np.linspace(0.0, 1.0, 4)
    matrices = np.tile(np.eye(2), (4, 1, 1))
    spanning = np.array([[2.0, 1.0], [1.0, 1.0], [1.0, 3.0]])
    point = np.array([2.0, 3.0])
    point_list = [point, point]
    bad_points = np.ones((4, 3, 3))
    bad_matrices = np.ones((4, 3, 3))
    float32_points = np.ones((4, 3, 2), dtype=np.float32)
    read_only = np.ones((4, 3, 2))
    read_only.flags.writeable = False
    degrees = float("37.5")
    text = "37.5"
    inputs = [points, angles, matrices, spanning, point, point_list, bad_points, bad_matrices,
              float32_points, read_only, degrees, text]

    failing = [
        lambda: sk.rot_points_multi_rads(bad_points, angles),
        lambda: sk.rot_points_multi_rads(float32_points, angles),
        lambda: sk.rot_points_multi_rads(read_only, angles),
        lambda: sk.rot_points_multi_rads(points, point_list),
        lambda: sk.rot_points_multi_rads(points),
        lambda: sk.rot_points_multi_rads(points, angles, points=points),
        lambda: sk.rot_mats_multi_rads(bad_matrices, angles),
        lambda: sk.rot_mats_multi_rads(matrices, angles[:2]),
        lambda: sk.get_rotation_matrix_2d(angle_in_deg=text),
        lambda: sk.get_rotation_matrix_2d(angle_in_rad=point_list),
        lambda: sk.get_rotation_matrix_2d(),
        lambda: sk.get_rotation_matrix_2d(angle_in_deg=degrees, angle_in_rad=degrees),
        lambda: sk.get_rotation_matrix_2d(degrees),
        lambda: sk.get_rotation_matrix_2d(angle_in_deg=degrees, x=degrees),
        lambda: sk.coordinate_transformation(bad_points[0]),
        lambda: sk.coordinate_transformation(angles),
        lambda: sk.coordinate_transformation(point_list),
    ]

    def run_once():
        sk.rot_points_multi_rads(points, angles)
        sk.rot_mats_multi_rads(matrices, angles)
        sk.get_rotation_matrix_2d(angle_in_deg=degrees)
        sk.get_rotation_matrix_2d(angle_in_rad=np.float32(0.5))
        sk.get_rotation_matrix_2d(angle_in_deg=7)
        to_new, to_canonical = sk.coordinate_transformation(spanning)
        to_canonical(to_new(point))
        to_new(point_list)
        for call in failing:
            try:
                call()
            except Exception:  # noqa: BLE001 - failures are part of the workload
                pass

    for _ in range(300):
        run_once()
    gc.collect()
    counts_before = [sys.getrefcount(obj) for obj in inputs]
    function_counts_before = [sys.getrefcount(f) for f in ENTRY_POINTS]

    rss_growth = memory_growth(run_once, 3, 1500, resident=True)
    traced_growth = memory_growth(run_once, 4, 500)

    assert [sys.getrefcount(obj) for obj in inputs] == counts_before
    assert [sys.getrefcount(f) for f in ENTRY_POINTS] == function_counts_before
    # some 12 000 calls per interval: one small object kept per call of one kind shows up
    assert min(traced_growth) < 8 * 1024, traced_growth
    assert min(rss_growth) < 1024 * 1024, rss_growth
