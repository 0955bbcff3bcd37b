// orvter xml get / set: one text or attribute of a document, reached by a packet path.
#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "Command.h"
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

orv::OrvPtr<IOrvXmlPack> loadPacket(const std::string& file) {
    orv::OrvPtr<IOrvXmlPack> pack(newOrvXmlPack());
    if (!pack) throw CommandError("out of memory");
    if (pack->loadFile(file) != 0) refuseFile(file);
    return pack;
}

void runGet(const PathOptions& o) {
    orv::OrvPtr<IOrvXmlPack> pack = loadPacket(o.file);
    IOrvXmlElem* elem = pack->findElem(o.path);
    if (!elem) throw CommandError(o.path + ": no element at this path in " + o.file);
    writeText((o.attr.empty() ? pack->getText(o.path) : pack->getAttr(elem, o.attr)) + "\n");
}

void runSet(const PathOptions& o) {
    orv::OrvPtr<IOrvXmlPack> pack = loadPacket(o.file);
    IOrvXmlElem* elem = pack->findElem(o.path);
    if (!elem && o.create) elem = pack->makePath(o.path);
    if (!elem) throw CommandError(o.path + ": no element at this path in " + o.file);
    if (o.attr.empty())
        pack->setText(elem, o.value);
    else
        pack->setAttr(elem, o.attr, o.value);
    IOrvXmlDoc* doc = pack->getDoc();
    pack->getXml(doc->getRoot());  // composes the whole document into its text
    const std::string& out = o.out.empty() ? o.file : o.out;
    if (doc->saveFile(out.c_str()) != 0) throw CommandError(out + ": cannot be written");
}

}  // namespace

void addXmlGetSet(CLI::App& xml) {
    auto get = std::make_shared<PathOptions>();
    CLI::App* g =
        xml.add_subcommand("get", "Print the text (or an attribute) of the element at PATH");
    g->add_option("FILE", get->file, "XML file")->required();
    g->add_option("PATH", get->path, "slash-separated tags; a leading / starts at the root")
        ->required();
    g->add_option("--attr", get->attr, "print this attribute instead of the text");
    g->callback([get] { runGet(*get); });

    auto set = std::make_shared<PathOptions>();
    CLI::App* s =
        xml.add_subcommand("set", "Set the text (or an attribute) of the element at PATH");
    s->add_option("FILE", set->file, "XML file")->required();
    s->add_option("PATH", set->path, "slash-separated tags; a leading / starts at the root")
        ->required();
    s->add_option("VALUE", set->value, "the new text or attribute value")->required();
    s->add_option("--attr", set->attr, "set this attribute instead of the text");
    s->add_flag("--create", set->create, "make the missing elements of PATH");
    s->add_option("-o,--output", set->out, "write here instead of FILE");
    s->callback([set] { runSet(*set); });
}

}  // namespace orvter
