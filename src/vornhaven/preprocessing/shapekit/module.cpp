// The shapekit module file: its state, its initialisation and the namespace in source order.
// (vornhaven.preprocessing.shapekit: plane geometry of rotated boxes and keypoints.)
#include "vornhaven/preprocessing/shapekit/shapekit.hpp"

namespace vh::shapekit {

State state;

// ---------------------------------------------------------------------------------------------
// The module

static void define_box_reconstruction(ModuleContext& m) {
    Ref bases = check(PyTuple_Pack(1, global(m.globals(), check(PyUnicode_FromString("Enum")).get())));
    ClassBuilder cls(m, "BoxReconstruction", bases.get(), ".");
    const char* members[] = {"MIN", "AVG", "MAX"};
    for (int i = 0; i < 3; ++i) cls.value(members[i], py_int(i).get());
    Ref built = cls.build();
    m.set("BoxReconstruction", built.get());
    state.box_reconstruction = built.release();
}

// The dtypes NumPy gives np.arange(n).astype(str) and np.array(["center", "top", "right"]).
static void prepare_lookup_dtypes(PyObject* numpy) {
    Ref one = py_int(1);
    Ref range = check(PyObject_CallMethod(numpy, "arange", "O", one.get()));
    Ref strings = check(PyObject_CallMethod(range.get(), "astype", "O", reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    Ref names = check(Py_BuildValue("[sss]", "center", "top", "right"));
    Ref name_array = check(PyObject_CallMethod(numpy, "array", "O", names.get()));
    const std::pair<PyObject*, PyArray_Descr**> found[2] = {{strings.get(), &state.instance_descr},
                                                            {name_array.get(), &state.position_descr}};
    for (const auto& [array, descr] : found) {
        if (PyArray_Check(array) && PyArray_TYPE(np::as_array(array)) == NPY_UNICODE) {
            *descr = PyArray_DESCR(np::as_array(array));
            Py_INCREF(*descr);
        }
    }
}

// The loop np.linalg.svd(a, full_matrices=False) runs for a float64 2 x 2 matrix: svd_s on
// NumPy 2, svd_n_s (m >= n) on NumPy 1.26; empty when neither is found.
static np::GufuncLoop svd_loop() {
    Ref loops = Ref::steal(PyImport_ImportModule("numpy.linalg._umath_linalg"));
    if (!loops) {
        PyErr_Clear();
        return {};
    }
    for (const char* name : {"svd_s", "svd_n_s"}) {
        Ref svd = Ref::steal(PyObject_GetAttrString(loops.get(), name));
        if (!svd) {
            PyErr_Clear();
            continue;
        }
        return np::gufunc_loop(svd.get(), 1, {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE});
    }
    return {};
}

void exec_shapekit(ModuleContext& m) {
    state.globals = m.globals();
    state.natives.name({"np", "get_angles_from_points", "parallelogram_to_box", "get_corner_points_from_box_tuples",
                        "rot_points_multi_rads", "cast", "Any", "intersect", "coordinate_transformation"});

    m.import_from("typing", {"Any", "cast"});
    m.import_from("collections.abc", {"Callable"});
    m.import_from("enum", {"Enum"});
    Ref numpy = m.import_as("numpy", "np");
    {
        Ref cos = attr(numpy.get(), "cos"), sin = attr(numpy.get(), "sin");
        state.cos64 = np::unary_loop(cos.get(), NPY_DOUBLE);
        state.sin64 = np::unary_loop(sin.get(), NPY_DOUBLE);
        state.cos32 = np::unary_loop(cos.get(), NPY_FLOAT);
        state.sin32 = np::unary_loop(sin.get(), NPY_FLOAT);
        Ref arctan2 = attr(numpy.get(), "arctan2");
        state.atan2_64 = np::binary_loop(arctan2.get(), NPY_DOUBLE);
        state.atan2_32 = np::binary_loop(arctan2.get(), NPY_FLOAT);
        Ref matmul = attr(numpy.get(), "matmul");
        state.matmul64 = np::gufunc_loop(matmul.get(), 2, {NPY_DOUBLE, NPY_DOUBLE, NPY_DOUBLE});
        state.svd64 = svd_loop();
    }
    state.box_reconstruction_name = check(PyUnicode_InternFromString("BoxReconstruction")).release();
    state.natives.record(m.globals(), kNpGlobal);
    state.natives.record(m.globals(), kCastGlobal);
    state.natives.record(m.globals(), kAnyGlobal, false);
    prepare_lookup_dtypes(numpy.get());

    auto keep = [&](Global function, Ref) { state.natives.record(m.globals(), function); };
    m.define(get_rotation_matrix_2d_def);
    keep(kCoordinateTransformationFn, m.define(coordinate_transformation_def));
    keep(kIntersectFn, m.define(intersect_def));
    m.define(clipper_def);
    keep(kAnglesFn, m.define(get_angles_from_points_def));
    define_box_reconstruction(m);
    keep(kParallelogramFn, m.define(parallelogram_to_box_def));
    keep(kCornersFn, m.define(get_corner_points_from_box_tuples_def));
    m.define(rot_mats_multi_rads_def);
    keep(kRotPointsFn, m.define(rot_points_multi_rads_def));
    m.define(get_box_and_rotation_from_parallelogram_keypoints_def);
    m.define(assemble_keypoints_after_shuffle_def);
    m.define(vexl_to_keypoints_def);
    m.define(keypoints_trivial_lookup_def);
    m.define(vexl_to_box_corners_def);
    m.define(box_corners_to_vexl_def);
    m.define(keypoints_to_vexl_def);
    m.define(keypoints_to_box_corners_def);
    m.define(inference_boxes_to_corners_def);
    m.define(surrounding_rectangle_from_corners_def);
    m.define(intersections_def);

    calibrate();
    prepare_overlap(numpy.get());
}

const ModuleSpec shapekit_spec{
    "shapekit",
    "vornhaven.preprocessing.shapekit",
    "Contains keypoint utilities.",
    "<vornhaven.preprocessing.shapekit>",
    exec_shapekit,
};

}  // namespace vh::shapekit

PyMODINIT_FUNC PyInit_shapekit() {
    return vh::module_init(vh::shapekit::shapekit_spec);
}
