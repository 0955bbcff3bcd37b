// Setting a packet value so that the saved document stays readable by other XML tools.
#include "OrvXmlEdit.h"

namespace orv {

namespace {

// Why makePath would make an element that other readers refuse: "" when every segment it may
// create is an XML name ("./" and ".\" make none).
std::string pathProblem(const std::string& path) {
    if (path == "./" || path == ".\\") return std::string();
    const size_t from = !path.empty() && (path[0] == '/' || path[0] == '\\') ? 1 : 0;
    for (size_t begin = from;;) {
        const size_t end = path.find('/', begin);
        const std::string problem = xmlNameProblem(path.substr(begin, end - begin));
        if (!problem.empty()) return problem;
        if (end == std::string::npos) return std::string();
        begin = end + 1;
    }
}

}  // namespace

XmlEdit setPacketValue(IOrvXmlPack* pack, const std::string& path, const std::string& value,
                       const std::string* attr, bool create, std::string* why) {
    std::string problem = attr ? xmlNameProblem(*attr) : std::string();
    if (problem.empty()) problem = xmlValueProblem(value, attr != nullptr);
    IOrvXmlElem* elem = nullptr;
    if (problem.empty() && pack) {
        elem = pack->findElem(path);
        if (!elem && create) {
            problem = pathProblem(path);
            if (problem.empty()) elem = pack->makePath(path);
        }
    }
    if (!problem.empty()) {
        if (why) *why = problem;
        return XmlEdit::refused;
    }
    if (!elem) return XmlEdit::notFound;
    if (attr)
        pack->setAttr(elem, *attr, value);
    else
        pack->setText(elem, value);
    return XmlEdit::done;
}

}  // namespace orv
