"""orvterdep.Pipeline: the JSON pipelines of `orvter pipeline`, into files or numpy arrays."""

import numpy as np
import pytest

import orvterdep


def test_gives_the_records_the_command_writes(cloud, tmp_path):
    stages = [str(cloud), {"type": "filters.range", "limits": "Classification[2:2],Z[:130]"}]
    kept = orvterdep.Pipeline(stages)
    count = kept.execute()
    out = tmp_path / "ground.las"
    assert orvterdep.Pipeline(stages + [str(out)]).execute() == count
    head, points = orvterdep.read(str(out))
    for name in ("x", "y", "z", "intensity", "classification", "return_number"):
        np.testing.assert_array_equal(kept.arrays[name], points[name], err_msg=name)
    assert kept.arrays["intensity"].dtype == np.uint16


@pytest.mark.parametrize("stages, says", [
    ([{"type": "filters.smrf"}], "stage 2: no stage filters.smrf"),
    ([{"type": "filters.range", "limits": "Red[0:1]"}], "has no Red"),
    ([{"type": "filters.crop", "bounds": "([0,1],[0,1])", "polygon": "x"}], "no option 'polygon'"),
])
def test_refuses_what_cannot_run_naming_the_stage(cloud, stages, says):
    with pytest.raises(ValueError, match=says):
        orvterdep.Pipeline([str(cloud)] + stages).execute()
