#include <gtest/gtest.h>

#include <malloc.h>

#include <functional>
#include <random>

#include "OrvXmlPack.h"

#include "tests/xml/XmlTestSupport.h"

using orvtest::captureStdout;
using orvtest::newDocument;

namespace {

class DocumentTest : public orvtest::CountedTest {};

std::string readText(const std::string& path) {
    const auto bytes = orvtest::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Tag names, attributes and texts of a subtree, for comparing trees across a round trip.
std::string shape(const DOMElement* e, bool withAttrs = true) {
    std::string s = e->tag();
    if (withAttrs)
        for (const auto& [n, v] : e->attrItems())
            s += "[" + std::string(n) + "=" + std::string(v) + "]";
    if (e->hasText()) s += "=" + std::string(e->textPtr());
    s += "{";
    for (size_t i = 0; i < e->childCount(); ++i) s += shape(e->childAt(i)) + ",";
    return s + "}";
}

}  // namespace

TEST_F(DocumentTest, NewDocumentComposesAnEmptyRoot) {
    auto doc = newDocument();
    EXPECT_EQ(doc->getString(), "");
    EXPECT_EQ(doc->getVersion(), "1.0");
    ASSERT_NE(doc->getRoot(), nullptr);
    EXPECT_EQ(doc->getRoot()->getTagName(), "");
    EXPECT_EQ(doc->getRootImp(), doc->getRoot());
    EXPECT_EQ(doc->buildString(doc->getRoot()), 0);
    EXPECT_EQ(doc->getString(), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<>\r\n</>\r\n");
    EXPECT_EQ(doc->buildString(nullptr), -1);
    EXPECT_EQ(doc->getString(), "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n<>\r\n</>\r\n");
    EXPECT_EQ(doc->walkElements(nullptr, doc->getRootImp(), nullptr), -1);
    ElemQuery q;
    EXPECT_EQ(doc->walkElements(matchTag, nullptr, &q), -1);
}

TEST_F(DocumentTest, ComposesTheWorkedExampleExactly) {
    auto doc = newDocument();
    DOMElement* r = doc->getRootImp();
    r->setTagName("r");
    r->setAttr("b", "2");
    r->setAttr("a", "1");
    r->addChild("x", "t");
    DOMElement* y = r->addChild("y", nullptr);
    DOMElement* z = y->addChild("z", nullptr);
    EXPECT_EQ(doc->buildText(nullptr), 0);
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n"
        "<r a =\"1\" b =\"2\">\r\n"
        "    <x>t</x>\r\n"
        "    <y>\r\n"
        "        <z>\r\n"
        "        </z>\r\n"
        "    </y>\r\n"
        "</r>\r\n";
    EXPECT_EQ(doc->copyText(), expected);
    EXPECT_EQ(doc->cursor, 0u);
    // A subtree keeps its stored levels.
    doc->buildString(z);
    EXPECT_EQ(doc->getString(),
              "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n        <z>\r\n        </z>\r\n");
    ElemQuery q;
    q.tag = "z";
    EXPECT_EQ(doc->walkElements(matchTag, r, &q), 1);
    EXPECT_EQ(q.found, z);
    q.tag = "r";
    EXPECT_EQ(doc->walkElements(matchTag, r, &q), 1);
    EXPECT_EQ(q.found, r);
}

TEST_F(DocumentTest, DeclarationOfTheLastLoadIsWrittenBack) {
    auto doc = newDocument();
    ASSERT_EQ(doc->loadString("<?xml version=\"1.1\" encoding=\"UTF-8\"?>\n<r></r>", 0), 0);
    doc->buildText(nullptr);
    EXPECT_EQ(doc->getString().substr(0, 40), "<?xml version=\"1.1\" encoding=\"UTF-8\"?>\r\n");
    ASSERT_EQ(doc->loadString("<r></r>", 0), 0);
    doc->buildText(nullptr);
    EXPECT_EQ(doc->getString().substr(0, 40), "<?xml version=\"1.1\" encoding=\"UTF-8\"?>\r\n");
}

TEST_F(DocumentTest, PresentEmptyTextIsReadBackAsNoText) {
    auto doc = newDocument();
    doc->getRootImp()->setTagName("r");
    doc->getRootImp()->addChild("x", "");
    doc->buildText(nullptr);
    EXPECT_NE(doc->getString().find("    <x></x>\r\n"), std::string::npos);
    auto back = newDocument();
    ASSERT_EQ(back->loadString(doc->getString(), 0), 0);
    back->buildText(nullptr);
    EXPECT_NE(back->getString().find("    <x>\r\n    </x>\r\n"), std::string::npos);
}

TEST_F(DocumentTest, SaveFileReportsWhatHappened) {
    orvtest::TempDir dir;
    auto doc = newDocument();
    EXPECT_EQ(doc->saveFile(dir.path("empty.xml").c_str()), 0);
    EXPECT_EQ(readText(dir.path("empty.xml")), "");
    const std::string text = "<r>\r\n<a/></r>";
    ASSERT_EQ(doc->loadString(text, 0), 0);
    doc->getRootImp()->addChild("later", "x");  // the loaded text is saved as it was
    EXPECT_EQ(doc->saveFile(dir.path("loaded.xml").c_str()), 0);
    EXPECT_EQ(readText(dir.path("loaded.xml")), text);
    EXPECT_EQ(doc->saveFile(dir.path("no/such/folder.xml").c_str()), -1);
    EXPECT_EQ(doc->saveFile(nullptr), -1);
    EXPECT_EQ(doc->saveFile("/dev/full"), -1);  // a full disk
}

TEST_F(DocumentTest, RealDocumentsLoadAndComposeToWellFormedText) {
    if (orvtest::xmlDataDir().empty()) GTEST_SKIP() << "shared XML samples not found";
    orvtest::TempDir dir;
    const struct {
        const char* file;
        const char* rootTag;
    } cases[] = {
        {"project.xml", "TerrainProject"},
        {"metadata.xml", "metadata"},
        {"gb2312.xml", "\xb9\xa4\xb3\xcc"},
    };
    for (const auto& c : cases) {
        const std::string path = orvtest::xmlDataDir() + "/" + c.file;
        auto doc = newDocument();
        std::string printed = captureStdout([&] { EXPECT_EQ(doc->loadFile(path), 0) << c.file; });
        EXPECT_EQ(printed, "");
        EXPECT_EQ(doc->getString(), readText(path));
        EXPECT_STREQ(doc->getRootImp()->tag(), c.rootTag);
        doc->buildText(nullptr);
        const std::string out = dir.path(std::string("out-") + c.file);
        ASSERT_EQ(doc->saveFile(out.c_str()), 0);
        const auto lint =
            orvtest::runCommand("xmllint --noout " + orvtest::shellQuote(out) + " 2>&1");
        EXPECT_EQ(lint.status, 0) << c.file << ": " << lint.out;
        auto back = newDocument();
        ASSERT_EQ(back->loadFile(out), 0);
        EXPECT_EQ(shape(back->getRootImp(), false).size() > 0, true);
        EXPECT_EQ(back->getRootImp()->getChildCount(), doc->getRootImp()->getChildCount())
            << c.file;
    }
    auto project = newDocument();
    project->loadFile(orvtest::xmlDataDir() + "/project.xml");
    IOrvXmlElem* tile = project->getRootImp()->findChild("Tile", true);
    ASSERT_NE(tile, nullptr);
    EXPECT_EQ(tile->getAttr("points"), "439563");
    EXPECT_EQ(tile->findChild("File", false)->getText(), "tiles/ground_0_0.las");
}

TEST_F(DocumentTest, ComposedTreesAreWellFormedAndReadBackTheSame) {
    orvtest::TempDir dir;
    std::mt19937 rng(20261207);
    const char* names[] = {"a", "bb", "Tile", "p:q", "x-1", "y.2", "_z"};
    for (int round = 0; round < 20; ++round) {
        auto doc = newDocument();
        DOMElement* root = doc->getRootImp();
        root->setTagName("root");
        std::vector<DOMElement*> open{root};
        const int count = 1 + static_cast<int>(rng() % 60);
        for (int i = 0; i < count; ++i) {
            DOMElement* parent = open[rng() % open.size()];
            if (parent->hasText()) parent = root;  // texts only on leaves
            DOMElement* e = parent->addChild(names[rng() % 7], nullptr);
            for (unsigned k = rng() % 4; k > 0; --k)
                e->setAttr(names[rng() % 7], std::to_string(rng() % 1000).c_str());
            if (rng() % 3 == 0)
                e->setTextCString(("t" + std::to_string(rng() % 100) + " x").c_str());
            else
                open.push_back(e);
        }
        doc->buildText(nullptr);
        EXPECT_EQ(doc->getString().size(), 41 + root->xmlSize());  // the declaration, then the tree
        const std::string path = dir.path("round.xml");
        ASSERT_EQ(doc->saveFile(path.c_str()), 0);
        const auto lint =
            orvtest::runCommand("xmllint --noout " + orvtest::shellQuote(path) + " 2>&1");
        EXPECT_EQ(lint.status, 0) << lint.out;
        auto back = newDocument();
        ASSERT_EQ(back->loadString(doc->getString(), 0), 0);
        // Texts given to elements that got children later are not made here, so shapes match.
        EXPECT_EQ(shape(back->getRootImp()), shape(root)) << doc->getString();
    }
}

TEST_F(DocumentTest, ReleasedDocumentsFreeTheirTrees) {
    const long before = orv::OrvReferenced::liveObjects();
    const std::string text = "<r><a x=\"1\"><b>t</b><b/></a><c/></r>";
    for (int i = 0; i < 10000; ++i) {
        auto doc = newDocument();
        doc->loadString(text, 0);
        doc->loadString(text, 0);
        doc->getRootImp()->removeChildAt(0);  // removed, yet reachable through its sibling
    }
    EXPECT_EQ(orv::OrvReferenced::liveObjects(), before);

    // An element the caller holds survives its document, with its links cleared.
    orv::OrvPtr<IOrvXmlElem> kept;
    {
        auto doc = newDocument();
        doc->loadString(text, 0);
        kept = doc->getRootImp()->findChild("b", true);
    }
    EXPECT_EQ(kept->getText(), "t");
    EXPECT_EQ(kept->getParent(), nullptr);
    EXPECT_EQ(kept->getNextSibling(), nullptr);
    EXPECT_EQ(orv::OrvReferenced::liveObjects(), before + 1);
}

TEST_F(DocumentTest, ReleasingFreesEveryElementRemovedFromTheTree) {
    const std::string text = "<r><a x=\"1\"><b>t</b><b/></a><c/><d>u</d></r>";
    const auto emptyAll = [](IOrvXmlElem* root) {
        for (int i = 0; i < root->getChildCount(); ++i) root->getChild(i)->removeAllChildren();
        root->removeAllChildren();
    };
    const struct {
        const char* how;
        std::function<void()> round;
    } cases[] = {
        {"removeAllChildren",
         [&] {
             auto doc = newDocument();
             doc->loadString(text, 0);
             emptyAll(doc->getRoot());
         }},
        {"removeChildAt, one by one",
         [&] {
             auto doc = newDocument();
             doc->loadString(text, 0);
             doc->getRoot()->addChild("e", "");
             while (doc->getRoot()->removeChildAt(0) > 0) {
             }
         }},
        {"packet",
         [&] {
             orv::OrvPtr<IOrvXmlPack> pack(newOrvXmlPack());
             pack->loadString(text, 0);
             pack->findElem("/r/b");
             emptyAll(pack->getDoc()->getRoot());
         }},
        {"free-standing tree",
         [&] {
             orv::OrvPtr<IOrvXmlElem> root(newOrvXmlElem());
             root->addChild("a", "")->addChild("b", "t");
             root->addChild("c", "");
             emptyAll(root.get());
             orv::releaseXmlTree(root.get());
         }},
    };
    for (const auto& c : cases) {
        const long live = orv::OrvReferenced::liveObjects();
        c.round();  // the allocator settles
        const size_t heap = mallinfo2().uordblks;
        for (int i = 0; i < 10000; ++i) c.round();
        EXPECT_EQ(orv::OrvReferenced::liveObjects(), live) << c.how;
        EXPECT_LT(mallinfo2().uordblks, heap + (64 << 10)) << c.how;
    }

    // A removed element the caller holds outlives its document, links cleared.
    orv::OrvPtr<IOrvXmlElem> kept;
    {
        auto doc = newDocument();
        doc->loadString(text, 0);
        kept = doc->getRoot()->getChild(0);
        emptyAll(doc->getRoot());
    }
    EXPECT_EQ(kept->getTagName(), "a");
    EXPECT_EQ(kept->getAttr("x"), "1");
    EXPECT_EQ(kept->getParent(), nullptr);
    EXPECT_EQ(kept->getChildCount(), 0);

    // Held in a tree nobody changed: by the caller, or by an element array.
    orv::OrvPtr<IOrvXmlElem> leaf;
    orv::OrvPtr<orv::OrvXmlElemArray> children;
    {
        auto doc = newDocument();
        doc->loadString(text, 0);
        leaf = doc->getRoot()->getChild(0)->getChild(0);
        children = doc->getRoot()->getChildren();
    }
    EXPECT_EQ(leaf->getText(), "t");
    EXPECT_EQ(leaf->getParent(), nullptr);
    ASSERT_EQ(children->size(), 3);
    EXPECT_EQ(children->at(2)->getText(), "u");
    EXPECT_EQ(children->at(0)->getChildCount(), 0);
}

TEST_F(DocumentTest, ReleasedElementsGoThroughAnInstalledDeleteHandler) {
    struct Counting : orv::DeleteHandler {
        int seen = 0;
        void requestDelete(const orv::OrvReferenced* object) override {
            ++seen;
            doDelete(object);
        }
    } handler;
    orv::OrvReferenced::setDeleteHandler(&handler);
    {
        auto doc = newDocument();
        doc->loadString("<r><a/><b><c/></b></r>", 0);
        doc->getRoot()->removeChildAt(0);
    }
    orv::OrvReferenced::setDeleteHandler(nullptr);
    EXPECT_EQ(handler.seen, 5);  // the document, its root, a, b and c
}

namespace {

const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"GB2312\"?>\r\n";

// What composing `elem` must give, written at once into memory.
std::string composedNow(DOMElement* elem) {
    std::string text = kDeclaration;
    elem->writeXml(text);
    return text;
}

std::string nestedText(int depth, const std::string& leafText) {
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "<n" + std::to_string(i) + " k=\"" + std::to_string(i) + "\">";
    text += leafText;
    for (int i = depth - 1; i >= 0; --i) text += "</n" + std::to_string(i) + ">";
    return text;
}

}  // namespace

// A save composes in pieces as it writes; the file must hold the very bytes composed in memory.
TEST_F(DocumentTest, SavedFilesHoldTheComposedText) {
    std::string siblings = "<r>";
    for (int i = 0; i < 20000; ++i)
        siblings += "<s i=\"" + std::to_string(i) + "\" j='x'>" + std::to_string(i) + "</s><e/>";
    siblings += "</r>";
    const struct {
        const char* name;
        std::string text;  // empty: a new document
        int subtreeDepth;  // compose the element this deep on the first-child path
    } cases[] = {
        {"new document", "", 0},
        {"siblings over several pieces", siblings, 0},
        {"nesting beyond the indentation cap", nestedText(300, "deep"), 0},
        {"a text longer than a piece", nestedText(3, std::string(600000, 'y')), 0},
        {"a subtree two levels down", nestedText(40, "t"), 2},
    };
    orvtest::TempDir dir;
    const std::string path = dir.path("saved.xml");
    for (const auto& c : cases) {
        auto doc = newDocument();
        if (!c.text.empty()) {
            ASSERT_EQ(doc->loadString(c.text, 0), 0) << c.name;
        }
        DOMElement* elem = doc->getRootImp();
        for (int i = 0; i < c.subtreeDepth; ++i) elem = elem->childAt(0);
        const std::string expected = composedNow(elem);
        ASSERT_EQ(doc->buildString(elem), 0);
        EXPECT_EQ(doc->saveFile(path.c_str()), 0) << c.name;
        EXPECT_EQ(readText(path), expected) << c.name;
        EXPECT_EQ(doc->getString(), expected) << c.name;
        EXPECT_EQ(doc->saveFile(path.c_str()), 0) << c.name;  // now from the text held
        EXPECT_EQ(readText(path), expected) << c.name;
    }
    // Another tree's level set below zero writes no indentation.
    auto doc = newDocument();
    ASSERT_EQ(doc->loadString("<r><a><b/></a></r>", 0), 0);
    doc->getRootImp()->childAt(0)->setLevel(-3);
    const std::string expected = composedNow(doc->getRootImp());
    ASSERT_EQ(doc->buildString(doc->getRoot()), 0);
    EXPECT_EQ(doc->saveFile(path.c_str()), 0);
    EXPECT_EQ(readText(path), expected);
}

// The text is that of the tree when it was composed, whatever changes the tree afterwards.
TEST_F(DocumentTest, ChangesAfterComposingLeaveTheComposedText) {
    const std::string source = "<r><a k=\"1\"><b>t</b><c/></a><d/></r>";
    const struct {
        const char* name;
        std::function<void(orv::OrvPtr<DOMDocument>&)> change;
    } cases[] = {
        {"attribute", [](auto& d) { d->getRootImp()->childAt(0)->setAttr("k", "2"); }},
        {"tag", [](auto& d) { d->getRootImp()->childAt(0)->setTagName("z"); }},
        {"level", [](auto& d) { d->getRootImp()->childAt(1)->setLevel(7); }},
        {"text", [](auto& d) { d->getRootImp()->childAt(0)->childAt(0)->setTextCString("u"); }},
        {"new child", [](auto& d) { d->getRootImp()->childAt(0)->addChild("n", "v"); }},
        {"removed child", [](auto& d) { d->getRootImp()->removeChildAt(1); }},
        {"all children", [](auto& d) { d->getRootImp()->childAt(0)->removeAllChildren(); }},
        {"released subtree",
         [](auto& d) { orv::releaseXmlTree(d->getRootImp()->childAt(0)->childAt(0)); }},
        {"a further load", [](auto& d) { d->loadString("<r><more/></r>", 0); }},
        {"the tree's document released", [](auto& d) { d = nullptr; }},
    };
    orvtest::TempDir dir;
    const std::string path = dir.path("saved.xml");
    for (const auto& c : cases) {
        for (bool save : {true, false}) {
            // The tree belongs to one document, the text to another.
            auto owner = newDocument();
            ASSERT_EQ(owner->loadString(source, 0), 0);
            auto composer = newDocument();
            const std::string expected = composedNow(owner->getRootImp());
            ASSERT_EQ(composer->buildString(owner->getRoot()), 0);
            c.change(owner);
            if (save) {
                EXPECT_EQ(composer->saveFile(path.c_str()), 0);
                EXPECT_EQ(readText(path), expected) << c.name;
            } else {
                EXPECT_EQ(composer->getString(), expected) << c.name;
            }
            if (owner) orv::releaseXmlTree(owner->getRoot());
        }
    }
    // Two documents composing one tree each keep their own text.
    auto owner = newDocument();
    ASSERT_EQ(owner->loadString(source, 0), 0);
    const std::string expected = composedNow(owner->getRootImp());
    auto first = newDocument();
    auto second = newDocument();
    ASSERT_EQ(first->buildString(owner->getRoot()), 0);
    ASSERT_EQ(second->buildString(owner->getRoot()), 0);
    owner->getRootImp()->setTagName("changed");
    EXPECT_EQ(first->getString(), expected);
    EXPECT_EQ(second->getString(), expected);
}
