#include "xml/DOMElement.h"

#include <algorithm>
#include <deque>
#include <new>
#include <stdexcept>

#include "xml/XmlArray.h"

namespace orv::xml {

AttrItem AttrIterator::operator*() const {
    const size_t n = std::strlen(m_at);
    const char* value = m_at + n + 1;
    return AttrItem{std::string_view(m_at, n), std::string_view(value, std::strlen(value))};
}

AttrIterator& AttrIterator::operator++() {
    m_at += std::strlen(m_at) + 1;
    m_at += std::strlen(m_at) + 1;
    --m_left;
    return *this;
}

namespace {

const char* findIn(AttrRange items, const char* name) {
    for (const AttrItem& item : items)
        if (item.first == name) return item.second.data();
    return nullptr;
}

size_t pairBytes(const std::vector<AttrPair>& pairs) {
    size_t bytes = 0;
    for (const AttrPair& pair : pairs) bytes += pair.nameSize + pair.valueSize + 2;
    return bytes;
}

char* writePairs(char* out, const std::vector<AttrPair>& pairs) {
    for (const AttrPair& pair : pairs) {
        std::memcpy(out, pair.name, pair.nameSize);
        out[pair.nameSize] = '\0';
        out += pair.nameSize + 1;
        std::memcpy(out, pair.value, pair.valueSize);
        out[pair.valueSize] = '\0';
        out += pair.valueSize + 1;
    }
    return out;
}

}  // namespace

void sortAttrPairs(std::vector<AttrPair>& pairs) {
    // Names are a few bytes: compared in place, as unsigned bytes, rather than by a call.
    const auto before = [](const AttrPair& a, const AttrPair& b) {
        const size_t n = std::min(a.nameSize, b.nameSize);
        for (size_t i = 0; i < n; ++i) {
            const auto x = static_cast<unsigned char>(a.name[i]);
            const auto y = static_cast<unsigned char>(b.name[i]);
            if (x != y) return x < y;
        }
        return a.nameSize < b.nameSize;
    };
    // A handful of attributes: a stable insertion sort allocates nothing.
    constexpr size_t kInsertionSortMax = 16;
    if (pairs.size() <= kInsertionSortMax) {
        for (size_t i = 1; i < pairs.size(); ++i)
            for (size_t j = i; j > 0 && before(pairs[j], pairs[j - 1]); --j)
                std::swap(pairs[j], pairs[j - 1]);
    } else {
        std::stable_sort(pairs.begin(), pairs.end(), before);
    }
    // Sorted: a repeated name follows its first, which stays.
    const auto sameName = [&before](const AttrPair& a, const AttrPair& b) {
        return a.nameSize == b.nameSize && !before(a, b) && !before(b, a);
    };
    if (pairs.size() > 1)
        pairs.erase(std::unique(pairs.begin(), pairs.end(), sameName), pairs.end());
}

const char* AttrMap::find(const char* name) const {
    return findIn(items(), name);
}

void AttrMap::assign(std::vector<Pair>& pairs) {
    sortAttrPairs(pairs);
    const size_t bytes = pairBytes(pairs);
    std::unique_ptr<char[]> data(bytes ? new char[bytes] : nullptr);
    writePairs(data.get(), pairs);
    m_data = std::move(data);
    m_count = static_cast<uint32_t>(pairs.size());
}

// Element slots and string room for one tree. Slots come from slabs that double in size up to
// kMaxSlabSlots, strings and parsed child lists from chunks that do the same: a free-standing
// element costs one small slab, a document of millions of elements a few hundred blocks. A
// freed slot is marked by a null first word (a live element's virtual table pointer is never
// null) and goes to a free list.
class ElemArena {
public:
    // A document whose composed text is still to be written from this tree (see changing()).
    ComposeWatch* watch = nullptr;

    static ElemArena* create() { return new ElemArena(); }

    // The arena a slot belongs to, kept just after the element: operator delete gets the
    // address alone, once the element (and its arena pointer) is gone.
    static ElemArena* ownerOf(void* slot) {
        ElemArena* arena;
        std::memcpy(&arena, static_cast<char*>(slot) + kOwnerAt, sizeof arena);
        return arena;
    }

    void* allocSlot() {
        void* slot = m_free;
        if (slot) {
            std::memcpy(&m_free, static_cast<char*>(slot) + sizeof(void*), sizeof(void*));
        } else {
            if (m_slabs.empty() || m_slabs.back().used == m_slabs.back().capacity) addSlab();
            Slab& slab = m_slabs.back();
            slot = slab.slots.get() + slab.used++ * kSlot;
            ElemArena* self = this;
            std::memcpy(static_cast<char*>(slot) + kOwnerAt, &self, sizeof self);
        }
        ++m_live;
        return slot;
    }

    void freeSlot(void* slot) noexcept {
        void* none = nullptr;
        std::memcpy(slot, &none, sizeof none);
        std::memcpy(static_cast<char*>(slot) + sizeof(void*), &m_free, sizeof(void*));
        m_free = slot;
        release();
    }

    char* allocBytes(size_t bytes, size_t align) {
        size_t pad = (align - reinterpret_cast<uintptr_t>(m_bump) % align) % align;
        if (pad + bytes > m_left) {
            // Large requests get a chunk of their own so that the current one is not wasted.
            const size_t size = std::max(bytes + align, m_nextChunk);
            m_chunks.emplace_back(new char[size]);
            backNow(m_chunks.back().get(), size);
            if (size == m_nextChunk) {
                m_bump = m_chunks.back().get();
                m_left = size;
                m_nextChunk = std::min(m_nextChunk * 2, kMaxChunk);
            } else {
                char* own = m_chunks.back().get();
                pad = (align - reinterpret_cast<uintptr_t>(own) % align) % align;
                return own + pad;
            }
            pad = (align - reinterpret_cast<uintptr_t>(m_bump) % align) % align;
        }
        char* out = m_bump + pad;
        m_bump += pad + bytes;
        m_left -= pad + bytes;
        return out;
    }

    // See DOMElement::tearDownArena. Every element is pinned (one reference of the arena's own)
    // before any link to it is released, so nothing is freed while the slabs are walked; the
    // second walk drops the pins, which frees exactly the elements nobody else holds. Links into
    // other trees (setParent) are released last, in the ordinary way.
    void tearDown() {
        ++m_live;  // the arena outlives the walk even when every element goes
        const bool direct = orv::OrvReferenced::getDeleteHandler() == nullptr;
        if (direct && endUntouched()) {
            reshaped = true;
            release();
            return;
        }
        std::vector<orv::OrvPtr<DOMElement>> foreign;
        // The sum of the counts before pinning, less the links released, is what holds the
        // elements beyond their pins once the walk is done.
        long counted = 0;
        size_t released = 0;
        const auto pin = [&](DOMElement* e) {
            if (e->m_pinned) return;
            e->m_pinned = true;
            counted += e->referenceCount();
            e->ref();
        };
        const auto take = [&](orv::OrvPtr<DOMElement>& link) {
            DOMElement* target = link.get();
            if (!target) return;
            if (target->m_arena != this) {
                foreign.push_back(std::move(link));
                return;
            }
            pin(target);
            link = nullptr;
            ++released;
        };
        forEachLive([&](DOMElement* e) {
            pin(e);
            for (uint32_t i = 0; i < e->m_childCount; ++i) take(e->m_children[i]);
            e->m_childCount = 0;
            e->freeChildren();
            take(e->parent);
            take(e->nextSibling);
            take(e->prevSibling);
        });
        // With no delete handler installed, an element whose pin is its last reference is
        // destroyed here directly: it has no links left, and its slot goes back without the
        // virtual deleting destructor's detour.
        reshaped = true;
        if (direct && endAllButRoot(counted - static_cast<long>(released))) {
            foreign.clear();
            release();
            return;
        }
        forEachLive([&](DOMElement* e) {
            if (!e->m_pinned) return;
            e->m_pinned = false;
            if (direct && e->referenceCount() == 1) {
                e->DOMElement::~DOMElement();
                freeSlot(e);
            } else {
                orv::OrvPtr<DOMElement>::adopt(e);  // released at once
            }
        });
        foreign.clear();
        release();
    }

    DOMElement* root = nullptr;  // the element the arena was made for, not counted
    size_t heapBlocks = 0;       // strings, texts and child lists of its elements on the heap
    bool reshaped = false;       // an element was removed, re-parented or had its links cleared

private:
    static constexpr size_t kOwnerAt = sizeof(DOMElement);
    static constexpr size_t kSlot = (kOwnerAt + sizeof(void*) + alignof(DOMElement) - 1) /
                                    alignof(DOMElement) * alignof(DOMElement);
    static constexpr size_t kFirstSlabSlots = 8;
    static constexpr size_t kMaxSlabSlots = 8192;  // 768 KiB: few blocks, little left unused
    static constexpr size_t kFirstChunk = 256;
    static constexpr size_t kMaxChunk = 1 << 20;

    struct Slab {
        std::unique_ptr<unsigned char[]> slots;
        size_t capacity;
        size_t used;
    };

    ElemArena() = default;

    void addSlab() {
        const size_t slots = m_slabs.empty() ? kFirstSlabSlots
                                             : std::min(m_slabs.back().capacity * 2, kMaxSlabSlots);
        m_slabs.reserve(m_slabs.size() + 1);
        // operator new[] of unsigned char gives memory aligned for any ordinary type.
        m_slabs.push_back(
            Slab{std::unique_ptr<unsigned char[]>(new unsigned char[slots * kSlot]), slots, 0});
        backNow(m_slabs.back().slots.get(), slots * kSlot);
    }

    // A large block is filled from start to end while a document loads: memory for all of it
    // in one call costs less than a fault per page.
    static void backNow(void* block, size_t bytes) {
        if (bytes >= kBackedBytes) orv::prepareLargeBlock(block, bytes);
    }
    static constexpr size_t kBackedBytes = 64 << 10;

    // The common end of a document: once the links are cleared, nothing but the root is held
    // (`extra` references beyond the pins, all of them the root's) and no element but the root
    // owns heap memory. The other elements then need no destructor of their own: their slabs go
    // back whole and the live-object count is told at once. False, touching nothing, otherwise.
    bool endAllButRoot(long extra) {
        DOMElement* r = root;
        if (!r || m_slabs.empty() || static_cast<void*>(m_slabs[0].slots.get()) != r) return false;
        const size_t rootHeap =
            size_t{r->m_heapStrings} + size_t{r->m_heapText} + (r->m_childCapacity ? 1 : 0);
        if (extra != r->referenceCount() - 1 || heapBlocks != rootHeap) return false;
        dropAllButRoot();
        r->m_pinned = false;
        orv::OrvPtr<DOMElement>::adopt(r);  // the root's pin; whoever holds it keeps it
        return true;
    }

    // A tree that was only ever built up (loaded, children added; nothing removed, no parent
    // changed) holds, on each element but the root, exactly one reference for each link its
    // shape implies. When every count says so, nothing else holds any of them: one walk that
    // only reads proves it, and they go without a single link cleared.
    bool endUntouched() {
        DOMElement* r = root;
        if (reshaped || !r || m_slabs.empty() || static_cast<void*>(m_slabs[0].slots.get()) != r)
            return false;
        if (r->parent || r->prevSibling || r->nextSibling) return false;
        const size_t rootHeap =
            size_t{r->m_heapStrings} + size_t{r->m_heapText} + (r->m_childCapacity ? 1 : 0);
        if (heapBlocks != rootHeap) return false;
        bool held = false;
        forEachLive([&](DOMElement* e) {
            if (held || e == r) return;
            const long links = (e->parent ? 1 : 0) + (e->prevSibling ? 1 : 0) +
                               (e->nextSibling ? 1 : 0) + long{e->m_childCount};
            held = e->referenceCount() != links;
        });
        if (held) return false;
        orv::OrvPtr<DOMElement> keep(r);
        // The root's children end below without releasing their parent links: give the root
        // back one reference for each of them.
        const uint32_t children = r->m_childCount;
        for (uint32_t i = 0; i < children; ++i) r->m_children[i].release();
        r->m_childCount = 0;
        r->freeChildren();
        dropAllButRoot();
        for (uint32_t i = 0; i < children; ++i) orv::OrvPtr<DOMElement>::adopt(r);
        return true;
    }

    void dropAllButRoot() {
        const size_t others = m_live - 2;  // less the root and the walk's own hold
        m_slabs.resize(1);
        m_free = nullptr;
        Slab& first = m_slabs[0];
        for (size_t i = first.used; i-- > 1;) {
            unsigned char* slot = first.slots.get() + i * kSlot;
            void* none = nullptr;
            std::memcpy(slot, &none, sizeof none);
            std::memcpy(slot + sizeof(void*), &m_free, sizeof(void*));
            m_free = slot;
        }
        m_live -= others;
        orv::OrvReferenced::forgetObjects(static_cast<long>(others));
    }

    template <class Visit>
    void forEachLive(Visit&& visit) {
        for (size_t s = 0; s < m_slabs.size(); ++s) {
            unsigned char* at = m_slabs[s].slots.get();
            for (size_t i = 0, n = m_slabs[s].used; i < n; ++i, at += kSlot) {
                void* first;
                std::memcpy(&first, at, sizeof first);
                if (first) visit(std::launder(reinterpret_cast<DOMElement*>(at)));
            }
        }
    }

    void release() noexcept {
        if (--m_live == 0) delete this;
    }

    std::vector<Slab> m_slabs;
    void* m_free = nullptr;
    size_t m_live = 0;  // constructed elements, and one while a tear-down runs
    std::vector<std::unique_ptr<char[]>> m_chunks;
    char* m_bump = nullptr;
    size_t m_left = 0;
    size_t m_nextChunk = kFirstChunk;
};

}  // namespace orv::xml

using orv::xml::AttrPair;
using orv::xml::ElemArena;

namespace {

// Releases that an element's destruction would otherwise make recursively (children, siblings,
// parent) are queued and drained by the outermost destruction, so a chain of a million siblings
// or a million levels is freed in bounded stack.
struct ReleaseQueue {
    std::deque<orv::OrvPtr<DOMElement>> pending;
    bool draining = false;
};
thread_local ReleaseQueue t_releases;

void queueRelease(orv::OrvPtr<DOMElement>& link) {
    if (link) t_releases.pending.push_back(std::move(link));
}

}  // namespace

IOrvXmlElem::IOrvXmlElem() = default;
IOrvXmlElem::IOrvXmlElem(const IOrvXmlElem& other) : orv::OrvReferenced(other) {}
IOrvXmlElem::~IOrvXmlElem() = default;

void* DOMElement::operator new(size_t, ElemArena& arena) {
    return arena.allocSlot();
}

void DOMElement::operator delete(void* p, ElemArena& arena) {
    arena.freeSlot(p);
}

void DOMElement::operator delete(void* p) {
    ElemArena::ownerOf(p)->freeSlot(p);
}

DOMElement* DOMElement::create() {
    ElemArena* arena = ElemArena::create();
    DOMElement* e;
    try {
        e = new (*arena) DOMElement(arena);
    } catch (...) {
        delete arena;
        throw;
    }
    arena->root = e;
    return e;
}

DOMElement* DOMElement::create(DOMElement* parentElem) {
    if (!parentElem) return create();
    parentElem->changing();
    // Make room first: once links point here, nothing may throw.
    parentElem->growChildren(parentElem->m_childCount + 1);
    auto* e = new (*parentElem->m_arena) DOMElement(parentElem->m_arena);
    e->linkUnder(parentElem, parentElem->lastChild());
    parentElem->m_children[parentElem->m_childCount++] = e;
    return e;
}

DOMElement* DOMElement::makeParsed(DOMElement* parentElem, DOMElement* previous) {
    auto* e = new (*parentElem->m_arena) DOMElement(parentElem->m_arena);
    e->linkUnder(parentElem, previous);
    return e;
}

int DOMElement::setLevel(int newLevel) {
    changing();
    level = newLevel;
    return 0;
}

void DOMElement::changing() {
    if (orv::xml::ComposeWatch* w = m_arena->watch) {
        m_arena->watch = nullptr;
        w->treeChanging();
    }
}

bool DOMElement::watchTree(orv::xml::ComposeWatch* w) {
    if (m_arena->watch && m_arena->watch != w) return false;
    m_arena->watch = w;
    return true;
}

void DOMElement::unwatchTree(orv::xml::ComposeWatch* w) {
    if (m_arena->watch == w) m_arena->watch = nullptr;
}

void DOMElement::markReshaped() {
    m_arena->reshaped = true;
}

void DOMElement::linkUnder(DOMElement* parentElem, DOMElement* previous) {
    parent = parentElem;
    if (previous) {
        previous->nextSibling = this;
        prevSibling = previous;
    }
    level = parentElem->level + 1;
}

void DOMElement::appendParsed(DOMElement* const* kids, size_t count) {
    if (count == 0) return;
    changing();
    if (m_childCount == 0 && m_childCapacity == 0) {
        // The usual case: the whole list, once, at its size, in the arena.
        m_children = reinterpret_cast<orv::OrvPtr<DOMElement>*>(
            m_arena->allocBytes(count * sizeof(orv::OrvPtr<DOMElement>), alignof(void*)));
        for (size_t i = 0; i < count; ++i) new (&m_children[i]) orv::OrvPtr<DOMElement>(kids[i]);
        m_childCount = static_cast<uint32_t>(count);
        return;
    }
    growChildren(m_childCount + count);
    for (size_t i = 0; i < count; ++i) m_children[m_childCount++] = kids[i];
}

void DOMElement::growChildren(size_t wanted) {
    if (wanted <= m_childCapacity) return;
    if (wanted > UINT32_MAX / 2) throw std::length_error("too many children");
    const size_t capacity = std::max<size_t>({4, wanted, size_t{m_childCount} * 2});
    auto* list = new orv::OrvPtr<DOMElement>[capacity];
    for (uint32_t i = 0; i < m_childCount; ++i) list[i] = std::move(m_children[i]);
    freeChildren();
    m_children = list;
    m_childCapacity = static_cast<uint32_t>(capacity);
    ++m_arena->heapBlocks;
}

void DOMElement::freeChildren() {
    // Entries beyond the count are null; an arena list is given back with its arena.
    if (m_childCapacity) {
        delete[] m_children;
        --m_arena->heapBlocks;
    }
    m_children = nullptr;
    m_childCapacity = 0;
}

void DOMElement::freeStrings() {
    if (m_heapStrings) {
        delete[] m_strings;
        --m_arena->heapBlocks;
    }
    m_strings = nullptr;
    m_heapStrings = false;
}

void DOMElement::freeText() {
    if (m_heapText) {
        delete[] m_text;
        --m_arena->heapBlocks;
    }
    m_text = nullptr;
    m_heapText = false;
}

DOMElement::~DOMElement() {
    if (m_arena->root == this) m_arena->root = nullptr;
    freeStrings();
    freeText();
    if (!m_childCount && !prevSibling && !nextSibling && !parent) {
        freeChildren();
        return;  // the usual end of a torn-down tree: nothing to release
    }
    ReleaseQueue& q = t_releases;
    for (uint32_t i = 0; i < m_childCount; ++i) queueRelease(m_children[i]);
    m_childCount = 0;
    freeChildren();
    queueRelease(prevSibling);
    queueRelease(nextSibling);
    queueRelease(parent);
    if (!q.draining && !q.pending.empty()) {
        q.draining = true;
        while (!q.pending.empty()) {
            orv::OrvPtr<DOMElement> next = std::move(q.pending.front());
            q.pending.pop_front();
            next = nullptr;  // may destroy it, which queues its own links here
        }
        q.draining = false;
    }
}

void DOMElement::replaceStrings(std::string_view name, std::vector<AttrPair>& pairs, bool inArena) {
    changing();
    const size_t bytes = name.size() + 1 + orv::xml::pairBytes(pairs);
    if (bytes > UINT32_MAX) throw std::length_error("tag and attributes too long");
    char* block = inArena ? m_arena->allocBytes(bytes, 1) : new char[bytes];
    if (!name.empty()) std::memcpy(block, name.data(), name.size());
    block[name.size()] = '\0';
    orv::xml::writePairs(block + name.size() + 1, pairs);
    freeStrings();  // after the copy: `name` and `pairs` may point into the old block
    m_strings = block;
    m_heapStrings = !inArena;
    if (!inArena) ++m_arena->heapBlocks;
    m_attrsAt = static_cast<uint32_t>(name.size() + 1);
    m_attrCount = static_cast<uint32_t>(pairs.size());
    m_attrBytes = static_cast<uint32_t>(bytes - name.size() - 1);
}

void DOMElement::setTag(std::string_view name) {
    std::vector<AttrPair> pairs;
    pairs.reserve(m_attrCount);
    for (const auto& [n, v] : attrItems())
        pairs.push_back(AttrPair{n.data(), n.size(), v.data(), v.size()});
    replaceStrings(name, pairs, false);
}

void DOMElement::setParsedTag(std::string_view name, std::vector<AttrPair>& pairs) {
    orv::xml::sortAttrPairs(pairs);
    replaceStrings(name, pairs, true);
}

void DOMElement::setTextBytes(const char* bytes, size_t length) {
    changing();
    if (!bytes) {
        freeText();
        return;
    }
    char* copy = new char[length + 1];
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    freeText();
    m_text = copy;
    m_heapText = true;
    ++m_arena->heapBlocks;
}

void DOMElement::setParsedText(const char* bytes, size_t length) {
    changing();
    char* copy = m_arena->allocBytes(length + 1, 1);
    std::memcpy(copy, bytes, length);
    copy[length] = '\0';
    freeText();
    m_text = copy;
}

orv::OrvString DOMElement::getAttrText() {
    orv::OrvString out;
    for (const auto& [name, value] : attrItems()) {
        out += ' ';
        out += name;
        out += " =\"";
        out += value;
        out += '"';
    }
    return out;
}

const char* DOMElement::findAttr(const char* name) const {
    return orv::xml::findIn(attrItems(), name);
}

orv::OrvString DOMElement::getAttr(const orv::OrvString& name) {
    std::string value;
    getAttr(name.c_str(), value);
    return value;
}

int DOMElement::setAttr(const orv::OrvString& name, const orv::OrvString& value) {
    setAttr(name.c_str(), value.c_str());
    return 0;
}

void DOMElement::setAttr(const char* name, const char* value) {
    if (!name || !value) return;
    std::vector<AttrPair> pairs;
    pairs.reserve(m_attrCount + 1);
    pairs.push_back(AttrPair{name, std::strlen(name), value, std::strlen(value)});
    for (const auto& [n, v] : attrItems())
        pairs.push_back(AttrPair{n.data(), n.size(), v.data(), v.size()});
    orv::xml::sortAttrPairs(pairs);  // stable: the new value, first, wins
    replaceStrings(std::string_view(tag(), tagSize()), pairs, false);
}

void DOMElement::getAttr(const char* name, std::string& out) const {
    out.clear();
    if (!name) return;
    if (const char* value = findAttr(name)) out = value;
}

int DOMElement::setTagName(const orv::OrvString& name) {
    setTag(name.c_str());
    return 0;
}

int DOMElement::setParent(IOrvXmlElem* newParent) {
    auto* p = dynamic_cast<DOMElement*>(newParent);
    if (!p) return -1;
    m_arena->reshaped = true;
    p->m_arena->reshaped = true;
    parent = p;
    return 0;
}

namespace {

// Indentation stops growing at this depth: four spaces a level on two lines an element would
// make a document nested 100,000 deep (700 KB of text) compose to 40 GB.
constexpr int kMaxIndentLevel = 64;

size_t indentSize(int level) {
    return level > 0 ? static_cast<size_t>(std::min(level, kMaxIndentLevel)) * 4 : 0;
}

// Names and values are mostly a few bytes: copied in place rather than by a library call.
char* put(char* p, const char* bytes, size_t n) {
    if (n >= 8 && n <= 16) {
        std::memcpy(p, bytes, 8);
        std::memcpy(p + n - 8, bytes + n - 8, 8);
    } else if (n >= 4 && n < 8) {
        std::memcpy(p, bytes, 4);
        std::memcpy(p + n - 4, bytes + n - 4, 4);
    } else if (n < 4) {
        for (size_t i = 0; i < n; ++i) p[i] = bytes[i];
    } else {
        std::memcpy(p, bytes, n);
    }
    return p + n;
}

char* putIndent(char* p, int level) {
    const size_t n = indentSize(level);
    std::memset(p, ' ', n);
    return p + n;
}

// Attribute names and values are mostly a few bytes: counted in place before a library call.
size_t shortLength(const char* s) {
    for (size_t n = 0; n < 16; ++n)
        if (s[n] == '\0') return n;
    return 16 + std::strlen(s + 16);
}

size_t textLength(const DOMElement* e) {
    const char* text = e->textPtr();
    return text ? std::strlen(text) : 0;
}

// The start tag and the text (`textBytes` long) or a line end.
char* writeOpen(char* p, const DOMElement* e, size_t textBytes) {
    p = putIndent(p, e->level);
    *p++ = '<';
    p = put(p, e->tag(), e->tagSize());
    const orv::xml::AttrRange attrs = e->attrItems();
    const char* at = attrs.data;
    for (uint32_t i = 0; i < attrs.count; ++i) {
        const size_t name = shortLength(at);
        *p++ = ' ';
        p = put(p, at, name);
        p = put(p, " =\"", 3);
        at += name + 1;
        const size_t value = shortLength(at);
        p = put(p, at, value);
        *p++ = '"';
        at += value + 1;
    }
    *p++ = '>';
    if (const char* text = e->textPtr()) return put(p, text, textBytes);
    return put(p, "\r\n", 2);
}

char* writeClose(char* p, const DOMElement* e) {
    if (!e->hasText()) p = putIndent(p, e->level);
    p = put(p, "</", 2);
    p = put(p, e->tag(), e->tagSize());
    return put(p, ">\r\n", 3);
}

}  // namespace

size_t DOMElement::xmlSize() const {
    size_t total = 0;
    std::vector<const DOMElement*> stack{this};
    while (!stack.empty()) {
        const DOMElement* e = stack.back();
        stack.pop_back();
        // "<tag", each ` name ="value"` (the pair's bytes and three more), ">", "</tag>\r\n",
        // and the text or a line end with a second indentation.
        total += 2 * e->tagSize() + 7 + e->m_attrBytes + 3 * size_t{e->m_attrCount};
        total += e->m_text ? indentSize(e->level) + std::strlen(e->m_text)
                           : 2 * indentSize(e->level) + 2;
        for (uint32_t i = e->m_childCount; i > 0; --i) stack.push_back(e->childAt(i - 1));
    }
    return total;
}

int DOMElement::writeXml(orv::OrvString& out) {
    // Sized first and written in place: a text of many megabytes is written once, never moved
    // as it grows. xmlSize counts exactly what the writers below put down.
    const size_t at = out.size();
    out.resize(at + xmlSize());
    char* p = &out[0] + at;
    // An explicit stack of (element, next child): nesting depth costs heap, not call stack.
    struct Frame {
        const DOMElement* elem;
        size_t next;
    };
    std::vector<Frame> stack;
    p = writeOpen(p, this, textLength(this));
    stack.push_back({this, 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.elem->m_childCount) {
            const DOMElement* child = f.elem->childAt(f.next++);
            p = writeOpen(p, child, textLength(child));
            stack.push_back({child, 0});
        } else {
            p = writeClose(p, f.elem);
            stack.pop_back();
        }
    }
    return 0;
}

void DOMElement::writeXmlPieces(size_t piece, orv::xml::PieceWriter put, void* context) const {
    std::string buffer(std::max<size_t>(piece, 1), '\0');
    size_t used = 0;
    // Room for `n` more bytes, the full part handed on first; what the writers below put down
    // is counted exactly as in xmlSize.
    const auto room = [&](size_t n) {
        if (used + n > buffer.size()) {
            if (used > 0) put(context, buffer.data(), used);
            used = 0;
            if (n > buffer.size()) buffer.resize(n);
        }
        return &buffer[used];
    };
    const auto openSize = [](const DOMElement* e, size_t textBytes) {
        return indentSize(e->level) + 2 + e->tagSize() + e->m_attrBytes +
               3 * size_t{e->m_attrCount} + (e->m_text ? textBytes : 2);
    };
    const auto wrote = [&](char* end) { used = static_cast<size_t>(end - buffer.data()); };
    const auto writeStart = [&](const DOMElement* e) {
        const size_t textBytes = textLength(e);
        wrote(writeOpen(room(openSize(e, textBytes)), e, textBytes));
    };
    const auto closeSize = [](const DOMElement* e) {
        return (e->m_text ? 0 : indentSize(e->level)) + e->tagSize() + 5;
    };
    struct Frame {
        const DOMElement* elem;
        size_t next;
    };
    std::vector<Frame> stack;
    writeStart(this);
    stack.push_back({this, 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.elem->m_childCount) {
            const DOMElement* child = f.elem->childAt(f.next++);
            writeStart(child);
            stack.push_back({child, 0});
        } else {
            wrote(writeClose(room(closeSize(f.elem)), f.elem));
            stack.pop_back();
        }
    }
    if (used > 0) put(context, buffer.data(), used);
}

DOMElement* DOMElement::addChild(const char* tagName, const char* textValue) {
    if (!tagName) return nullptr;
    DOMElement* child = create(this);
    child->setTag(tagName);
    if (textValue) child->setTextCString(textValue);
    return child;
}

IOrvXmlElem* DOMElement::addChild(const orv::OrvString& tagName, const orv::OrvString& textValue) {
    return addChild(tagName.c_str(), textValue.c_str());
}

IOrvXmlElem* DOMElement::appendChild(const orv::OrvString& tagName,
                                     const orv::OrvString& textValue) {
    return addChild(tagName.c_str(), textValue.c_str());
}

orv::OrvXmlElemArray* DOMElement::getChildrenByTag(const orv::OrvString& tagName) {
    orv::OrvXmlElemArray* array = orv::newOrvXmlElemArray();
    if (!array) return nullptr;
    const char* wanted = tagName.c_str();
    for (uint32_t i = 0; i < m_childCount; ++i)
        if (childAt(i)->tagIs(wanted)) array->pushBack(childAt(i));
    return array;
}

orv::OrvXmlElemArray* DOMElement::getChildren() {
    orv::OrvXmlElemArray* array = orv::newOrvXmlElemArray();
    if (!array) return nullptr;
    for (uint32_t i = 0; i < m_childCount; ++i) array->pushBack(childAt(i));
    return array;
}

IOrvXmlElem* DOMElement::findChild(const orv::OrvString& tagName, bool recursive) {
    const std::string_view wanted = tagName.c_str();
    if (!recursive) {
        for (uint32_t i = 0; i < m_childCount; ++i)
            if (childAt(i)->tagIs(wanted)) return childAt(i);
        return nullptr;
    }
    struct Frame {
        const DOMElement* elem;
        size_t next;
    };
    std::vector<Frame> stack{{this, 0}};
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.elem->m_childCount) {
            DOMElement* child = f.elem->childAt(f.next++);
            if (child->tagIs(wanted)) return child;
            stack.push_back({child, 0});
        } else {
            stack.pop_back();
        }
    }
    return nullptr;
}

IOrvXmlElem* DOMElement::getChild(int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_childCount) return nullptr;
    return childAt(static_cast<size_t>(index));
}

IOrvXmlElem* DOMElement::getOrAddChild(const char* tagName) {
    if (!tagName) return nullptr;
    for (uint32_t i = 0; i < m_childCount; ++i)
        if (childAt(i)->tagIs(tagName)) return childAt(i);
    return addChild(tagName, "");
}

bool DOMElement::hasChild(const char* tagName) {
    if (!tagName) return false;
    for (uint32_t i = 0; i < m_childCount; ++i)
        if (childAt(i)->tagIs(tagName)) return true;
    return false;
}

int DOMElement::removeChild(const char* tagName) {
    if (!tagName) return -1;
    for (uint32_t i = 0; i < m_childCount; ++i)
        if (childAt(i)->tagIs(tagName)) return removeChildAt(static_cast<int>(i));
    return -1;
}

int DOMElement::removeChildAt(int index) {
    if (index < 0 || static_cast<size_t>(index) >= m_childCount) return -1;
    changing();
    m_arena->reshaped = true;
    // Take the entry out before releasing it, so the list is whole if that release frees things.
    orv::OrvPtr<DOMElement> removed = std::move(m_children[index]);
    for (uint32_t i = static_cast<uint32_t>(index); i + 1 < m_childCount; ++i)
        m_children[i] = std::move(m_children[i + 1]);
    --m_childCount;
    removed = nullptr;
    return static_cast<int>(m_childCount);
}

int DOMElement::removeAllChildren() {
    changing();
    m_arena->reshaped = true;
    std::vector<orv::OrvPtr<DOMElement>> old;
    old.reserve(m_childCount);
    for (uint32_t i = 0; i < m_childCount; ++i) old.push_back(std::move(m_children[i]));
    m_childCount = 0;
    freeChildren();
    for (auto& child : old) child = nullptr;  // first to last
    return 0;
}

int DOMElement::traverse(orv::xml::ElemVisitor visit, orv::xml::ElemQuery* query) {
    if (!visit) return 0;
    if (int r = visit(this, query)) return r;
    // Counted frames: a visitor may change the tree it is walking.
    struct Frame {
        orv::OrvPtr<DOMElement> elem;
        size_t next;
    };
    std::vector<Frame> stack;
    stack.push_back({orv::OrvPtr<DOMElement>(this), 0});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.elem->m_childCount) {
            orv::OrvPtr<DOMElement> child = f.elem->childAt(f.next++);
            if (int r = visit(child.get(), query)) return r;
            stack.push_back({std::move(child), 0});
        } else {
            stack.pop_back();
        }
    }
    return 0;
}

void DOMElement::tearDown(DOMElement* top) {
    if (!top) return;
    top->changing();
    top->m_arena->reshaped = true;
    // Every element taken off the stack is held by it, so clearing links frees nothing that is
    // still to be visited; an element freed here has no links left to release.
    std::vector<orv::OrvPtr<DOMElement>> stack;
    stack.emplace_back(top);
    while (!stack.empty()) {
        orv::OrvPtr<DOMElement> e = std::move(stack.back());
        stack.pop_back();
        for (uint32_t i = 0; i < e->m_childCount; ++i) stack.push_back(std::move(e->m_children[i]));
        e->m_childCount = 0;
        e->freeChildren();
        // Sibling links reach children removed from a list, which nothing else would free.
        if (e->nextSibling) stack.push_back(std::move(e->nextSibling));
        if (e->prevSibling) stack.push_back(std::move(e->prevSibling));
        e->parent = nullptr;
    }
}

void DOMElement::tearDownArena(DOMElement* member) {
    if (!member) return;
    member->changing();
    member->m_arena->tearDown();
}

bool DOMElement::startedArena(const DOMElement* e) {
    return e && e->m_arena->root == e;
}

int orv::xml::matchTag(DOMElement* elem, ElemQuery* query) {
    if (!elem || !query || !elem->tagIs(query->tag)) return 0;
    query->found = elem;
    return 1;
}

int orv::xml::matchTagAttr(DOMElement* elem, ElemQuery* query) {
    if (!elem || !query || !elem->tagIs(query->tag)) return 0;
    const char* value = elem->findAttr(query->attrName.c_str());
    if (query->attrValue != (value ? value : "")) return 0;
    query->found = elem;
    return 1;
}

IOrvXmlElem* newOrvXmlElem() {
    try {
        return DOMElement::create();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace orv {

int releaseXmlTree(IOrvXmlElem* elem) {
    auto* e = dynamic_cast<DOMElement*>(elem);
    if (!e) return -1;
    // A tree's first element stands for the whole tree, removed elements included.
    if (DOMElement::startedArena(e))
        DOMElement::tearDownArena(e);
    else
        DOMElement::tearDown(e);
    return 0;
}

}  // namespace orv
