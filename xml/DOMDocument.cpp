#include "xml/DOMDocument.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "OrvError.h"
#include "platform/Files.h"

using orv::xml::DOMDocument;
using orv::xml::ElemQuery;
using orv::xml::ElemVisitor;

namespace {

// The four bytes the parser skips and trims: tab, line feed, carriage return, space.
inline bool isSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// The scanners below look at [from, end) but may load up to `limit`, the end of the memory
// the text lies in: tags, names and values are a few bytes long, and one sixteen-byte load past
// their end (masked) beats a byte loop. They never read at or past `limit`.

// One bit for each of the sixteen bytes at `at` that is `c`, or that is a space.
#if defined(__SSE2__)
inline unsigned bytesEqual(const char* at, char c) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(c))));
}

inline unsigned spaceBytes(const char* at) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i sp = _mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8(' ')),
                                    _mm_cmpeq_epi8(chunk, _mm_set1_epi8('\n')));
    const __m128i cr = _mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('\r')),
                                    _mm_cmpeq_epi8(chunk, _mm_set1_epi8('\t')));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(sp, cr)));
}
#else
inline unsigned bytesEqual(const char* at, char c) {
    unsigned bits = 0;
    for (unsigned i = 0; i < 16; ++i) bits |= unsigned{at[i] == c} << i;
    return bits;
}

inline unsigned spaceBytes(const char* at) {
    unsigned bits = 0;
    for (unsigned i = 0; i < 16; ++i) bits |= unsigned{isSpace(at[i])} << i;
    return bits;
}
#endif

// The first byte of [from, end) that `match` holds for, or null; `hits` gives the same test for
// sixteen bytes at once, one bit each.
template <class Hits, class Match>
inline const char* scan(const char* from, const char* end, const char* limit, Hits hits,
                        Match match) {
    for (; from < end && limit - from >= 16; from += 16) {
        if (const unsigned found = hits(from)) {
            const char* hit = from + __builtin_ctz(found);
            return hit < end ? hit : nullptr;
        }
    }
    for (; from < end; ++from)
        if (match(*from)) return from;
    return nullptr;
}

// The next `c` in [from, end), or null.
inline const char* findByte(const char* from, const char* end, const char* limit, char c) {
    return scan(
        from, end, limit, [c](const char* at) { return bytesEqual(at, c); },
        [c](char x) { return x == c; });
}

// The next space in [from, end), or null.
inline const char* findSpace(const char* from, const char* end, const char* limit) {
    return scan(from, end, limit, spaceBytes, isSpace);
}

// The first byte in [from, end) that is no space, or `end`.
inline const char* skipSpaces(const char* from, const char* end, const char* limit) {
    const char* other = scan(
        from, end, limit, [](const char* at) { return ~spaceBytes(at) & 0xFFFFu; },
        [](char x) { return !isSpace(x); });
    return other ? other : end;
}

inline void trim(const char*& b, const char*& e) {
    while (b < e && isSpace(*b)) ++b;
    while (e > b && isSpace(e[-1])) --e;
}

// The value of a `keyword = 'value'` pair whose keyword ends just before `from`: spaces may
// stand around "=", and the value runs to the next quote of the kind that opened it. A quote
// found anywhere later in the text would take another attribute's value.
bool assignedValue(const std::string& text, size_t from, std::string& value) {
    const auto skipSpaces = [&](size_t p) {
        while (p < text.size() && isSpace(text[p])) ++p;
        return p;
    };
    size_t p = skipSpaces(from);
    if (p >= text.size() || text[p] != '=') return false;
    p = skipSpaces(p + 1);
    if (p >= text.size() || (text[p] != '"' && text[p] != '\'')) return false;
    const size_t close = text.find(text[p], p + 1);
    if (close == std::string::npos) return false;
    value.assign(text, p + 1, close - p - 1);
    return true;
}

}  // namespace

IOrvXmlDoc::IOrvXmlDoc() = default;
IOrvXmlDoc::IOrvXmlDoc(const IOrvXmlDoc& other) : orv::OrvReferenced(other) {}
IOrvXmlDoc::~IOrvXmlDoc() = default;

DOMDocument::DOMDocument() : root(newOrvXmlElem()) {
    if (!root) throw std::bad_alloc();
}

DOMDocument::~DOMDocument() {
    dropPending();
    // Parent and sibling links are counted and form cycles, also among elements removed from
    // the tree: break them all, or the tree is never freed.
    if (DOMElement* r = getRootImp()) DOMElement::tearDownArena(r);
    root = nullptr;
}

int DOMDocument::loadString(const orv::OrvString& text, int length) {
    return parseText(text.c_str(), length);
}

int DOMDocument::loadFile(const orv::OrvString& path) {
    return parseFile(path.c_str());
}

int DOMDocument::buildString(IOrvXmlElem* elem) {
    auto* e = dynamic_cast<DOMElement*>(elem);
    if (!e) return -1;
    return buildText(e);
}

namespace {

// A composed text is saved in pieces of this size: large enough that each write costs little,
// small enough to stay in the cache.
constexpr size_t kSavePiece = size_t{256} << 10;

// Writes pieces up to the text's first zero byte, as one C string would be written.
struct CStringSink {
    orv::platform::OutputFile& file;
    bool ended = false;
    static void put(void* context, const char* data, size_t size) {
        auto* sink = static_cast<CStringSink*>(context);
        if (sink->ended) return;
        if (const void* nul = std::memchr(data, '\0', size)) {
            size = static_cast<size_t>(static_cast<const char*>(nul) - data);
            sink->ended = true;
        }
        sink->file.write(data, size);
    }
};

}  // namespace

int DOMDocument::saveFile(const char* path) {
    if (!path || m_textLost) return -1;
    try {
        orv::platform::OutputFile file;
        file.create(path);
        CStringSink sink{file};
        // The text itself, not a copy through getString: it may be hundreds of megabytes.
        CStringSink::put(&sink, xmlText.data(), xmlText.size());
        if (m_composeFrom) m_composeFrom->writeXmlPieces(kSavePiece, &CStringSink::put, &sink);
        file.close();
    } catch (const orv::FileError&) {
        return -1;
    } catch (const std::bad_alloc&) {
        return -1;
    }
    return 0;
}

int DOMDocument::failed(orv::XmlStatus status, size_t offset, std::string text) {
    m_error.status = status;
    m_error.offset = offset;
    m_error.text = std::move(text);
    return -1;
}

int DOMDocument::reported(int result) const {
    if (result != 0 && !m_error.text.empty()) std::printf("%s\n", m_error.text.c_str());
    return result;
}

int DOMDocument::parseText(const char* text, int /*length: the text runs to its NUL*/) {
    return reported(parseTextQuietly(text));
}

int DOMDocument::parseFile(const char* path) {
    return reported(parseFileQuietly(path));
}

int DOMDocument::parseRoot() {
    m_error = orv::XmlError();
    // The root is looked for after the last "?>": declarations and instructions are skipped.
    size_t start = 0;
    for (size_t p = xmlText.find("?>"); p != std::string::npos; p = xmlText.find("?>", start))
        start = p + 2;
    return reported(parseRootFrom(start));
}

int DOMDocument::parseChildren(DOMElement* parent) {
    m_error = orv::XmlError();
    return reported(parseElements(parent));
}

int DOMDocument::parseTextQuietly(const char* text) {
    m_error = orv::XmlError();
    if (!text) return failed(orv::XmlStatus::noText, 0);
    std::string owned;
    try {
        owned = text;
    } catch (const std::bad_alloc&) {
        return failed(orv::XmlStatus::noMemory, 0);
    }
    // The root is looked for after the last "?>": declarations and instructions are skipped.
    size_t rootFrom = 0;
    for (size_t p = owned.find("?>"); p != std::string::npos; p = owned.find("?>", rootFrom))
        rootFrom = p + 2;
    return parseOwnedText(std::move(owned), rootFrom);
}

namespace {

// A file is read in pieces small enough to stay in the cache, so that the search for the text's
// end (its first zero byte) and for the last "?>" reads bytes just brought in, not a second pass
// over the whole text.
constexpr size_t kReadPiece = size_t{256} << 10;

// Looks at [from, to) of `d`, of which `avail` bytes are known, for the first zero byte (stored
// in `nul`, which stops the search) and for "?>" (the position after the last one kept in
// `afterInstruction`). Returns false once a zero byte was found.
bool scanPiece(const char* d, size_t from, size_t to, size_t avail, size_t& afterInstruction,
               size_t& nul) {
    size_t i = from;
    for (;;) {
#if defined(__SSE2__)
        const __m128i zero = _mm_setzero_si128();
        const __m128i question = _mm_set1_epi8('?');
        while (i + 16 <= to) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
            const __m128i hit =
                _mm_or_si128(_mm_cmpeq_epi8(chunk, zero), _mm_cmpeq_epi8(chunk, question));
            if (_mm_movemask_epi8(hit)) break;
            i += 16;
        }
        const size_t stop = std::min(to, i + 16);
#else
        const size_t stop = to;
#endif
        for (; i < stop; ++i) {
            if (d[i] == '\0') {
                nul = i;
                return false;
            }
            if (d[i] == '?' && i + 1 < avail && d[i + 1] == '>') afterInstruction = i + 2;
        }
        if (i >= to) return true;
    }
}

}  // namespace

int DOMDocument::parseFileQuietly(const char* path) {
    m_error = orv::XmlError();
    if (!path) return failed(orv::XmlStatus::noText, 0);
    orv::platform::InputFile file;
    if (!file.open(path)) {
        m_error.systemError = errno;
        return failed(orv::XmlStatus::unreadable, 0);
    }
    const uint64_t size = file.size();
    if (size == 0) return failed(orv::XmlStatus::emptyFile, 0);
    if (size > std::string().max_size()) return failed(orv::XmlStatus::noMemory, 0);
    const size_t total = static_cast<size_t>(size);
    std::string bytes;
    std::unique_ptr<char[]> piece;
    try {
        // Memory for the whole text in one call, then filled: cheaper than a fault per page.
        bytes.reserve(total);
        orv::prepareLargeBlock(&bytes[0], total);
        piece.reset(new char[kReadPiece]);
    } catch (const std::bad_alloc&) {
        return failed(orv::XmlStatus::noMemory, 0);
    } catch (const std::length_error&) {
        return failed(orv::XmlStatus::noMemory, 0);
    }
    // Each piece is read into a small buffer and appended: the text's memory is written once,
    // where zeroing it first and reading over the zeros wrote it twice.
    size_t scanned = 0, afterInstruction = 0;
    size_t nul = total;  // the document text ends at the first zero byte, as a C string
    while (bytes.size() < total) {
        const size_t want = std::min(kReadPiece, total - bytes.size());
        const size_t got = file.read(piece.get(), want);
        bytes.append(piece.get(), got);  // within the capacity reserved: cannot throw
        const size_t filled = bytes.size();
        // The last byte read waits for the next piece: a '?' there may pair with its first '>'.
        const size_t to = filled < total && filled > 0 ? filled - 1 : filled;
        if (!scanPiece(bytes.data(), scanned, to, filled, afterInstruction, nul)) break;
        scanned = to;
        // A read that stops short (an I/O error, a file cut meanwhile) must not pass for the file.
        if (got < want) {
            m_error.systemError = file.readFailed() ? errno : 0;
            return failed(orv::XmlStatus::unreadable, filled);
        }
    }
    bytes.resize(nul);
    return parseOwnedText(std::move(bytes), afterInstruction);
}

int DOMDocument::parseOwnedText(std::string&& text, size_t rootFrom) {
    dropPending();
    cursor = 0;
    xmlText = std::move(text);
    readDeclaration();
    return parseRootFrom(rootFrom);
}

int DOMDocument::readDeclaration() {
    const size_t v = xmlText.find("version");
    if (v == std::string::npos) return -1;
    cursor = v;
    if (!assignedValue(xmlText, v + std::strlen("version"), version)) version = "1.0";
    const size_t e = xmlText.find("encoding");
    if (e == std::string::npos) return -1;
    if (!assignedValue(xmlText, e + std::strlen("encoding"), encoding)) encoding = "GB2312";
    return 0;
}

int DOMDocument::parseRootFrom(size_t start) {
    const size_t lt = xmlText.find('<', start);
    if (lt == std::string::npos)
        return failed(orv::XmlStatus::notXml, start, "ERROR: It is not XML Document.");
    const size_t gt = xmlText.find('>', lt);
    if (gt == std::string::npos || gt == lt + 1)
        return failed(orv::XmlStatus::noRootName, lt,
                      "ERROR: There is no tag name int the XML root.");
    std::string name = xmlText.substr(lt + 1, gt - lt - 1);
    const size_t space = name.find(' ');
    if (space != std::string::npos) name.resize(space);
    DOMElement* r = getRootImp();
    if (!r) return -1;
    r->setTag(name);
    cursor = gt + 1;
    if (xmlText.rfind("/" + name) == std::string::npos)
        return failed(orv::XmlStatus::rootNoMatch, lt, "ERROR: Root tag nomatch.");
    return parseElements(r);
}

int DOMDocument::parseElements(DOMElement* parent) {
    if (!parent) return failed(orv::XmlStatus::noText, cursor);
    // One loop over the whole content; the open elements are a stack, so nesting depth costs no
    // call stack. Children are linked to their parent and siblings as they are read, and join
    // their parent's list together when its end tag comes (or when the parse stops).
    m_open.clear();
    m_pending.clear();
    const auto closeInnermost = [&] {
        const Open o = m_open.back();
        o.elem->appendParsed(m_pending.data() + o.firstChild, m_pending.size() - o.firstChild);
        m_pending.resize(o.firstChild);
        m_open.pop_back();
    };
    const auto fail = [&](orv::XmlStatus status, size_t offset, std::string text) {
        failed(status, offset, std::move(text));
        while (!m_open.empty()) closeInnermost();
        return -1;
    };
    // The open element's name as a C string prints it.
    const auto named = [](const char* what, const DOMElement* e) {
        return std::string(what) + " <" + e->tag() + ">.";
    };
    try {
        m_open.push_back(Open{parent, 0});
        for (;;) {
            DOMElement* current = m_open.back().elem;
            if (cursor >= xmlText.size())
                return fail(orv::XmlStatus::unfinished, cursor,
                            named("Error: without a finish tag for", current));
            Span tag, text;
            if (nextTagSpan(tag, text) != 0)
                return fail(orv::XmlStatus::noFinishTag, cursor,
                            named("Error: Without a finish tag for", current));
            const size_t tagAt = static_cast<size_t>(tag.data - xmlText.data()) - 1;
            if (text.size > 0) current->setParsedText(text.data, text.size);
            if (tag.size > 0 && tag.data[0] == '/') {
                if (current->tagIs(std::string_view(tag.data + 1, tag.size - 1))) {
                    closeInnermost();
                    if (m_open.empty()) return 0;
                    continue;
                }
                return fail(orv::XmlStatus::wrongEndTag, tagAt,
                            named("ERROR: Can't find a end tag for", current));
            }
            DOMElement* previous = m_pending.size() > m_open.back().firstChild
                                       ? m_pending.back()
                                       : current->lastChild();
            if (m_pending.size() == m_pending.capacity())  // room first: the push cannot throw
                m_pending.reserve(std::max<size_t>(64, m_pending.capacity() * 2));
            DOMElement* child = DOMElement::makeParsed(current, previous);
            m_pending.push_back(child);
            const bool selfClosing = tag.size > 0 && tag.data[tag.size - 1] == '/';
            if (selfClosing) --tag.size;
            Span name;
            const int read = readTag(tag, xmlText.data() + xmlText.size(), name, m_pairs);
            // A failed tag leaves its element nameless, with the attributes read before.
            child->setParsedTag(
                read < 0 ? std::string_view() : std::string_view(name.data, name.size), m_pairs);
            if (read < 0) return fail(orv::XmlStatus::badTag, tagAt, std::string());
            if (!selfClosing) m_open.push_back(Open{child, m_pending.size()});
        }
    } catch (const std::bad_alloc&) {
        parent->markReshaped();  // an element made just now may be in no list
        try {
            fail(orv::XmlStatus::noMemory, cursor, std::string());
        } catch (const std::bad_alloc&) {
            // What could not be attached is freed with the document.
        }
        return -1;
    }
}

int DOMDocument::nextTagSpan(Span& tag, Span& text) {
    tag = Span{};
    text = Span{};
    const char* const begin = xmlText.data();
    const char* const end = begin + xmlText.size();
    const char* p = begin + (cursor < xmlText.size() ? cursor : xmlText.size());
    p = skipSpaces(p, end, end);
    if (p >= end) return -1;
    const char* lt = *p == '<' ? p : findByte(p, end, end, '<');
    if (!lt) return -1;
    if (lt > p) text = Span{p, static_cast<size_t>(lt - p)};
    const char* gt = findByte(lt + 1, end, end, '>');
    if (!gt) return -1;
    tag = Span{lt + 1, static_cast<size_t>(gt - lt - 1)};
    cursor = static_cast<size_t>(gt + 1 - begin);
    return 0;
}

int DOMDocument::nextTag(std::string& tag, std::string& text) {
    Span t, x;
    const int r = nextTagSpan(t, x);
    tag.assign(t.data ? t.data : "", t.size);
    text.assign(x.data ? x.data : "", x.size);
    return r;
}

int DOMDocument::parseTag(const char* tagText, std::string& name, orv::xml::AttrMap& attributes) {
    attributes.clear();
    if (!tagText) return -1;
    Span n;
    const size_t length = std::strlen(tagText);
    const int result = readTag(Span{tagText, length}, tagText + length, n, m_pairs);
    name.assign(n.data ? n.data : "", n.size);
    attributes.assign(m_pairs);
    return result;
}

namespace {

// Finds the bytes a tag is cut at, each search bounded by the tag's end. One searches as it
// goes; the other classifies a short tag's bytes once, so each search is a step on a mask.
struct ScanFinder {
    const char* end;
    const char* limit;
    const char* space(const char* from) const { return findSpace(from, end, limit); }
    const char* find(const char* from, char c) const { return findByte(from, end, limit, c); }
};

struct WindowFinder {
    static constexpr size_t kBytes = 64;
    const char* base;
    uint64_t spaces = 0, equals = 0, doubleQuotes = 0, singleQuotes = 0;

    // For a tag [b, e) no longer than kBytes with kBytes readable from b.
    WindowFinder(const char* b, const char* e) : base(b) {
        for (size_t i = 0; i * 16 < static_cast<size_t>(e - b); ++i) {
            const char* at = b + i * 16;
            spaces |= uint64_t{spaceBytes(at)} << (i * 16);
            equals |= uint64_t{bytesEqual(at, '=')} << (i * 16);
            doubleQuotes |= uint64_t{bytesEqual(at, '"')} << (i * 16);
            singleQuotes |= uint64_t{bytesEqual(at, '\'')} << (i * 16);
        }
        const size_t n = static_cast<size_t>(e - b);
        const uint64_t inside = n >= kBytes ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
        spaces &= inside;
        equals &= inside;
        doubleQuotes &= inside;
        singleQuotes &= inside;
    }
    const char* first(uint64_t hits, const char* from) const {
        const size_t skip = static_cast<size_t>(from - base);
        hits = skip >= kBytes ? 0 : hits & (~uint64_t{0} << skip);
        return hits ? base + __builtin_ctzll(hits) : nullptr;
    }
    const char* space(const char* from) const { return first(spaces, from); }
    const char* find(const char* from, char c) const {
        return first(c == '=' ? equals : c == '"' ? doubleQuotes : singleQuotes, from);
    }
};

// The name and attributes of the trimmed tag [b, e).
template <class Finder>
int readTagWith(const Finder& finder, const char* b, const char* e, const char*& nameEnd,
                std::vector<orv::xml::AttrPair>& pairs) {
    const char* space = finder.space(b);
    if (!space) {
        nameEnd = e;
        return 0;
    }
    nameEnd = space;
    const char* pos = space + 1;
    int count = 0;
    for (;;) {
        const char* eq = finder.find(pos, '=');
        if (!eq) return pos >= e ? count : -1;  // left-over bytes that are no attribute
        ++count;
        const char* nb = pos;
        const char* ne = eq;
        trim(nb, ne);
        const char* open = finder.find(eq + 1, '"');
        if (!open) open = finder.find(eq + 1, '\'');
        if (!open) return -1;
        const char* close = finder.find(open + 1, '"');
        if (!close) close = finder.find(open + 1, '\'');
        if (!close) return -1;
        const char* vb = open + 1;
        const char* ve = close;
        trim(vb, ve);
        // Field by field into place: a pair built aside and copied whole waits on its stores.
        pairs.emplace_back();
        orv::xml::AttrPair& pair = pairs.back();
        pair.name = nb;
        pair.nameSize = static_cast<size_t>(ne - nb);
        pair.value = vb;
        pair.valueSize = static_cast<size_t>(ve - vb);
        pos = close + 1;
    }
}

}  // namespace

int DOMDocument::readTag(Span tagSpan, const char* limit, Span& name,
                         std::vector<orv::xml::AttrPair>& pairs) {
    pairs.clear();
    const char* b = tagSpan.data ? tagSpan.data : "";
    const char* e = b + tagSpan.size;
    if (!tagSpan.data) limit = e;
    trim(b, e);
    const char* nameEnd = e;
    int result;
    if (static_cast<size_t>(e - b) <= WindowFinder::kBytes &&
        static_cast<size_t>(limit - b) >= WindowFinder::kBytes)
        result = readTagWith(WindowFinder(b, e), b, e, nameEnd, pairs);
    else
        result = readTagWith(ScanFinder{e, limit}, b, e, nameEnd, pairs);
    name = Span{b, static_cast<size_t>(nameEnd - b)};
    return result;
}

int DOMDocument::buildDeclaration() {
    xmlText = "<?xml version=\"";
    xmlText += version;
    xmlText += "\" encoding=\"";
    xmlText += encoding;
    xmlText += "\"?>\r\n";
    return 0;
}

int DOMDocument::buildText(DOMElement* elem) {
    dropPending();
    xmlText.clear();
    cursor = 0;
    buildDeclaration();
    if (!elem) elem = getRootImp();
    if (!elem) return -1;
    // A tree watched for another document's text is composed at once.
    if (!elem->watchTree(this)) return elem->writeXml(xmlText);
    m_composeFrom = elem;
    return 0;
}

void DOMDocument::composePending() {
    if (!m_composeFrom) return;
    orv::OrvPtr<DOMElement> from = std::move(m_composeFrom);
    from->unwatchTree(this);
    from->writeXml(xmlText);
}

void DOMDocument::treeChanging() {
    // Called from inside a change, possibly a document's release: nothing may escape.
    try {
        composePending();
    } catch (const std::bad_alloc&) {
        m_textLost = true;
    }
}

void DOMDocument::dropPending() {
    m_textLost = false;
    if (!m_composeFrom) return;
    m_composeFrom->unwatchTree(this);
    m_composeFrom = nullptr;
}

int DOMDocument::walkElements(ElemVisitor visit, DOMElement* elem, ElemQuery* query) {
    if (!visit || !elem) return -1;
    return elem->traverse(visit, query);
}

IOrvXmlDoc* newOrvXmlDoc() {
    try {
        return new DOMDocument();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
