"""Ground, heights, rasters, clips and noise, held against SciPy, GDAL's tools and its Python
bindings, and against the classes of generated terrain and of a provider's file."""

import json
import shutil
import subprocess

import numpy as np
import pytest

from conftest import ORVTER, TESTDATA, decode_bytes

scipy_spatial = pytest.importorskip("scipy.spatial", reason="SciPy is missing (python3-scipy)")
gdal = pytest.importorskip("osgeo.gdal", reason="GDAL's Python bindings are missing (python3-gdal)")
from osgeo import ogr, osr  # noqa: E402

CROP = TESTDATA / "las" / "4_6_crop.las"


def orvter(*args):
    subprocess.run([str(ORVTER), *map(str, args)], check=True, stdout=subprocess.DEVNULL)


def accuracy(truth, found):
    keep = ~np.isin(truth, [7, 18])
    t, f = truth[keep] == 2, found[keep] == 2
    a, b, c, d = (np.sum(t & f), np.sum(t & ~f), np.sum(~t & f), np.sum(~t & ~f))
    n = a + b + c + d
    chance = ((a + b) * (a + c) + (c + d) * (b + d)) / n**2
    return dict(type1=b / (a + b), type2=c / (c + d), total=(b + c) / n,
                kappa=((a + d) / n - chance) / (1 - chance))


@pytest.fixture(scope="module")
def scene(tmp_path_factory):
    """Generated terrain (its classes the truth), and the same classified by las ground."""
    folder = tmp_path_factory.mktemp("terrain")
    orvter("las", "gen", "--terrain", "--quiet", "--points", 120_000, "--seed", 5,
           folder / "truth.las")
    orvter("las", "ground", "--quiet", folder / "truth.las", folder / "ground.las")
    return folder


@pytest.mark.parametrize("source,total,kappa", [("generated", 0.03, 0.9), ("4_6_crop", 0.05, 0.85)])
def test_ground_is_as_accurate_as_published_filters(scene, tmp_path, source, total, kappa):
    if source == "generated":
        truth, found = scene / "truth.las", scene / "ground.las"
    else:
        if not CROP.exists():
            pytest.skip(f"{CROP} is absent")
        truth, found = CROP, tmp_path / "crop.las"
        orvter("las", "ground", "--quiet", truth, found)
    a = accuracy(decode_bytes(truth)[1]["classification"], decode_bytes(found)[1]["classification"])
    assert a["total"] <= total and a["kappa"] >= kappa, a


def test_height_above_ground_is_z_minus_scipys_triangulation(scene, tmp_path):
    out = tmp_path / "hag.las"
    orvter("las", "hag", "--quiet", scene / "ground.las", out)
    head, f = decode_bytes(out)
    heights = f["extra_bytes"][:, -4:].copy().view("<f4")[:, 0]
    ground = f["classification"] == 2
    # Local coordinates: qhull drops points as coplanar when it lifts map coordinates squared.
    x, y = f["x"] - f["x"].min(), f["y"] - f["y"].min()
    surface = scipy_spatial.Delaunay(np.c_[x[ground], y[ground]])
    inside = surface.find_simplex(np.c_[x, y]) >= 0
    from scipy.interpolate import LinearNDInterpolator
    expected = f["z"] - LinearNDInterpolator(surface, f["z"][ground])(x, y)
    assert inside.mean() > 0.98
    assert np.max(np.abs(heights[inside] - expected[inside])) <= 1e-3
    # The field is described where other readers look for it.
    assert b"HeightAboveGround" in out.read_bytes()[:4096]


def test_normalized_heights_replace_z(scene, tmp_path):
    orvter("las", "hag", "--quiet", "--normalize", scene / "ground.las", tmp_path / "n.las")
    f = decode_bytes(tmp_path / "n.las")[1]
    assert np.max(np.abs(f["z"][f["classification"] == 2])) < 0.2


def test_dtm_equals_gdal_grid_linear(scene, tmp_path):
    if not shutil.which("gdal_grid"):
        pytest.skip("gdal_grid is missing (gdal-bin)")
    dtm = tmp_path / "dtm.tif"
    orvter("las", "dem", "--quiet", scene / "ground.las", dtm, "--kind", "dtm", "--resolution", 2)
    ours = gdal.Open(str(dtm))
    left, size, _, top, _, _ = ours.GetGeoTransform()
    cols, rows = ours.RasterXSize, ours.RasterYSize
    f = decode_bytes(scene / "ground.las")[1]
    g = f["classification"] == 2
    # Local coordinates, as for SciPy: qhull loses points when it squares map coordinates.
    x0, y0 = np.floor(f["x"].min()), np.floor(f["y"].min())
    left, top = left - x0, top - y0
    csv = tmp_path / "ground.csv"
    np.savetxt(csv, np.c_[f["x"][g] - x0, f["y"][g] - y0, f["z"][g]], delimiter=",",
               fmt="%.3f", header="x,y,z", comments="")
    vrt = tmp_path / "ground.vrt"
    vrt.write_text(f"""<OGRVRTDataSource><OGRVRTLayer name="ground"><SrcDataSource>{csv}</SrcDataSource>
<GeometryType>wkbPoint</GeometryType><GeometryField encoding="PointFromColumns" x="x" y="y" z="z"/>
</OGRVRTLayer></OGRVRTDataSource>""")
    reference = tmp_path / "reference.tif"
    subprocess.run(["gdal_grid", "-q", "-a", "linear:nodata=-9999", "-txe", str(left),
                    str(left + cols * size), "-tye", str(top), str(top - rows * size), "-outsize",
                    str(cols), str(rows), "-ot", "Float64", "-l", "ground", str(vrt),
                    str(reference)], check=True)
    a = ours.GetRasterBand(1).ReadAsArray().astype(float)
    theirs = gdal.Open(str(reference))  # a band read without its dataset held crashes GDAL
    b = theirs.GetRasterBand(1).ReadAsArray()
    both = (a != -9999) & (b != -9999)
    assert both.mean() > 0.9
    assert np.max(np.abs(a[both] - b[both])) <= 1e-3
    info = json.loads(subprocess.run(["gdalinfo", "-json", str(dtm)], check=True,
                                     capture_output=True, text=True).stdout)
    assert "UTM zone 33N" in info["coordinateSystem"]["wkt"]
    assert info["metadata"]["IMAGE_STRUCTURE"]["LAYOUT"] == "COG"
    assert info["bands"][0]["noDataValue"] == -9999
    subprocess.run(["gdal_translate", "-q", "-of", "PNG", "-scale", str(dtm), str(tmp_path / "d.png")],
                   check=True)


@pytest.mark.parametrize("kind", ["dsm", "chm", "intensity", "density"])
def test_other_rasters_cover_the_cloud(scene, tmp_path, kind):
    out = tmp_path / f"{kind}.tif"
    orvter("las", "dem", "--quiet", scene / "ground.las", scene / "truth.las", out, "--kind", kind,
           "--resolution", 4)
    raster = gdal.Open(str(out))
    band = raster.GetRasterBand(1).ReadAsArray()
    valid = band[band != -9999]
    assert valid.size > 0.95 * band.size
    if kind == "chm":
        # Trees up to 26 m and roofs above open ground, never far below it.
        assert 20 < valid.max() < 30 and valid.min() > -0.5 and np.mean(valid < 0.5) > 0.1


def polygon_layer(path, driver, crs_wkt, x, y):
    """A multipolygon with a hole, and a second feature, around the cloud's middle, in WGS 84."""
    cx, cy = (x.min() + x.max()) / 2, (y.min() + y.max()) / 2
    w, h = (x.max() - x.min()) / 2, (y.max() - y.min()) / 2
    box = lambda x0, y0, x1, y1: f"({x0} {y0},{x1} {y0},{x1} {y1},{x0} {y1},{x0} {y0})"
    shapes = [
        f"MULTIPOLYGON(({box(cx - .8 * w, cy - .8 * h, cx, cy + .5 * h)},{box(cx - .5 * w, cy - .3 * h, cx - .2 * w, cy)}),"
        f"(({cx + .1 * w} {cy - .9 * h},{cx + .9 * w} {cy - .2 * h},{cx + .3 * w} {cy + .6 * h},{cx + .1 * w} {cy - .9 * h})))",
        f"POLYGON({box(cx - .3 * w, cy + .6 * h, cx + .3 * w, cy + .9 * h)})",
    ]
    source = osr.SpatialReference()
    source.ImportFromWkt(crs_wkt)
    target = osr.SpatialReference()
    target.ImportFromEPSG(4326)
    for s in (source, target):
        s.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    move = osr.CoordinateTransformation(source, target)
    ds = ogr.GetDriverByName(driver).CreateDataSource(str(path))
    layer = ds.CreateLayer("areas", target, ogr.wkbUnknown)
    for wkt in shapes:
        g = ogr.CreateGeometryFromWkt(wkt)
        g.Transform(move)
        feature = ogr.Feature(layer.GetLayerDefn())
        feature.SetGeometry(g)
        layer.CreateFeature(feature)
    ds = None
    return path


@pytest.mark.parametrize("driver,name", [("GeoJSON", "areas.geojson"), ("GPKG", "areas.gpkg:areas"),
                                         ("ESRI Shapefile", "areas.shp")])
def test_clip_keeps_what_gdal_finds_inside(scene, tmp_path, driver, name):
    cloud = scene / "truth.las"
    f = decode_bytes(cloud)[1]
    crs = osr.SpatialReference()
    crs.ImportFromEPSG(32633)
    crs.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    file = polygon_layer(tmp_path / name.split(":")[0], driver, crs.ExportToWkt(), f["x"], f["y"])
    # Brute force: every point tested against the polygons moved into the cloud's CRS.
    source = ogr.Open(str(file))
    layer = source.GetLayer(0)
    to_cloud = osr.CoordinateTransformation(layer.GetSpatialRef(), crs)
    polygons = []
    for feature in layer:
        g = feature.GetGeometryRef().Clone()
        g.Transform(to_cloud)
        polygons.append(g)
    step = 7  # a sample of the points keeps the brute force quick
    inside = np.zeros(len(f["x"]), bool)
    for i in range(0, len(f["x"]), step):
        p = ogr.CreateGeometryFromWkt(f"POINT({f['x'][i]} {f['y'][i]})")
        inside[i] = any(g.Contains(p) for g in polygons)
    for outside in (False, True):
        out = tmp_path / f"clip{outside}.las"
        orvter("las", "copy", "--quiet", cloud, out, "--clip", str(tmp_path / name),
               *(["--clip-outside"] if outside else []))
        kept = decode_bytes(out)[1]
        expected = inside[::step] != outside
        got = set(zip(kept["X"].tolist(), kept["Y"].tolist()))
        sample = list(zip(f["X"][::step].tolist(), f["Y"][::step].tolist()))
        assert [p in got for p in sample] == expected.tolist()


def test_noise_finds_planted_outliers(scene):
    f = decode_bytes(scene / "truth.las")[1]
    import orvterdep
    planted = np.isin(f["classification"], [7, 18])
    found = orvterdep.find_outliers(f["x"], f["y"], f["z"])
    assert found[planted].mean() >= 0.95
    assert found[~planted].mean() <= 0.005


def test_ground_changes_nothing_but_the_class(tmp_path):
    from conftest import gen_cloud
    cloud = gen_cloud(tmp_path / "old.las", 20_000)  # point format 0: flags share the class byte
    orvter("las", "ground", "--quiet", cloud, tmp_path / "g.las")
    head, before = decode_bytes(cloud)
    after = decode_bytes(tmp_path / "g.las")[1]
    for field in ("X", "Y", "Z", "intensity", "return_number", "synthetic", "key_point", "withheld",
                  "scan_angle_rank", "point_source_id"):
        assert np.array_equal(before[field], after[field]), field
    assert set(np.unique(after["classification"])) - set(np.unique(before["classification"])) <= {1}


@pytest.mark.parametrize("args,status,says", [
    (["hag", "{old}", "{out}"], 1, "no ground points"),
    (["ground", "{old}", "{out}", "--slope", "0"], 2, "slope"),
    (["noise", "{old}", "{out}", "--neighbours", "0"], 2, "neighbours"),
    (["dem", "{old}", "{out}", "--kind", "dtm", "--resolution", "0"], 2, "resolution"),
    (["copy", "{old}", "{out}", "--clip-outside"], 2, "--clip-outside needs --clip"),
    (["copy", "{old}", "{out}", "--clip", "{missing}"], 1, "cannot clip"),
])
def test_terrain_commands_refuse_with_a_reason(tmp_path, args, status, says):
    from conftest import gen_cloud
    old = gen_cloud(tmp_path / "old.las", 1_000)
    names = dict(old=old, out=tmp_path / "out.las", missing=tmp_path / "missing.geojson")
    if args[0] == "hag":
        subprocess.run([str(ORVTER), "las", "copy", "--quiet", "--drop-class", "2", old,
                        tmp_path / "no-ground.las"], check=True)
        names["old"] = tmp_path / "no-ground.las"
    r = subprocess.run([str(ORVTER), "las", *[a.format(**names) for a in args]],
                       capture_output=True, text=True)
    assert r.returncode == status and says in r.stderr, r.stderr
    assert not (tmp_path / "out.las").exists()
