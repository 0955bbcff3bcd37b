// Pictures of clouds from Python: the library's renderer, its image handed over as a numpy array.
#include <OrvRender.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bindings.h"

namespace orvpy {

namespace {

py::array render(const py::object& path, int size, std::optional<std::pair<int, int>> shape,
                 const std::string& by, std::optional<std::vector<double>> bbox, bool hillshade,
                 bool decorations, const py::object& png) {
    orv::RenderOptions o;
    if (!orv::renderByName(by, o.by))
        throw py::value_error("by must be elevation, class, intensity, rgb or density");
    o.longSide = size;
    if (shape) {
        if (shape->first <= 0 || shape->second <= 0)
            throw py::value_error("shape: (width, height) of at least one pixel each");
        o.width = shape->first, o.height = shape->second;
    }
    if (bbox) {
        if (bbox->size() != 4) throw py::value_error("bbox is (min x, min y, max x, max y)");
        o.useBox = true;
        std::copy(bbox->begin(), bbox->end(), o.box);
    }
    o.hillshade = hillshade;
    o.decorations = decorations;
    const std::string file = fsPath(path);
    const std::string out = png.is_none() ? std::string() : fsPath(png);
    auto image = std::make_unique<orv::RenderImage>();
    std::string error;
    int status;
    {
        py::gil_scoped_release release;
        status = orv::renderLas(file.c_str(), o, *image, error);
        if (status == 0 && !out.empty()) orv::writePng(out.c_str(), *image);
    }
    if (status != 0) throw FormatError(file + ": " + error);
    auto* owner = image.release();
    py::capsule keep(owner, [](void* p) { delete static_cast<orv::RenderImage*>(p); });
    return py::array(py::dtype::of<uint8_t>(), {owner->height, owner->width, 3},
                     {owner->width * 3, 3, 1}, owner->rgb.data(), keep);
}

}  // namespace

void bindRender(py::module_& m) {
    m.def(
        "render", &render, py::arg("path"), py::arg("size") = 1024, py::arg("shape") = std::nullopt,
        py::arg("by") = "elevation", py::arg("bbox") = std::nullopt, py::arg("hillshade") = false,
        py::arg("decorations") = true, py::arg("png") = py::none(),
        "A top view of a LAS, LAZ or COPC file as an (H, W, 3) uint8 array; see orvterdep.render");
}

}  // namespace orvpy
