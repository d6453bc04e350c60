"""The plain Python / NumPy steps of ``assemble_keypoints_after_shuffle``, as the module documents them.

The tests compare the module's function with this one: results bit for bit, failures by type.
"""

import numpy as np


def assemble_keypoints_after_shuffle(keypoints, instances, positions, **kwargs):
    number_of_position_measurements = len(instances)
    keypoint_dimensionality = 2
    instance_array = np.array(instances)
    assert instance_array.shape == (number_of_position_measurements,)
    arr_keypoints = np.array(keypoints).reshape(number_of_position_measurements, keypoint_dimensionality)
    keypoint_dimensionality = arr_keypoints.shape[1]
    assert arr_keypoints.shape == (number_of_position_measurements, keypoint_dimensionality)
    arr_positions = np.array(positions, dtype=object)
    assert arr_positions.shape == (number_of_position_measurements,)
    unique_instances = np.unique(instance_array)
    number_of_unique_instances = unique_instances.shape[0]
    assert number_of_unique_instances == number_of_position_measurements / 3
    sorted_keypoints = np.empty((number_of_unique_instances, 3, keypoint_dimensionality))
    sorted_kwarg_arrays = {}
    for key, values in kwargs.items():
        sorted_kwarg_arrays[key] = np.empty((number_of_unique_instances, *values.shape[1:]))
    to_original_index = np.empty(number_of_unique_instances)
    assert all(v.shape[0] == number_of_unique_instances for v in kwargs.values())
    for i, uiid in enumerate(unique_instances):
        position_map = {arr_positions[index]: index for index in np.where(instance_array == str(uiid))[0]}
        sorted_keypoints[i] = [arr_keypoints[position_map[key]] for key in ("center", "top", "right")]
        for k, v in kwargs.items():
            sorted_kwarg_arrays[k][i] = v[int(uiid)]
        to_original_index[i] = int(uiid)
    return (sorted_keypoints, to_original_index, *sorted_kwarg_arrays.values())
