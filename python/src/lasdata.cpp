// What the laspy-shaped layer needs beyond reading and writing arrays: descriptions of new extra
// dimensions, and COPC files written from LAS or LAZ files.
#include <OrvCopc.h>
#include <OrvLasFile.h>

#include <string>
#include <vector>

#include "bindings.h"

namespace orvpy {

namespace {

// The 192 bytes that describe an extra dimension: `scale` and `offset` (None, or one value per
// element) set their option bits; `size` is an untyped field's length.
py::bytes extraFieldDescriptor(const std::string& name, uint8_t dataType,
                               const std::string& description, const py::object& scale,
                               const py::object& offset, uint32_t size) {
    if (name.empty() || name.size() > 32) throw py::value_error("name: 1 to 32 bytes");
    if (description.size() > 32) throw py::value_error("description: at most 32 bytes");
    if (dataType > 30) throw py::value_error("data type: 0 to 30");
    orv::LasExtraField f;
    f.name = name;
    f.description = description;
    f.dataType = dataType;
    f.size = size;
    if (dataType == 0 && (size == 0 || size > 255))
        throw py::value_error("an untyped field holds 1 to 255 bytes");
    const auto put = [&](const py::object& given, double(&out)[3], uint8_t bit, const char* key) {
        if (given.is_none()) return;
        const std::vector<double> values = given.cast<std::vector<double>>();
        if (values.empty() || values.size() > 3)
            throw py::value_error(std::string(key) + ": one value per element, at most 3");
        for (size_t k = 0; k < values.size(); ++k) out[k] = values[k];
        f.options |= bit;
    };
    put(scale, f.scale, 0x08, "scale");
    put(offset, f.offsetValue, 0x10, "offset");
    const std::vector<uint8_t> d = orv::lasExtraFieldDescriptor(f);
    return py::bytes(reinterpret_cast<const char*>(d.data()), d.size());
}

// Writes `output` as a COPC file of every point of `inputs`; the summary as a dict.
py::dict writeCopc(const std::vector<py::object>& inputs, const py::object& output,
                   uint64_t memoryBytes, unsigned threads) {
    std::vector<std::string> paths;
    for (const py::object& in : inputs) paths.push_back(fsPath(in));
    const std::string out = fsPath(output);
    refuseIfBeingRead(out);
    orv::CopcWriteOptions options;
    if (memoryBytes) options.memoryBytes = memoryBytes;
    options.threads = threads;
    orv::CopcWriteSummary summary;
    std::string error;
    bool written = false;
    {
        py::gil_scoped_release unlocked;
        written = orv::writeCopc(paths, out, options, summary, error);
    }
    if (!written) throw FormatError(out + ": " + error);
    py::dict d;
    d["points"] = summary.points;
    d["nodes"] = summary.nodes;
    d["levels"] = summary.levels;
    return d;
}

}  // namespace

void bindLasData(py::module_& m) {
    m.def("extra_field_descriptor", &extraFieldDescriptor, py::arg("name"), py::arg("data_type"),
          py::arg("description") = "", py::arg("scale") = py::none(),
          py::arg("offset") = py::none(), py::arg("size") = 0,
          "The extra-bytes VLR's description of one extra dimension");
    m.def("write_copc", &writeCopc, py::arg("inputs"), py::arg("output"), py::arg("memory") = 0,
          py::arg("threads") = 0,
          "Writes a COPC file holding every point of the LAS or LAZ inputs");
}

}  // namespace orvpy
