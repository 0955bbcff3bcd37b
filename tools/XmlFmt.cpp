// orvter xml fmt: a document loaded and composed again.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "Command.h"
#include "OrvXml.h"
#include "OrvXmlEdit.h"

namespace orvter {

void loadXml(const std::string& arg, IOrvXmlDoc* doc) {
    const InputPath in(arg);
    orv::XmlError error;
    if (orv::loadXmlFile(doc, in.path(), &error) == 0) return;
    // The parser's words go to standard error: standard output carries the document's data.
    if (!error.text.empty()) std::fprintf(stderr, "%s\n", error.text.c_str());
    if (error.status == orv::XmlStatus::emptyFile)
        throw CommandError("cannot load '" + in.name() + "': empty file");
    if (error.status == orv::XmlStatus::unreadable)
        throw CommandError("cannot read '" + in.name() +
                           "': " + std::strerror(error.systemError ? error.systemError : EIO));
    if (!error.text.empty()) throw CommandError("cannot load '" + in.name() + "'");
    throw CommandError("cannot load '" + in.name() +
                       "': the document is outside the XML subset the parser reads (comments "
                       "or CDATA inside elements, attributes without quoted values, ...)");
}

orv::OrvPtr<IOrvXmlDoc> loadDocument(const std::string& arg) {
    orv::OrvPtr<IOrvXmlDoc> doc(newOrvXmlDoc());
    if (!doc) throw CommandError("out of memory");
    loadXml(arg, doc.get());
    return doc;
}

void writeText(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        throw CommandError("cannot write to standard output");
}

void addXmlFmt(CLI::App& xml) {
    auto path = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    CLI::App* cmd = xml.add_subcommand("fmt", "Load an XML file and print it composed again");
    cmd->add_option("FILE", *path, "XML file (- reads standard input)")->required();
    cmd->add_option("-o,--output", *output,
                    "write the document to this file (replaced whole) instead of standard output");
    cmd->callback([path, output] {
        std::unique_ptr<OutputPath> out;
        if (!output->empty()) {
            out = std::make_unique<OutputPath>(*output);
            out->refuseInput(identityOf(*path), *path == "-" ? "standard input" : *path);
        }
        orv::OrvPtr<IOrvXmlDoc> doc = loadDocument(*path);
        doc->buildString(doc->getRoot());
        if (!out) {
            writeText(doc->getString());
            return;
        }
        if (doc->saveFile(out->path().c_str()) != 0)
            throw CommandError("cannot write '" + out->name() + "'");
        out->finish();
    });
}

}  // namespace orvter
