"""The entry points of the six extension modules, each with one small valid call and invalid ones.

An entry point is a module-level function or class of a module, or a function, static method,
class method or property in the namespace of one of its classes; ``entry_points()`` returns the
table, ``public_names()`` what the modules define, so a test can tell when the table misses one.
The invalid calls go through the error paths: wrong types and shapes, missing or extra arguments,
NaN, and objects whose conversion callbacks raise. Inputs are tiny so that many calls are fast.
"""

from __future__ import annotations

import enum
import importlib
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

TRANSFORMS = "vornhaven.preprocessing.augmentations.transform"
MODULES = ("vornhaven.preprocessing.shapekit", *(f"{TRANSFORMS}.{name}" for name in (
    "fracwindow", "fracborder", "fracmiddle", "bandmixer", "pickweighted")))


@dataclass
class Call:
    """``function(*args, **kwargs)``; the arguments stay alive with the table."""

    function: Callable[..., Any]
    args: tuple[Any, ...] = ()
    kwargs: dict[str, Any] = field(default_factory=dict)

    def __call__(self) -> Any:
        return self.function(*self.args, **self.kwargs)


def call(function: Callable[..., Any], *args: Any, **kwargs: Any) -> Call:
    return Call(function, args, kwargs)


@dataclass
class EntryPoint:
    module: str  # short name, e.g. "fracwindow"
    name: str  # "intersect", "MeshCrop.apply", "coordinate_transformation.<to_new>"
    valid: Call
    invalid: list[Call]


class Hostile:
    """Every conversion and comparison callback raises."""

    def _raise(self, *args: Any, **kwargs: Any) -> Any:
        raise RuntimeError("hostile callback")

    __float__ = __int__ = __index__ = __bool__ = __len__ = __iter__ = __array__ = _raise
    __eq__ = __lt__ = __gt__ = __getitem__ = _raise
    __hash__ = object.__hash__


class HostileDict(dict):
    """A dict subclass (refused where a dict is required) whose lookups raise should it get through."""

    def __getitem__(self, key: Any) -> Any:
        raise RuntimeError("hostile lookup")


def _getter(cls: type, name: str) -> Callable[[Any], Any]:
    return vars(cls)[name].fget


def entry_points() -> list[EntryPoint]:
    """The table: one row per entry point, with inputs made afresh."""
    from vornhaven.preprocessing import shapekit as sk
    from vornhaven.preprocessing.augmentations.transform import (
        bandmixer, fracborder, fracmiddle, fracwindow, pickweighted)
    import albumentations as A

    hostile, nan = Hostile(), float("nan")
    table: list[EntryPoint] = []

    def add(module: str, name: str, valid: Call, *invalid: Call) -> None:
        table.append(EntryPoint(module, name, valid, list(invalid)))

    # --- shapekit -----------------------------------------------------------------------------
    points, angles = np.ones((2, 3, 2)), np.array([0.5, -1.0])
    matrices = np.tile(np.eye(2), (2, 1, 1))
    spanning = np.array([[2.0, 1.0], [1.0, 1.0], [1.0, 3.0]])
    point, pair = np.array([2.0, 3.0]), np.array([[2.0, 3.0], [0.0, 1.0]])
    to_new, to_canonical = sk.coordinate_transformation(spanning)
    square = np.array([[0.0, 0.0], [4.0, 0.0], [4.0, 3.0], [0.0, 3.0]])
    vexl = np.array([[5.0, 4.0, 4.0, 2.0, 0.3], [2.0, 2.0, 1.0, 3.0, -0.2]])
    keypoints = sk.vexl_to_keypoints(vexl)
    grouped = keypoints.reshape((2, 3, 2))
    corners = sk.vexl_to_box_corners(vexl)
    vexl32 = vexl.astype(np.float32)
    inference_corners, distances = sk.inference_boxes_to_corners(vexl32)
    flat, longer = np.array([[5.0, 0.0], [1.0, 0.0], [4.0, 0.0], [1.0, 0.0]]), np.array([0, 2])
    box_tuples = np.array([[[0.0, 1.0], [2.0, 0.0]]])
    instances, positions = sk.keypoints_trivial_lookup(len(keypoints))
    shuffled = (list(keypoints[::-1]), list(instances[::-1]), list(positions[::-1]))
    wrong, floats32, text = np.zeros((2, 4)), np.ones((2, 3, 2), np.float32), "x"
    read_only = grouped.copy()
    read_only.flags.writeable = False
    mode = sk.BoxReconstruction.AVG

    add("shapekit", "get_rotation_matrix_2d", call(sk.get_rotation_matrix_2d, angle_in_deg=30.0),
        call(sk.get_rotation_matrix_2d), call(sk.get_rotation_matrix_2d, 30.0),
        call(sk.get_rotation_matrix_2d, angle_in_rad=text), call(sk.get_rotation_matrix_2d, angle_in_rad=hostile),
        call(sk.get_rotation_matrix_2d, angle_in_deg=1.0, angle_in_rad=nan))
    add("shapekit", "coordinate_transformation", call(sk.coordinate_transformation, spanning),
        call(sk.coordinate_transformation, wrong), call(sk.coordinate_transformation, angles),
        call(sk.coordinate_transformation, hostile), call(sk.coordinate_transformation))
    add("shapekit", "coordinate_transformation.<to_new>", call(to_new, [point, point]),
        call(to_new, wrong), call(to_new, hostile), call(to_new, text), call(to_new))
    add("shapekit", "coordinate_transformation.<to_canonical>", call(to_canonical, pair),
        call(to_canonical, [point]), call(to_canonical, wrong), call(to_canonical, hostile))
    add("shapekit", "rot_mats_multi_rads", call(sk.rot_mats_multi_rads, matrices, angles),
        call(sk.rot_mats_multi_rads, points, angles), call(sk.rot_mats_multi_rads, matrices, angles[:1]),
        call(sk.rot_mats_multi_rads, matrices, hostile), call(sk.rot_mats_multi_rads, matrices))
    add("shapekit", "rot_points_multi_rads", call(sk.rot_points_multi_rads, points, angles),
        call(sk.rot_points_multi_rads, floats32, angles), call(sk.rot_points_multi_rads, wrong, angles),
        call(sk.rot_points_multi_rads, points, [0.5, 1.0]), call(sk.rot_points_multi_rads, hostile, angles),
        call(sk.rot_points_multi_rads, read_only, angles))
    add("shapekit", "get_angles_from_points", call(sk.get_angles_from_points, pair),
        call(sk.get_angles_from_points, text), call(sk.get_angles_from_points, hostile),
        call(sk.get_angles_from_points))
    add("shapekit", "parallelogram_to_box", call(lambda f, *a: sk.parallelogram_to_box(f.copy(), *a),
                                                  flat, longer, mode),
        call(sk.parallelogram_to_box, flat, longer, hostile), call(sk.parallelogram_to_box, flat, wrong, mode),
        call(sk.parallelogram_to_box, wrong, longer, mode), call(sk.parallelogram_to_box, flat, longer))
    add("shapekit", "get_corner_points_from_box_tuples", call(sk.get_corner_points_from_box_tuples, box_tuples),
        call(sk.get_corner_points_from_box_tuples, wrong), call(sk.get_corner_points_from_box_tuples, hostile))
    add("shapekit", "get_box_and_rotation_from_parallelogram_keypoints",
        call(sk.get_box_and_rotation_from_parallelogram_keypoints, grouped, box_reconstruction_mode=mode),
        call(sk.get_box_and_rotation_from_parallelogram_keypoints, wrong),
        call(sk.get_box_and_rotation_from_parallelogram_keypoints, grouped, box_reconstruction_mode=hostile),
        call(sk.get_box_and_rotation_from_parallelogram_keypoints, grouped, visualize=hostile))
    add("shapekit", "intersect", call(sk.intersect, square[0], square[2], square[1], square[3]),
        call(sk.intersect, square[0], square[1], square[3], square[2]),
        call(sk.intersect, square[0], square[2], square[1], hostile), call(sk.intersect, point, point, point))
    add("shapekit", "clipper", call(sk.clipper, square - 1.0, (3, 3)),
        call(sk.clipper, square, (3, 3), hostile), call(sk.clipper, wrong, (3, 3)),
        call(sk.clipper, square, hostile), call(sk.clipper, np.full((4, 2), nan), (3, 3)))
    add("shapekit", "intersections", call(sk.intersections, inference_corners, distances, inference_corners, distances),
        call(sk.intersections, inference_corners, wrong, inference_corners, distances),
        call(sk.intersections, hostile, distances, inference_corners, distances),
        call(sk.intersections, inference_corners, distances))
    add("shapekit", "surrounding_rectangle_from_corners", call(sk.surrounding_rectangle_from_corners, corners),
        call(sk.surrounding_rectangle_from_corners, points), call(sk.surrounding_rectangle_from_corners, hostile))
    add("shapekit", "assemble_keypoints_after_shuffle",
        call(sk.assemble_keypoints_after_shuffle, *shuffled, boxes=vexl),
        call(sk.assemble_keypoints_after_shuffle, *shuffled, boxes=vexl[:1]),
        call(sk.assemble_keypoints_after_shuffle, shuffled[0], [int(i) for i in instances], shuffled[2]),
        call(sk.assemble_keypoints_after_shuffle, [hostile] * 6, *shuffled[1:]),
        call(sk.assemble_keypoints_after_shuffle, *shuffled, boxes=hostile),
        call(sk.assemble_keypoints_after_shuffle, tuple(shuffled[0]), *shuffled[1:]))
    add("shapekit", "vexl_to_keypoints", call(sk.vexl_to_keypoints, vexl),
        call(sk.vexl_to_keypoints, wrong), call(sk.vexl_to_keypoints, hostile))
    add("shapekit", "keypoints_trivial_lookup", call(sk.keypoints_trivial_lookup, 6),
        call(sk.keypoints_trivial_lookup, 4), call(sk.keypoints_trivial_lookup, hostile),
        call(sk.keypoints_trivial_lookup, text))
    add("shapekit", "vexl_to_box_corners", call(sk.vexl_to_box_corners, vexl),
        call(sk.vexl_to_box_corners, wrong), call(sk.vexl_to_box_corners, hostile))
    add("shapekit", "box_corners_to_vexl", call(sk.box_corners_to_vexl, corners, vexl[:, 4]),
        call(sk.box_corners_to_vexl, corners.astype(np.float32), vexl[:, 4]),
        call(sk.box_corners_to_vexl, corners, hostile), call(sk.box_corners_to_vexl, wrong, vexl[:, 4]))
    add("shapekit", "keypoints_to_vexl", call(lambda k: sk.keypoints_to_vexl(k.copy()), grouped),
        call(sk.keypoints_to_vexl, wrong), call(sk.keypoints_to_vexl, hostile), call(sk.keypoints_to_vexl, read_only))
    add("shapekit", "keypoints_to_box_corners", call(sk.keypoints_to_box_corners, grouped),
        call(sk.keypoints_to_box_corners, wrong), call(sk.keypoints_to_box_corners, hostile))
    add("shapekit", "inference_boxes_to_corners", call(sk.inference_boxes_to_corners, vexl32, 2),
        call(sk.inference_boxes_to_corners, vexl), call(sk.inference_boxes_to_corners, vexl32, text),
        call(sk.inference_boxes_to_corners, wrong), call(sk.inference_boxes_to_corners, vexl32, hostile))
    add("shapekit", "BoxReconstruction", call(sk.BoxReconstruction, 2), call(sk.BoxReconstruction, 7))

    # --- transforms ---------------------------------------------------------------------------
    image, mask = np.arange(48, dtype=np.uint8).reshape((4, 4, 3)), np.zeros((4, 4), np.uint8)
    bbox, keypoint, kp_list = (0.1, 0.2, 0.6, 0.7), (1.0, 2.0, 0.0, 1.0), [(1.0, 2.0, 0.0, 1.0)]
    wrong_size, bbox_list, params_subclass = {"rows": 3, "cols": 4}, list(bbox), HostileDict(rows=4, cols=4)
    for module, cls, arguments, bad_arguments in (
            ("fracborder", fracborder.FracBorder, (1.5,), [(text,), (hostile,), (1.5, "nowhere"), ()]),
            ("fracmiddle", fracmiddle.FracMiddle, (2.0,), [(text,), (hostile,), (0,), ()])):
        transform, name = cls(*arguments), cls.__name__
        params = transform.update_params({}, image=image)
        check = vars(cls)[f"_{name}__check_after_update"]
        add(module, f"{name}.__init__", call(cls, *arguments), *(call(cls, *bad) for bad in bad_arguments),
            call(cls, *arguments, p=hostile))
        add(module, f"{name}.update_params", call(transform.update_params, {}, image=image),
            call(transform.update_params, params_subclass, image=image), call(transform.update_params, {}),
            call(transform.update_params, {}, image=hostile), call(cls(nan).update_params, {}, image=image))
        add(module, f"{name}._{name}__check_after_update", call(check, transform, **params),
            call(check, transform, **wrong_size), call(check, transform, rows=hostile, cols=4),
            call(check, transform, rows=text))
        add(module, f"{name}.apply", call(transform.apply, image, **params), call(transform.apply, image),
            call(transform.apply, image, **wrong_size), call(transform.apply, hostile, **params))
        add(module, f"{name}.apply_to_bbox", call(transform.apply_to_bbox, bbox, **params),
            call(transform.apply_to_bbox, bbox_list, **params), call(transform.apply_to_bbox, bbox, **wrong_size),
            call(transform.apply_to_bbox, (hostile,) * 4, **params))
        add(module, f"{name}.apply_to_keypoint", call(transform.apply_to_keypoint, keypoint, **params),
            call(transform.apply_to_keypoint, list(keypoint), **params),
            call(transform.apply_to_keypoint, keypoint, **wrong_size),
            call(transform.apply_to_keypoint, (hostile,) * 4, **params))
        add(module, f"{name}.get_transform_init_args_names", call(transform.get_transform_init_args_names),
            call(transform.get_transform_init_args_names, 1))
        add(module, f"{name}.get_class_fullname", call(cls.get_class_fullname), call(cls.get_class_fullname, 1))

    # fracwindow: crop records, FracWindow, MeshCrop
    FracWindow, MeshCrop = fracwindow.FracWindow, fracwindow.MeshCrop
    CropData, CropsData = fracwindow.CropData, fracwindow.CropsData
    layout = [CropData(i, 4, x, x + 0.5, y, y + 0.5, 2, 2) for i, (x, y) in enumerate(
        [(0.0, 0.0), (0.0, 0.5), (0.5, 0.0), (0.5, 0.5)])]
    pixels = [CropData(i, 2, i, 3, 0, 3, 2, 1) for i in range(2)]
    records, pixel_records = CropsData(layout), CropsData(pixels)
    add("fracwindow", "CropData.__init__", call(CropData, 0, 1, 0.0, 1.0, 0.0, 1.0, 1, 1),
        call(CropData, text, 1, 0.0, 1.0, 0.0, 1.0, 1, 1), call(CropData, 0, 1, 0.0, 1.0, 0.0, 1.0, 1),
        call(CropData, 0, hostile, 0.0, 1.0, 0.0, 1.0, 1, 1))
    add("fracwindow", "CropsData.__init__", call(CropsData, layout),
        call(CropsData, []), call(CropsData, [layout[0], pixels[0]]), call(CropsData, tuple(layout)),
        call(CropsData, [hostile]))
    add("fracwindow", "CropsData.__post_init__", call(records.__post_init__), call(records.__post_init__, 1))
    add("fracwindow", "CropsData.__getitem__", call(records.__getitem__, 1),
        call(records.__getitem__, 9), call(records.__getitem__, text), call(records.__getitem__, hostile))
    add("fracwindow", "CropsData.__len__", call(records.__len__), call(records.__len__, 1))
    add("fracwindow", "CropsData.normalize", call(pixel_records.normalize, 6.0, 4.0),
        call(pixel_records.normalize, nan, 4.0), call(pixel_records.normalize, text, 4.0),
        call(pixel_records.normalize, hostile, 4.0))
    add("fracwindow", "CropsData.find_crop", call(records.find_crop, 0.3, 0.6),
        call(records.find_crop, 0.3, text), call(records.find_crop, hostile, 0.6), call(records.find_crop, 0.3))
    add("fracwindow", "CropsData._find", call(CropsData._find, [0.0, 0.5], 0.7),
        call(CropsData._find, (0.0, 0.5), 0.7), call(CropsData._find, [0.0, 0.5], text),
        call(CropsData._find, [hostile], 0.7))

    window = FracWindow(0.25, 0.25, 0.75, 1.0)
    window_params = window.update_params({}, image=image)
    check = vars(FracWindow)["_FracWindow__check_after_update"]
    add("fracwindow", "FracWindow.__init__", call(FracWindow, 0.25, 0.25, 0.75, 1.0),
        call(FracWindow, text), call(FracWindow, hostile), call(FracWindow, 0.5, 0.5, 0.25, 0.25),
        call(FracWindow, nan, nan, nan, nan), call(FracWindow, always_apply=hostile))
    add("fracwindow", "FracWindow.update_params", call(window.update_params, {}, image=image),
        call(window.update_params, params_subclass, image=image), call(window.update_params, {}),
        call(window.update_params, {}, image=hostile))
    add("fracwindow", "FracWindow.update_child", call(window.update_child), call(window.update_child, 1))
    add("fracwindow", "FracWindow._FracWindow__check_after_update", call(check, window, **window_params),
        call(check, window, **wrong_size), call(check, window, rows=hostile, cols=4), call(check, window, rows=text))
    add("fracwindow", "FracWindow.apply", call(window.apply, image, **window_params), call(window.apply, image),
        call(window.apply, image, **wrong_size), call(window.apply, hostile, **window_params))
    add("fracwindow", "FracWindow.apply_to_bbox", call(window.apply_to_bbox, bbox, **window_params),
        call(window.apply_to_bbox, bbox_list, **window_params), call(window.apply_to_bbox, bbox, **wrong_size),
        call(window.apply_to_bbox, (hostile,) * 4, **window_params))
    add("fracwindow", "FracWindow.apply_to_keypoints", call(window.apply_to_keypoints, kp_list, **window_params),
        call(window.apply_to_keypoints, kp_list, **wrong_size),
        call(window.apply_to_keypoints, [(hostile,) * 4], **window_params),
        call(window.apply_to_keypoints, hostile, **window_params))
    add("fracwindow", "FracWindow.get_transform_init_args_names", call(window.get_transform_init_args_names),
        call(window.get_transform_init_args_names, 1))
    add("fracwindow", "FracWindow.get_class_fullname", call(FracWindow.get_class_fullname),
        call(FracWindow.get_class_fullname, 1))

    mesh = MeshCrop(2, 2, 0.5, 0.5, renorm=True)
    mesh_params = mesh.update_params({}, image=image)
    mesh.apply_to_keypoints(kp_list * 3, **mesh_params)
    float_image = image.astype(np.float32)
    add("fracwindow", "MeshCrop.__init__", call(MeshCrop, 2, 2, 0.5, 0.5, extra=1),
        call(MeshCrop, 0, 2, 0.5, 0.5), call(MeshCrop, text, 2, 0.5, 0.5), call(MeshCrop, 2, 2, hostile, 0.5),
        call(MeshCrop, 1, 1, nan, 0.5), call(MeshCrop, 2, 2))
    add("fracwindow", "MeshCrop.update_params", call(mesh.update_params, {}, image=image),
        call(mesh.update_params, params_subclass, image=image), call(mesh.update_params, {}, image=hostile))
    add("fracwindow", "MeshCrop.apply_to_keypoints", call(mesh.apply_to_keypoints, kp_list * 3, **mesh_params),
        call(mesh.apply_to_keypoints, kp_list * 3, rows=text, cols=4),
        call(mesh.apply_to_keypoints, [(hostile,) * 4] * 3, **mesh_params),
        call(mesh.apply_to_keypoints, kp_list * 3, **wrong_size))
    add("fracwindow", "MeshCrop.apply", call(mesh.apply, float_image, **mesh_params),
        call(mesh.apply, float_image), call(mesh.apply, float_image, **wrong_size),
        call(mesh.apply, hostile, **mesh_params))
    add("fracwindow", "MeshCrop.apply_to_mask", call(mesh.apply_to_mask, mask, **mesh_params),
        call(mesh.apply_to_mask, mask), call(mesh.apply_to_mask, hostile, **mesh_params))
    add("fracwindow", "MeshCrop.update_crops", call(mesh.update_crops, records),
        call(mesh.update_crops, records, 1), call(mesh.update_crops))
    add("fracwindow", "MeshCrop.apply_crop", call(mesh.apply_crop, layout[1]),
        call(mesh.apply_crop, hostile), call(mesh.apply_crop))
    for edge in ("x1", "x2", "y1", "y2"):
        add("fracwindow", f"MeshCrop.{edge}", call(getattr(mesh, edge), 1), call(getattr(mesh, edge), 5),
            call(getattr(mesh, edge), text), call(getattr(mesh, edge), hostile))
    add("fracwindow", "MeshCrop.batches_per_index", call(_getter(MeshCrop, "batches_per_index"), mesh),
        call(_getter(MeshCrop, "batches_per_index"), window), call(_getter(MeshCrop, "batches_per_index")))
    add("fracwindow", "MeshCrop.get_transform_init_args_names", call(mesh.get_transform_init_args_names),
        call(mesh.get_transform_init_args_names, 1))
    add("fracwindow", "MeshCrop.get_class_fullname", call(MeshCrop.get_class_fullname),
        call(MeshCrop.get_class_fullname, 1))

    # bandmixer
    BandMixer = bandmixer.BandMixer
    structured = np.zeros((2, 3), [("red", "u1"), ("green", "u1"), ("blue", "f4"), ("text", "U2")])
    structured["red"], structured["blue"] = 7, np.arange(6).reshape(2, 3)

    def channel(name: Any, **operations: Any) -> dict[str, Any]:
        configuration: dict[str, Any] = {"channel_type": {"selection": name}}
        if operations:
            configuration["enable_operations"] = {"operations": operations}
        return {"channel": configuration}

    channels = [channel("red", selection="normalize"), channel("gray"),
                channel("blue", selection="absolute_cap", min=-1, max=4)]
    mixer = BandMixer(channels, False, 1.0)
    mixers_failing = [BandMixer(bad, False, 1.0) for bad in (
        [channel("violet")], [channel("red", selection="bogus")], [channel(hostile)],
        [channel("blue", selection="absolute_cap", min=text, max=1)], [channel("red", selection=hostile)],
        [channel("text")], [hostile])]
    add("bandmixer", "BandMixer.__init__", call(BandMixer, channels, False, 1.0),
        call(BandMixer, tuple(channels), False, 1.0), call(BandMixer, channels, hostile, 1.0),
        call(BandMixer, channels, False, text), call(BandMixer, channels))
    add("bandmixer", "BandMixer.apply", call(lambda img: mixer.apply(img.copy()), structured),
        *(call(m.apply, structured) for m in mixers_failing), call(mixer.apply, hostile))
    add("bandmixer", "BandMixer.retrieve_channel", call(BandMixer.retrieve_channel, "gray", structured),
        call(BandMixer.retrieve_channel, "violet", structured), call(BandMixer.retrieve_channel, None, structured),
        call(BandMixer.retrieve_channel, "red", hostile), call(BandMixer.retrieve_channel, "red", image))
    add("bandmixer", "BandMixer.apply_to_bbox", call(mixer.apply_to_bbox, bbox, rows=4),
        call(mixer.apply_to_bbox, bbox_list), call(mixer.apply_to_bbox))
    add("bandmixer", "BandMixer.apply_to_keypoint", call(mixer.apply_to_keypoint, keypoint, cols=4),
        call(mixer.apply_to_keypoint, list(keypoint)), call(mixer.apply_to_keypoint))
    add("bandmixer", "BandMixer.get_transform_init_args_names", call(mixer.get_transform_init_args_names),
        call(mixer.get_transform_init_args_names, 1))
    add("bandmixer", "BandMixer.get_class_fullname", call(BandMixer.get_class_fullname),
        call(BandMixer.get_class_fullname, 1))

    # pickweighted
    PickWeighted = pickweighted.PickWeighted
    children = [A.HorizontalFlip(p=0.5), A.VerticalFlip(p=0.5)]
    picker = PickWeighted(children, p=1.0)
    refusing = PickWeighted([A.NoOp(p=0.5), A.NoOp(p=0.5)], p=1.0)
    refusing.transforms_ps = [0.5, 0.4]

    class FailingChild(A.NoOp):
        def __call__(self, *args: Any, **kwargs: Any) -> Any:
            raise RuntimeError("hostile child")

        _to_dict = __call__

    failing = PickWeighted([FailingChild(p=1.0)], p=1.0)
    add("pickweighted", "PickWeighted.__init__", call(PickWeighted, children, p=0.5),
        call(PickWeighted, tuple(children)), call(PickWeighted, children, p=text), call(PickWeighted, [hostile]),
        call(PickWeighted))
    add("pickweighted", "PickWeighted.__call__", call(picker, image=image),
        call(picker, image), call(refusing, force_apply=True, image=image), call(failing, image=image),
        call(picker, force_apply=hostile, image=image))
    add("pickweighted", "PickWeighted._to_dict", call(picker._to_dict), call(failing._to_dict),
        call(picker._to_dict, 1))
    add("pickweighted", "PickWeighted.get_class_fullname", call(PickWeighted.get_class_fullname),
        call(PickWeighted.get_class_fullname, 1))

    return table


def public_names(module: str) -> set[str]:
    """What the table must cover in ``module`` (a full name): its own functions and classes, and
    the functions, static and class methods and properties in each of its classes' namespaces."""
    namespace = importlib.import_module(module)
    short = module.rsplit(".", 1)[1]
    names = set()
    for name, value in vars(namespace).items():
        if name.startswith("__") or getattr(value, "__module__", None) != module:
            continue
        if not isinstance(value, type) or issubclass(value, enum.Enum):
            names.add(name)
            continue
        for attribute, member in vars(value).items():
            if callable(member) or isinstance(member, (staticmethod, classmethod, property)):
                names.add(f"{name}.{attribute}")
    return {f"{short}:{name}" for name in names}
