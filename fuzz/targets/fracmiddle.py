"""Fuzz target: FracMiddle against albumentations' base class given the sizes the ratio model derives.

Constructor arguments of any kind, images of any shape, dtype, byte order and layout, the sizes
each input gives, every target method with the parameters of the last input, of another input,
or with rows whose conversion changes the transform or the image mid-call.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import atheris  # noqa: E402
import albumentations as A  # noqa: E402,F401 - imported before the instrumented modules

# coverage feedback from the input builders and the reference steps (the module itself is native)
with atheris.instrument_imports(include=["transform_inputs", "ratio_helpers", "vornhaven"]):
    import ratio_helpers  # noqa: F401 - used by ratio_case
    from transform_inputs import Draw, ratio_case
    from vornhaven.preprocessing.augmentations.transform.fracmiddle import FracMiddle


def one_input(data: bytes) -> None:
    ratio_case(Draw(atheris.FuzzedDataProvider(data)), FracMiddle)


if __name__ == "__main__":
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
