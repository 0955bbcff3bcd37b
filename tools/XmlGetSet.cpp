// orvter xml get / set: one text or attribute of a document, reached by a packet path.
#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "Command.h"
#include "OrvXmlEdit.h"
#include "OrvXmlPack.h"

namespace orvter {
namespace {

struct PathOptions {
    std::string file;
    std::string path;
    std::string value;
    std::string attr;
    std::string out;
    bool create = false;
};

// The packet of `file`, with what the parser drops or guesses restored (the root's attributes,
// a declaration that fits the bytes), so that a save loses nothing of it.
orv::OrvPtr<IOrvXmlPack> loadPacket(const std::string& file) {
    orv::OrvPtr<IOrvXmlPack> pack(newOrvXmlPack());
    if (!pack) throw CommandError("out of memory");
    loadXml(file, pack->getDoc());
    pack->toRoot();
    orv::keepLoadedShape(pack->getDoc());
    return pack;
}

std::string nameOf(const std::string& file) {
    return file == "-" ? "standard input" : file;
}

void runGet(const PathOptions& o) {
    orv::OrvPtr<IOrvXmlPack> pack = loadPacket(o.file);
    IOrvXmlElem* elem = pack->findElem(o.path);
    if (!elem) throw CommandError("'" + o.path + "' not found in '" + nameOf(o.file) + "'");
    if (!o.attr.empty() && !orv::hasXmlAttr(elem, o.attr))
        throw CommandError("attribute '" + o.attr + "' of '" + o.path + "' not found in '" +
                           nameOf(o.file) + "'");
    writeText((o.attr.empty() ? pack->getText(o.path) : pack->getAttr(elem, o.attr)) + "\n");
}

void runSet(const PathOptions& o) {
    orv::OrvPtr<IOrvXmlPack> pack = loadPacket(o.file);
    std::string why;
    switch (orv::setPacketValue(pack.get(), o.path, o.value, o.attr.empty() ? nullptr : &o.attr,
                                o.create, &why)) {
        case orv::XmlEdit::refused:
            throw CommandError("refused: " + why, kExitUsage);
        case orv::XmlEdit::notFound:
            throw CommandError("'" + o.path + "' not found in '" + nameOf(o.file) + "'");
        case orv::XmlEdit::done:
            break;
    }
    IOrvXmlDoc* doc = pack->getDoc();
    pack->getXml(doc->getRoot());  // composes the whole document into its text
    OutputPath out(o.out.empty() ? o.file : o.out);
    // Without -o the file itself is changed, as asked; -o names another file.
    if (!o.out.empty()) out.refuseInput(identityOf(o.file), nameOf(o.file));
    if (doc->saveFile(out.path().c_str()) != 0)
        throw CommandError("cannot write '" + out.name() + "'");
    out.finish();
}

}  // namespace

void addXmlGetSet(CLI::App& xml) {
    auto get = std::make_shared<PathOptions>();
    CLI::App* g =
        xml.add_subcommand("get", "Print the text (or an attribute) of the element at PATH");
    g->add_option("FILE", get->file, "XML file (- reads standard input)")->required();
    g->add_option("PATH", get->path, "slash-separated tags; a leading / starts at the root")
        ->required();
    g->add_option("--attr", get->attr, "print this attribute instead of the text");
    g->callback([get] { runGet(*get); });

    auto set = std::make_shared<PathOptions>();
    CLI::App* s =
        xml.add_subcommand("set", "Set the text (or an attribute) of the element at PATH");
    s->add_option("FILE", set->file, "XML file (- reads standard input and writes standard output)")
        ->required();
    s->add_option("PATH", set->path, "slash-separated tags; a leading / starts at the root")
        ->required();
    s->add_option("VALUE", set->value, "the new text or attribute value")->required();
    s->add_option("--attr", set->attr, "set this attribute instead of the text");
    s->add_flag("--create", set->create, "make the missing elements of PATH");
    s->add_option("-o,--output", set->out, "write here instead of FILE (- is standard output)");
    s->callback([set] { runSet(*set); });
}

}  // namespace orvter
