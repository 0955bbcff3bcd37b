// The pipeline runner: readers first, then every other stage in order; prepare all, begin the
// writers, pass blocks, finish.
#include "OrvStages.h"

namespace orv {

Stage::~Stage() = default;
bool Stage::begin(std::string&) {
    return true;
}
bool Stage::finish(std::string&) {
    return true;
}
bool Stage::wantsFirstPass() const {
    return false;
}
void Stage::observe(Block&) {}
uint64_t Stage::written() const {
    return 0;
}
bool Stage::isWriter() const {
    return false;
}

struct Pipeline::Impl {
    std::vector<std::unique_ptr<Stage>> stages;
    std::vector<ReaderStage*> readers;
    ProgressCallback progress;
    std::function<bool(Block&, std::string&)> sink;
    std::function<void()> beforeFinish;
    Schema schema;
    bool prepared = false;
    uint64_t read = 0, total = 0;

    bool fail(PipelineError& e, PipelineError::Kind kind, int at, const std::string& text) {
        e.kind = kind;
        e.stage = at;
        e.text = text;
        return false;
    }
    // Passes every reader's blocks through the stages [first, end); a two-pass stage at `end`
    // observes them.
    bool pass(size_t end, bool observe, PipelineError& e);
};

Pipeline::Pipeline() : m_impl(std::make_unique<Impl>()) {}
Pipeline::~Pipeline() = default;
Pipeline::Pipeline(Pipeline&&) noexcept = default;
Pipeline& Pipeline::operator=(Pipeline&&) noexcept = default;

void Pipeline::add(std::unique_ptr<Stage> stage) {
    m_impl->stages.push_back(std::move(stage));
}
size_t Pipeline::size() const {
    return m_impl->stages.size();
}
Stage& Pipeline::stage(size_t i) {
    return *m_impl->stages[i];
}
void Pipeline::setProgress(ProgressCallback progress) {
    m_impl->progress = std::move(progress);
}
void Pipeline::setBeforeFinish(std::function<void()> check) {
    m_impl->beforeFinish = std::move(check);
}
void Pipeline::setSink(std::function<bool(Block&, std::string&)> take) {
    m_impl->sink = std::move(take);
}
const Schema& Pipeline::schema() const {
    return m_impl->schema;
}

bool Pipeline::prepare(PipelineError& e) {
    Impl& m = *m_impl;
    if (m.prepared) return true;
    m.readers.clear();
    size_t i = 0;
    for (; i < m.stages.size(); ++i) {
        auto* r = dynamic_cast<ReaderStage*>(m.stages[i].get());
        if (!r) break;
        Schema s;
        std::string error;
        if (!r->prepare(s, error)) return m.fail(e, PipelineError::kRefused, int(i), error);
        if (m.readers.empty()) {
            m.schema = s;
        } else {
            const LasFileHeader &a = m.schema.header, &b = s.header;
            if (a.pointFormat != b.pointFormat || a.recordLength != b.recordLength)
                return m.fail(
                    e, PipelineError::kRefused, int(i),
                    "'" + s.source + "' has point format " + std::to_string(b.pointFormat) +
                        " with " + std::to_string(b.recordLength) + "-byte records; '" +
                        m.schema.source + "' has format " + std::to_string(a.pointFormat) +
                        " with " + std::to_string(a.recordLength));
            if (!s.crs.equivalentTo(m.schema.crs))
                return m.fail(e, PipelineError::kRefused, int(i),
                              "'" + s.source + "' has " + describeCrs(s.crs) + ", '" +
                                  m.schema.source + "' " + describeCrs(m.schema.crs));
            m.schema.points += s.points;
        }
        if (r->type() == "readers.las") m.schema.wholeFiles.push_back(s.source);
        m.readers.push_back(r);
    }
    if (m.readers.empty())
        return m.fail(e, PipelineError::kRefused, 0, "a pipeline starts with a reader");
    if (m.readers.size() > 1) m.schema.wholeFiles.clear();  // a spool keeps their order
    bool wrote = false;
    for (; i < m.stages.size(); ++i) {
        Stage& s = *m.stages[i];
        std::string error;
        if (dynamic_cast<ReaderStage*>(&s))
            return m.fail(e, PipelineError::kRefused, int(i), "readers come first");
        if (s.wantsFirstPass() && wrote)
            return m.fail(e, PipelineError::kRefused, int(i),
                          s.type() + " reads every point twice and cannot follow a writer");
        if (!s.prepare(m.schema, error)) return m.fail(e, PipelineError::kRefused, int(i), error);
        wrote = wrote || s.isWriter();
        if (!s.isWriter() && s.type() != "filters.merge") m.schema.wholeFiles.clear();
    }
    m.prepared = true;
    return true;
}

bool Pipeline::Impl::pass(size_t end, bool observe, PipelineError& e) {
    Block block;
    std::string error;
    const size_t first = readers.size();
    for (ReaderStage* r : readers) {
        while (r->read(block, error)) {
            if (!observe) read += block.size();
            for (size_t i = first; i < end && block.size(); ++i)
                if (!stages[i]->run(block, error))
                    return fail(e, PipelineError::kFailed, int(i), error);
            if (observe)
                stages[end]->observe(block);
            else if (sink && block.size() && !sink(block, error))
                return fail(e, PipelineError::kFailed, int(end), error);
            if (!observe && progress) progress(read, total);
        }
        if (!error.empty()) return fail(e, PipelineError::kFailed, -1, error);
    }
    return true;
}

bool Pipeline::run(PipelineError& e, PipelineSummary* summary) {
    Impl& m = *m_impl;
    if (!prepare(e)) return false;
    std::string error;
    for (size_t i = m.readers.size(); i < m.stages.size(); ++i)
        if (!m.stages[i]->begin(error)) return m.fail(e, PipelineError::kFailed, int(i), error);
    m.read = 0;
    m.total = m.schema.points;
    // A stage that must see every point first gets a pass of its own, as far as it.
    for (size_t i = m.readers.size(); i < m.stages.size(); ++i) {
        if (!m.stages[i]->wantsFirstPass()) continue;
        if (!m.pass(i, true, e)) return false;
        for (size_t k = 0; k < m.readers.size(); ++k)
            if (!m.readers[k]->rewind(error))
                return m.fail(e, PipelineError::kFailed, int(k), error);
    }
    if (!m.pass(m.stages.size(), false, e)) return false;
    if (m.beforeFinish) m.beforeFinish();
    if (m.progress) m.progress(m.read, m.read);
    for (size_t i = m.readers.size(); i < m.stages.size(); ++i)
        if (!m.stages[i]->finish(error)) return m.fail(e, PipelineError::kFailed, int(i), error);
    if (summary) {
        summary->read = m.read;
        summary->written = 0;
        for (auto it = m.stages.rbegin(); it != m.stages.rend(); ++it)
            if ((*it)->isWriter()) {
                summary->written = (*it)->written();
                break;
            }
    }
    return true;
}

}  // namespace orv
