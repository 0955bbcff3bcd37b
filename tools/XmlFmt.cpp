// orvter xml fmt: a document loaded and composed again.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "Command.h"
#include "OrvXml.h"

namespace orvter {

void refuseFile(const std::string& path) {
    // The parser has printed why it refused the text; unreadable and empty files it passes in
    // silence, so they are named here.
    std::ifstream in(path, std::ios::binary);
    if (!in) throw CommandError(path + ": cannot be read");
    if (in.peek() == std::ifstream::traits_type::eof()) throw CommandError(path + ": empty file");
    throw CommandError("");
}

orv::OrvPtr<IOrvXmlDoc> loadDocument(const std::string& path) {
    orv::OrvPtr<IOrvXmlDoc> doc(newOrvXmlDoc());
    if (!doc) throw CommandError("out of memory");
    if (doc->loadFile(path) != 0) refuseFile(path);
    return doc;
}

void writeText(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
        throw CommandError("cannot write to standard output");
}

void addXmlFmt(CLI::App& xml) {
    auto path = std::make_shared<std::string>();
    CLI::App* cmd = xml.add_subcommand("fmt", "Load an XML file and print it composed again");
    cmd->add_option("FILE", *path, "XML file")->required();
    cmd->callback([path] {
        orv::OrvPtr<IOrvXmlDoc> doc = loadDocument(*path);
        doc->buildString(doc->getRoot());
        writeText(doc->getString());
    });
}

}  // namespace orvter
