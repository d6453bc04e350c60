"""Fuzz target: BandMixer against its NumPy steps.

Structured images with fields of every type, byte order, offset and layout; channel
configurations with every selection and operation and fuzzed bounds of any kind; configuration
mappings and operation names whose lookups or comparisons change the image or the channel list
mid-call (run identically against the steps); the cache, the static channel lookup, the
pass-through targets and the constructor.
"""

import copy
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import atheris  # noqa: E402
import albumentations as A  # noqa: E402,F401 - imported before the instrumented modules
import numpy as np  # noqa: E402

# coverage feedback from the input builders and the reference steps (the module itself is native)
with atheris.instrument_imports(include=["transform_inputs", "bandmixer_steps", "vornhaven"]):
    from transform_inputs import Draw, Hook, assert_same_array, failed, outcome, same_type
    import bandmixer_steps as steps
    from vornhaven.preprocessing.augmentations.transform.bandmixer import BandMixer
from test_bandmixer import Hooked  # noqa: E402 - the tests' objects with hooks
from test_bandmixer import Selection as HookedName  # noqa: E402

TYPES = ["u1", "i1", "u2", "i2", "u4", "i4", "u8", "i8", "f2", "f4", "f8", "?"]
NAMES = ["red", "green", "blue", "x", "a"]
SELECTIONS = ["red", "green", "blue", "x", "a", "gray", "grey", "custom", "violet"]
OPERATIONS = [None, "", "normalize", "absolute_cap", "relative_cap", "bogus"]


def structured(draw):
    """A recipe (fields, shape, field values, layout) from which identical images are rebuilt."""
    fields = []
    for name in NAMES[:draw.int(0, len(NAMES))]:
        if draw.int(0, 3) == 0:
            fields.append((f"pad{len(fields)}", draw.pick(["u1", "u2", "V3"])))  # unaligned offsets
        dtype = np.dtype(draw.pick(TYPES))
        fields.append((name, dtype.newbyteorder() if dtype.itemsize > 1 and draw.bool() else dtype))
    if draw.int(0, 5) == 0:  # the rgb fields the grey composite needs, all one type
        dtype = draw.pick(TYPES)
        fields = [(n, t) for n, t in fields if n not in ("red", "green", "blue")] + [
            (n, dtype) for n in ("red", "green", "blue")]
    shape = draw.shape(0, 3, 5)
    base = np.zeros(shape, fields)
    for name, _ in fields:
        if not name.startswith("pad"):
            base[name] = draw.values(base.dtype[name], shape)
    view = draw.int(0, 4)
    return lambda: layout(base.copy(), view)


def layout(image, view):
    if view == 1 and image.ndim:
        return image[::-1]
    if view == 2 and image.ndim >= 2:
        return image.T
    if view == 3 and image.ndim >= 2:
        return image[::2, 1:]
    if view == 4:
        return image[..., np.newaxis]
    return image


def bound(draw):
    value = draw.float()
    k = draw.int(0, 7)
    if k == 0:
        return int(value) if value == value and abs(value) < 1e18 else value
    if k == 1:
        return str(value)
    if k == 2:
        return draw.pick([None, "low", [1.0], b"1"])
    if k == 3:
        return np.float32(value) if abs(value) < 3e38 or value != value else value
    return value


def configuration(draw):
    """Channel entries as plain data: deep-copied for each side."""
    channels = []
    for _ in range(draw.int(0, 4)):
        channel_type = {"selection": draw.pick(SELECTIONS)}
        if channel_type["selection"] == "custom" or draw.int(0, 5) == 0:
            channel_type["name"] = draw.pick(NAMES + ["violet"])
        entry = {"channel_type": channel_type}
        shape = draw.int(0, 4)
        if shape:
            operations = {}
            if shape > 1:
                operations["selection"] = draw.pick(OPERATIONS)
            for key in ("min", "max"):
                if draw.int(0, 4):
                    operations[key] = bound(draw)
            entry["enable_operations"] = {"operations": operations} if shape != 4 else {}
        channels.append({"channel": entry})
    return channels


def mutation(which, holder, channels):
    """A change to the image (held in ``holder``) or the channel list, run once."""
    fired = []

    def change():
        if fired:
            return
        fired.append(1)
        image = holder[0]
        if which == 0 and image.ndim == 2 and image.flags.c_contiguous:
            image.shape = (image.shape[1], image.shape[0])
        elif which == 1 and image.dtype.names and image.flags.c_contiguous:
            fields = [(n, np.dtype(image.dtype[n]).newbyteorder() if image.dtype[n].itemsize > 1 else "i1")
                      for n in image.dtype.names]
            try:
                image.dtype = np.dtype({"names": image.dtype.names, "formats": [f for _, f in fields],
                                        "offsets": [image.dtype.fields[n][1] for n in image.dtype.names],
                                        "itemsize": image.dtype.itemsize})
            except (ValueError, TypeError):
                pass
        elif which == 2:
            channels.append({"channel": {"channel_type": {"selection": "red"}}})
        elif which == 3:
            channels.clear()
        elif which == 4 and image.size:
            image[...] = np.zeros((), image.dtype)

    return change


def hostile(channels, holder, which, via, position):
    """Plants a hook in entry ``position`` of ``channels`` (in place)."""
    if not channels:
        return
    entry = channels[position % len(channels)]["channel"]
    hook = mutation(which, holder, channels)
    if via == 0:
        entry["enable_operations"] = Hooked(entry.get("enable_operations", {"operations": {}}), "operations", hook)
    elif via == 1:
        operations = entry.setdefault("enable_operations", {}).setdefault("operations", {})
        if isinstance(operations.get("selection"), str):
            operations["selection"] = Selection(operations["selection"], hook)
    else:
        operations = entry.setdefault("enable_operations", {}).setdefault("operations", {})
        if "min" in operations and isinstance(operations["min"], float):
            operations["min"] = Hook(operations["min"], hook)


class Selection(HookedName):
    """The tests' operation name whose comparisons run ``hook`` first, also true and printable as the
    name it stands for."""

    def __bool__(self):
        return bool(self.name)

    def __str__(self):
        return self.name


def run(side, image, channels):
    with np.errstate(all="ignore"):
        if side == "native":
            return outcome(lambda: BandMixer(channels, False, 1.0).apply(image))
        if not image.dtype.names:
            return image
        return outcome(lambda: steps.assemble(channels, image))


def compare(got, want, image):
    if same_type(got, want, "apply"):
        if want is image:  # an array without field names passes through
            assert got is image, got
            return
        assert got.dtype == np.float32 and got.shape == want.shape, (got.dtype, got.shape, want.shape)
        nan = np.isnan(want)
        assert (np.isnan(got) == nan).all(), "NaN positions"
        assert got[~nan].view(np.uint32).tobytes() == want[~nan].view(np.uint32).tobytes(), (got, want)


def all_names_are_strings(channels):
    for channel in channels:
        kind = channel["channel"]["channel_type"]
        name = kind.get("name") if kind["selection"] == "custom" else kind["selection"]
        if not isinstance(name, str):
            return False
    return True


def one_input(data: bytes) -> None:
    draw = Draw(atheris.FuzzedDataProvider(data))
    make_image = structured(draw)
    channels = configuration(draw)
    mode = draw.int(0, 5)

    if mode == 0:  # constructor and the pass-through targets with arguments of any kind
        p = draw.kind(draw.float())
        always = draw.pick([False, True, 0, [], "yes", None])
        listing = draw.pick([channels, tuple(channels), type("L", (list,), {})(channels), None])
        made = outcome(lambda: BandMixer(listing, always, p))
        if failed(made):
            assert made[0] is TypeError, made
            return
        assert made.p == float(p) or (made.p != made.p and float(p) != float(p))
        assert made.channels is listing
        assert made.get_transform_init_args_names() == ("channels",) and made.get_class_fullname() == "BandMixer"
        target = draw.pick([(0.1, 0.2, 0.3, 0.4), (1.0, 2.0), [0.1, 0.2], None, ()])
        for method in (made.apply_to_bbox, made.apply_to_keypoint):
            got = outcome(lambda: method(target, rows=3, cols=4))
            assert got is target if isinstance(target, tuple) else got[0] is TypeError, got
        return

    if mode == 1:  # the static channel lookup
        name = draw.pick(SELECTIONS + [None, b"red", 3])
        image = make_image()
        got = outcome(lambda: BandMixer.retrieve_channel(name, image))
        if not isinstance(name, str):
            assert failed(got) and got[0] is TypeError, got
            return
        with np.errstate(all="ignore"):
            want = outcome(lambda: steps.retrieve_channel(name, image))
        if same_type(got, want, "retrieve_channel"):
            assert_same_array(np.asarray(got), np.asarray(want), "retrieve_channel")
        return

    if mode == 2 and all_names_are_strings(channels):  # hostile configuration, same hooks on both sides
        which, via, position = draw.int(0, 4), draw.int(0, 2), draw.int(0, 3)
        results, images = [], []
        for side in ("native", "steps"):
            holder = [make_image()]
            images.append(holder[0])
            mine = copy.deepcopy(channels)
            hostile(mine, holder, which, via, position)
            results.append((run(side, holder[0], mine), len(mine)))
        (got, n_got), (want, n_want) = results
        got = images[1] if got is images[0] else got  # a pass-through on each side
        assert n_got == n_want
        if which in (3, 4) and not failed(got) and not failed(want) and want is not images[1]:
            # An emptied list leaves the later channels as np.empty made them; values changed mid-call
            # may be read before or after the change (only the layout read last is promised).
            assert got.shape == want.shape and got.dtype == want.dtype
        else:
            compare(got, want, images[1])
        return

    image = make_image()
    native = BandMixer(copy.deepcopy(channels), False, 1.0)
    with np.errstate(all="ignore"):
        got = outcome(lambda: native.apply(image))
    if not all_names_are_strings(channels):
        assert failed(got) and got[0] in (TypeError, ValueError, KeyError), got
        return
    want = run("steps", image, copy.deepcopy(channels))
    compare(got, want, image)
    if failed(got) or got is image:
        return
    # the cache: the same object again gives the result of the first call, even if changed since
    kept = got.copy()
    if image.size and draw.bool():
        image[...] = np.zeros((), image.dtype)
    with np.errstate(all="ignore"):
        again = native.apply(image)
    assert again.tobytes() == kept.tobytes() and again.shape == kept.shape
    other = make_image()
    with np.errstate(all="ignore"):
        fresh = outcome(lambda: native.apply(other))
    compare(fresh, run("steps", other, copy.deepcopy(channels)), other)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
