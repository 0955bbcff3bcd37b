// Loading without printing, and what an edit needs so that a saved document stays readable by
// other XML tools (the parser's own rules stay as they are).
#include <cstdint>
#include <string_view>
#include <vector>

#include "OrvXmlLoad.h"
#include "xml/DOMDocument.h"

namespace orv {

using xml::DOMDocument;

namespace {

DOMDocument* implOf(IOrvXmlDoc* doc) {
    return dynamic_cast<DOMDocument*>(doc);
}

// Runs a quiet parse (a member of DOMDocument) on `doc` and hands its reason out.
int loadQuietly(IOrvXmlDoc* doc, int (DOMDocument::*parse)(const char*), const std::string& arg,
                XmlError* error) {
    DOMDocument* d = implOf(doc);
    const int result = d ? (d->*parse)(arg.c_str()) : -1;
    if (error) *error = d ? d->lastError() : XmlError{XmlStatus::noText, 0, std::string(), 0};
    return result;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One `name = "value"` pair of a start tag, as XML writes it.
struct Attribute {
    std::string_view name, value;
    char quote;
};

// The pairs at the start of `s`, up to the first bytes that are none.
std::vector<Attribute> attributesIn(std::string_view s) {
    std::vector<Attribute> found;
    size_t p = 0;
    const auto spaces = [&] {
        while (p < s.size() && isSpace(s[p])) ++p;
    };
    for (;;) {
        spaces();
        const size_t name = p;
        while (p < s.size() && !isSpace(s[p]) && s[p] != '=' && s[p] != '/' && s[p] != '?') ++p;
        const size_t nameEnd = p;
        spaces();
        if (nameEnd == name || p >= s.size() || s[p] != '=') return found;
        ++p;
        spaces();
        if (p >= s.size() || (s[p] != '"' && s[p] != '\'')) return found;
        const size_t close = s.find(s[p], p + 1);
        if (close == std::string_view::npos) return found;
        found.push_back({s.substr(name, nameEnd - name), s.substr(p + 1, close - p - 1), s[p]});
        p = close + 1;
    }
}

// The next code point of UTF-8 text at `p` (moved past it), or -1 for bytes that are not UTF-8
// (overlong forms, surrogates and values past U+10FFFF included).
long nextCodePoint(std::string_view s, size_t& p) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned lead = byte(p);
    if (lead < 0x80) return static_cast<long>(s[p++]);
    // 0xC0 and 0xC1 could only start overlong forms, past 0xF4 only values past U+10FFFF.
    const int more = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (more == 0 || lead > 0xF4 || s.size() - p <= static_cast<size_t>(more)) return -1;
    long code = static_cast<long>(lead & (0x3Fu >> more));
    for (int i = 1; i <= more; ++i) {
        const unsigned next = byte(p + static_cast<size_t>(i));
        if ((next & 0xC0) != 0x80) return -1;
        code = (code << 6) | static_cast<long>(next & 0x3F);
    }
    static const long kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return -1;
    p += static_cast<size_t>(more) + 1;
    return code;
}

bool isUtf8(std::string_view s) {
    for (size_t p = 0; p < s.size();) {
        // Eight ASCII bytes at a time: most documents are mostly ASCII.
        while (p + 8 <= s.size()) {
            uint64_t eight;
            __builtin_memcpy(&eight, s.data() + p, 8);
            if (eight & 0x8080808080808080ull) break;
            p += 8;
        }
        if (p < s.size() && nextCodePoint(s, p) < 0) return false;
    }
    return true;
}

bool inRanges(long c, const long (*ranges)[2], size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (c >= ranges[i][0] && c <= ranges[i][1]) return true;
    return false;
}

bool isNameStart(long c) {
    static const long kRanges[][2] = {
        {':', ':'},       {'A', 'Z'},       {'_', '_'},       {'a', 'z'},
        {0xC0, 0xD6},     {0xD8, 0xF6},     {0xF8, 0x2FF},    {0x370, 0x37D},
        {0x37F, 0x1FFF},  {0x200C, 0x200D}, {0x2070, 0x218F}, {0x2C00, 0x2FEF},
        {0x3001, 0xD7FF}, {0xF900, 0xFDCF}, {0xFDF0, 0xFFFD}, {0x10000, 0xEFFFF}};
    return inRanges(c, kRanges, sizeof kRanges / sizeof kRanges[0]);
}

bool isNameChar(long c) {
    static const long kRanges[][2] = {
        {'-', '.'}, {'0', '9'}, {0xB7, 0xB7}, {0x300, 0x36F}, {0x203F, 0x2040}};
    return isNameStart(c) || inRanges(c, kRanges, sizeof kRanges / sizeof kRanges[0]);
}

}  // namespace

int loadXmlFile(IOrvXmlDoc* doc, const std::string& path, XmlError* error) {
    return loadQuietly(doc, &DOMDocument::parseFileQuietly, path, error);
}

int loadXmlString(IOrvXmlDoc* doc, const std::string& text, XmlError* error) {
    return loadQuietly(doc, &DOMDocument::parseTextQuietly, text, error);
}

void keepLoadedShape(IOrvXmlDoc* doc) {
    DOMDocument* d = implOf(doc);
    DOMElement* root = d ? d->getRootImp() : nullptr;
    if (!root) return;
    const std::string& text = d->xmlText;

    // The declaration, if the text opens with one (after a byte order mark).
    std::string_view rest(text);
    if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
    const bool declared = rest.size() > 5 && rest.substr(0, 5) == "<?xml" && isSpace(rest[5]);
    bool namesEncoding = false;
    if (declared) {
        for (const Attribute& a : attributesIn(rest.substr(5, rest.find("?>") - 5)))
            namesEncoding = namesEncoding || a.name == "encoding";
    } else {
        d->version = "1.0";
    }
    if (!namesEncoding && isUtf8(text)) d->encoding = "UTF-8";

    // The root's start tag, found as the parser finds it; only a space ends its name.
    size_t start = 0;
    for (size_t p = text.find("?>"); p != std::string::npos; p = text.find("?>", start))
        start = p + 2;
    const size_t lt = text.find('<', start);
    const size_t gt = lt == std::string::npos ? lt : text.find('>', lt);
    if (gt == std::string::npos) return;
    const std::string_view tag(text.data() + lt + 1, gt - lt - 1);
    const size_t space = tag.find(' ');
    if (space == std::string_view::npos) return;
    std::string name, value;
    for (const Attribute& a : attributesIn(tag.substr(space))) {
        name.assign(a.name.data(), a.name.size());
        if (root->findAttr(name.c_str())) continue;  // the first of a repeated name stays
        value.clear();
        for (const char c : a.value) {
            if (c == '"')
                value += "&quot;";
            else
                value += c;
        }
        root->setAttr(name.c_str(), value.c_str());
    }
}

bool hasXmlAttr(IOrvXmlElem* elem, const std::string& name) {
    const auto* e = dynamic_cast<DOMElement*>(elem);
    return e && e->findAttr(name.c_str()) != nullptr;
}

std::string xmlNameProblem(const std::string& name) {
    const std::string quoted = "'" + name + "' is not an XML name";
    if (name.empty()) return "an empty name is not an XML name";
    for (size_t p = 0; p < name.size();) {
        const bool first = p == 0;
        const long c = nextCodePoint(name, p);
        if (c < 0 || !(first ? isNameStart(c) : isNameChar(c))) return quoted;
    }
    return std::string();
}

std::string xmlValueProblem(const std::string& value, bool attribute) {
    for (const char c : value) {
        if (c == '<' || c == '>' || c == '&' || (attribute && c == '"'))
            return std::string("the value holds '") + c +
                   "', which the file cannot hold (no entities are read or written)";
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            static const char kHex[] = "0123456789ABCDEF";
            return std::string("the value holds the control byte 0x") + kHex[byte >> 4] +
                   kHex[byte & 15] + ", which XML does not allow";
        }
    }
    return std::string();
}

}  // namespace orv
