// orvterdep.Pipeline: the library's JSON pipelines, writing files or giving the points as numpy
// arrays, one a dimension under its Python name.
#include <OrvStages.h>

#include <map>
#include <vector>

#include "bindings.h"

namespace orvpy {
namespace {

class PyPipeline {
public:
    explicit PyPipeline(const py::object& stages) {
        m_json = py::isinstance<py::str>(stages)
                     ? stages.cast<std::string>()
                     : py::module_::import("json").attr("dumps")(stages).cast<std::string>();
        orv::Pipeline probe;
        orv::PipelineError e;
        if (!orv::parsePipeline(m_json, probe, e)) raise(e);
    }

    // Runs the stages; without a writer last, the points that leave are kept as arrays.
    uint64_t execute() {
        orv::Pipeline p;
        orv::PipelineError e;
        if (!orv::parsePipeline(m_json, p, e) || !p.prepare(e)) raise(e);
        const bool collect = !p.stage(p.size() - 1).isWriter();
        std::map<std::string, std::vector<double>> columns;
        const uint8_t format = p.schema().header.pointFormat;
        uint64_t kept = 0;
        if (collect)
            p.setSink([&](orv::Block& b, std::string&) {
                kept += b.size();
                for (const orv::Dimension& d : orv::dimensions()) {
                    if (!orv::formatHolds(d, format)) continue;
                    std::vector<double>& v = columns[d.name];
                    for (size_t i = 0; i < b.size(); ++i) v.push_back(b.value(d, i));
                }
                return true;
            });
        orv::PipelineSummary summary;
        {
            py::gil_scoped_release unlocked;
            if (!p.run(e, &summary)) {
                py::gil_scoped_acquire locked;
                raise(e);
            }
        }
        m_arrays = py::dict();
        for (const orv::Dimension& d : orv::dimensions()) {
            const auto it = columns.find(d.name);
            if (it == columns.end()) continue;
            py::array_t<double> values(it->second.size(), it->second.data());
            m_arrays[d.name] = values.attr("astype")(dtypeOf(d.type));
        }
        return collect ? kept : summary.written;
    }
    py::dict arrays() const { return m_arrays; }

private:
    static const char* dtypeOf(orv::DimType t) {
        switch (t) {
            case orv::DimType::kU8:
                return "uint8";
            case orv::DimType::kU16:
                return "uint16";
            case orv::DimType::kI16:
                return "int16";
            case orv::DimType::kI32:
                return "int32";
            case orv::DimType::kF32:
                return "float32";
            case orv::DimType::kF64:
                return "float64";
        }
        return "float64";
    }
    [[noreturn]] static void raise(const orv::PipelineError& e) {
        const std::string at = e.stage >= 0 ? "stage " + std::to_string(e.stage + 1) + ": " : "";
        if (e.kind == orv::PipelineError::kRefused) throw py::value_error(at + e.text);
        throw FormatError(at + e.text);
    }

    std::string m_json;
    py::dict m_arrays;
};

}  // namespace

void bindPipeline(py::module_& m) {
    py::class_<PyPipeline>(m, "Pipeline",
                           "Stages from a JSON pipeline (text, or a list or dict of stages)")
        .def(py::init<const py::object&>(), py::arg("pipeline"))
        .def("execute", &PyPipeline::execute,
             "Runs the stages; returns the points written (or, without a writer, kept)")
        .def_property_readonly("arrays", &PyPipeline::arrays,
                               "Without a writer last: the points kept, a numpy array a dimension");
}

}  // namespace orvpy
