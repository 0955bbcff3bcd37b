#include "copc/CopcSource.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/Files.h"

namespace orv::copc {
namespace {

class FileBytes final : public CountedSource {
public:
    bool open(const std::string& path) {
        if (!m_file.open(path.c_str())) return false;
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

private:
    platform::InputFile m_file;
    uint64_t m_size = 0;
};

}  // namespace

// Defined with the HTTP reader.
std::unique_ptr<CountedSource> openUrl(const std::string& url, const std::string& caFile,
                                       std::string& error);

bool isUrl(const std::string& s) {
    return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0;
}

std::unique_ptr<CountedSource> openSource(const std::string& pathOrUrl, const std::string& caFile,
                                          std::string& error) {
    if (isUrl(pathOrUrl)) return openUrl(pathOrUrl, caFile, error);
    auto file = std::make_unique<FileBytes>();
    if (!file->open(pathOrUrl)) {
        error = "cannot open '" + pathOrUrl + "'";
        return nullptr;
    }
    return file;
}

void forEachParallel(size_t count, unsigned threads, const std::function<void(size_t)>& task) {
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t i = next++; i < count; i = next++) task(i);
    };
    const size_t extra = std::min<size_t>(std::max(threads, 1u), count);
    std::vector<std::thread> pool;
    for (size_t t = 1; t < extra; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
}

}  // namespace orv::copc
