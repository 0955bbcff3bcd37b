// Writers of text, COPC and PNG. COPC and pictures need every point before they can begin: they
// take the sources' files when the points come through unchanged, else a LAS spool of them
// beside the output, removed when the work ends.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "OrvCopc.h"
#include "OrvRender.h"
#include "OrvStages.h"

namespace orv {
namespace {

class TextWriter : public Stage {
public:
    explicit TextWriter(const TextWriteOptions& o) : m_o(o) {}
    ~TextWriter() override {
        if (m_file && m_file != stdout) std::fclose(m_file);
    }
    std::string type() const override { return "writers.text"; }
    bool isWriter() const override { return true; }
    bool prepare(Schema& s, std::string& error) override {
        m_fields.clear();
        for (const std::string& name : m_o.fields) {
            const Dimension* d = findDimension(name);
            if (!d) {
                std::string all;
                for (const Dimension& k : dimensions())
                    all += std::string(all.empty() ? "" : ",") + k.name;
                error = "unknown field '" + name + "' (known: " + all + ")";
                return false;
            }
            m_fields.push_back(d);
        }
        for (int axis = 0; axis < 3; ++axis) m_decimals[axis] = scaleDecimals(s.header.scale[axis]);
        return true;
    }
    bool begin(std::string& error) override {
        m_file = m_o.path == "-" ? stdout : std::fopen(m_o.path.c_str(), "w");
        if (!m_file) {
            error = "cannot create '" + m_o.path + "': " + std::strerror(errno);
            return false;
        }
        if (m_o.header) {
            for (size_t j = 0; j < m_fields.size(); ++j) {
                if (j) m_text += m_o.separator;
                const std::string name =
                    m_o.pdalNames && m_fields[j]->pdalName ? m_fields[j]->pdalName : m_o.fields[j];
                m_text += m_o.quoteHeader ? "\"" + name + "\"" : name;
            }
            m_text += '\n';
        }
        return true;
    }
    bool run(Block& block, std::string& error) override {
        for (const Dimension* d : m_fields) block.column(d->id);
        for (size_t i = 0; i < block.size(); ++i) {
            for (size_t j = 0; j < m_fields.size(); ++j) {
                if (j) m_text += m_o.separator;
                print(*m_fields[j], block.value(*m_fields[j], i));
            }
            m_text += '\n';
        }
        m_written += block.size();
        return flush(error);
    }
    bool finish(std::string& error) override {
        if (!flush(error)) return false;
        if (std::fflush(m_file) == 0) return true;
        error = "cannot write '" + m_o.path + "': " + std::strerror(errno);
        return false;
    }
    uint64_t written() const override { return m_written; }

private:
    void print(const Dimension& d, double v) {
        switch (d.print) {
            case DimPrint::kCoordinate:
                m_text += fixedText(v, m_decimals[static_cast<int>(d.id) - int(DimId::kX)]);
                break;
            case DimPrint::kInteger:
                m_text += std::to_string(static_cast<long long>(v));
                break;
            case DimPrint::kShortest:
                m_text += shortestText(static_cast<float>(v));
                break;
            case DimPrint::kMicros:
                m_text += fixedText(v, 6);
                break;
        }
    }
    bool flush(std::string& error) {
        const bool ok = std::fwrite(m_text.data(), 1, m_text.size(), m_file) == m_text.size();
        m_text.clear();
        if (!ok) error = "cannot write '" + m_o.path + "': " + std::strerror(errno);
        return ok;
    }

    TextWriteOptions m_o;
    std::vector<const Dimension*> m_fields;
    int m_decimals[3] = {3, 3, 3};
    std::FILE* m_file = nullptr;
    std::string m_text;
    uint64_t m_written = 0;
};

// The points as a LAS file for a writer that takes files: the sources themselves when whole,
// else a spool beside the output.
class FileGatherer {
public:
    bool prepare(const Schema& s, const std::string& output) {
        m_files = s.wholeFiles;
        if (!m_files.empty()) return true;
        m_header = s.header;
        const size_t slash = output.rfind('/');
        m_spool = (slash == std::string::npos ? std::string() : output.substr(0, slash + 1)) +
                  ".orv-spool-" + std::to_string(::getpid()) + "-" +
                  std::to_string(reinterpret_cast<uintptr_t>(this)) + ".las";
        return true;
    }
    bool begin(std::string& error) {
        if (m_spool.empty()) return true;
        LasWriteOptions o;
        o.path = m_spool;
        m_stage = makeLasWriter(o);
        Schema s;
        s.header = m_header;
        s.sourceMinor = m_header.versionMinor;
        return m_stage->prepare(s, error) && m_stage->begin(error);
    }
    bool run(Block& block, std::string& error) { return !m_stage || m_stage->run(block, error); }
    // The files to read once every point has come.
    bool finish(std::string& error) {
        if (!m_stage) return true;
        if (!m_stage->finish(error)) return false;
        m_files = {m_spool};
        return true;
    }
    const std::vector<std::string>& files() const { return m_files; }
    ~FileGatherer() {
        if (!m_spool.empty()) ::unlink(m_spool.c_str());
    }

private:
    LasFileHeader m_header;
    std::string m_spool;
    std::unique_ptr<Stage> m_stage;
    std::vector<std::string> m_files;
};

class CopcFileWriter : public Stage {
public:
    explicit CopcFileWriter(const CopcWriteStageOptions& o) : m_o(o) {}
    std::string type() const override { return "writers.copc"; }
    bool isWriter() const override { return true; }
    bool prepare(Schema& s, std::string&) override { return m_gather.prepare(s, m_o.path); }
    bool begin(std::string& error) override { return m_gather.begin(error); }
    bool run(Block& block, std::string& error) override { return m_gather.run(block, error); }
    bool finish(std::string& error) override {
        if (!m_gather.finish(error)) return false;
        CopcWriteOptions w;
        w.memoryBytes = m_o.memoryBytes;
        w.threads = m_o.threads;
        if (writeCopc(m_gather.files(), m_o.path, w, m_summary, error)) return true;
        error = "cannot write '" + m_o.path + "': " + error;
        return false;
    }
    uint64_t written() const override { return m_summary.points; }

private:
    CopcWriteStageOptions m_o;
    FileGatherer m_gather;
    CopcWriteSummary m_summary;
};

class PngWriter : public Stage {
public:
    explicit PngWriter(const PngWriteOptions& o) : m_o(o) {}
    std::string type() const override { return "writers.png"; }
    bool isWriter() const override { return true; }
    bool prepare(Schema& s, std::string& error) override {
        if (!renderByName(m_o.colour, m_render.by)) {
            error = "no colouring '" + m_o.colour + "' (elevation, class, intensity, rgb, density)";
            return false;
        }
        m_render.longSide = m_o.longSide;
        m_render.width = m_o.width, m_render.height = m_o.height;
        m_render.hillshade = m_o.hillshade;
        m_render.threads = m_o.threads;
        return m_gather.prepare(s, m_o.path);
    }
    bool begin(std::string& error) override { return m_gather.begin(error); }
    bool run(Block& block, std::string& error) override { return m_gather.run(block, error); }
    bool finish(std::string& error) override {
        if (!m_gather.finish(error)) return false;
        if (m_gather.files().size() != 1) {
            error = "a picture is drawn from one source";
            return false;
        }
        RenderImage image;
        if (renderLas(m_gather.files()[0].c_str(), m_render, image, error) != 0) return false;
        writePng(m_o.path.c_str(), image, m_o.threads);
        m_written = image.pointsDrawn;
        return true;
    }
    uint64_t written() const override { return m_written; }

private:
    PngWriteOptions m_o;
    RenderOptions m_render;
    FileGatherer m_gather;
    uint64_t m_written = 0;
};

}  // namespace

std::unique_ptr<Stage> makeTextWriter(const TextWriteOptions& o) {
    return std::make_unique<TextWriter>(o);
}
std::unique_ptr<Stage> makeCopcWriter(const CopcWriteStageOptions& o) {
    return std::make_unique<CopcFileWriter>(o);
}
std::unique_ptr<Stage> makePngWriter(const PngWriteOptions& o) {
    return std::make_unique<PngWriter>(o);
}

}  // namespace orv
