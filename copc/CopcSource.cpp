#include "copc/CopcSource.h"

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
std::unique_ptr<CountedSource> openUrl(const std::string& url, std::string& error);

bool isUrl(const std::string& s) {
    return s.rfind("http://", 0) == 0 || s.rfind("https://", 0) == 0;
}

std::unique_ptr<CountedSource> openSource(const std::string& pathOrUrl, std::string& error) {
    if (isUrl(pathOrUrl)) return openUrl(pathOrUrl, error);
    auto file = std::make_unique<FileBytes>();
    if (!file->open(pathOrUrl)) {
        error = "cannot open '" + pathOrUrl + "'";
        return nullptr;
    }
    return file;
}

}  // namespace orv::copc
