#include "copc/CopcSource.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

#include "platform/Files.h"

namespace orv::copc {
namespace {

class FileBytes final : public CountedSource {
public:
    bool open(const std::string& path) {
        if (!m_file.open(path.c_str())) return false;
        m_path = path;
        m_size = m_file.size();
        return true;
    }
    uint64_t size() const override { return m_size; }
    void prefetch(uint64_t offset, uint64_t count) const override {
        m_file.willNeed(offset, count);
    }
    size_t readAt(uint64_t offset, void* buffer, size_t count) const override {
        const size_t got = m_file.readAt(offset, buffer, count);
        this->count(got);
        return got;
    }
    std::string name() const override { return "'" + m_path + "'"; }

private:
    platform::InputFile m_file;
    std::string m_path;
    uint64_t m_size = 0;
};

}  // namespace

// Defined with the HTTP reader.
std::unique_ptr<CountedSource> openUrl(const std::string& url, const SourceOptions& options,
                                       SourceError& error);

// A file's size is measured, not stated: a range inside it is there to be read.
bool CountedSource::read(uint64_t offset, uint64_t count, std::vector<uint8_t>& out,
                         SourceError& error) const {
    const std::string where = "bytes " + std::to_string(offset) + "-" +
                              std::to_string(offset + count - 1) + " of " + name();
    if (offset > size() || count > size() - offset) {
        error.set(CopcFailure::damaged, where + " lie past its end");
        return false;
    }
    out.resize(static_cast<size_t>(count));
    if (readAt(offset, out.data(), out.size()) != out.size()) {
        error.set(CopcFailure::damaged, "cannot read " + where);
        return false;
    }
    return true;
}

bool isUrl(const std::string& s) {
    return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0;
}

std::unique_ptr<CountedSource> openSource(const std::string& pathOrUrl,
                                          const SourceOptions& options, SourceError& error) {
    if (isUrl(pathOrUrl)) return openUrl(pathOrUrl, options, error);
    auto file = std::make_unique<FileBytes>();
    if (!file->open(pathOrUrl)) {
        error.set(CopcFailure::notFound, "cannot open '" + pathOrUrl + "'");
        return nullptr;
    }
    return file;
}

void forEachParallel(size_t count, unsigned threads, const std::function<void(size_t)>& task) {
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex lock;
    const auto work = [&] {
        try {
            for (size_t i = next++; i < count; i = next++) task(i);
        } catch (...) {
            std::lock_guard<std::mutex> hold(lock);
            if (!failure) failure = std::current_exception();
            next = count;
        }
    };
    const size_t extra = std::min<size_t>(std::max(threads, 1u), count);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < extra; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace orv::copc
