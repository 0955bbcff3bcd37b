// orvter xml fmt: a document loaded and composed again.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "Command.h"
#include "OrvXml.h"

namespace orvter {

void loadXml(const std::string& arg, const std::function<int(const std::string&)>& load) {
    const InputPath in(arg);
    int result = 0;
    // The parser reports on standard output, where the document's data goes: its words go to
    // standard error instead.
    const std::string said = captureStdout([&] { result = load(in.path()); });
    if (!said.empty()) {
        std::fputs(said.c_str(), stderr);
        if (said.back() != '\n') std::fputc('\n', stderr);
    }
    if (result == 0) return;
    std::FILE* f = std::fopen(in.path().c_str(), "rb");
    const bool empty = f && std::fgetc(f) == EOF;
    if (f) std::fclose(f);
    if (empty) throw CommandError("cannot load '" + in.name() + "': empty file");
    if (!said.empty()) throw CommandError("cannot load '" + in.name() + "'");
    throw CommandError("cannot load '" + in.name() +
                       "': the document is outside the XML subset the parser reads (comments "
                       "or CDATA inside elements, attributes without quoted values, ...)");
}

orv::OrvPtr<IOrvXmlDoc> loadDocument(const std::string& arg) {
    orv::OrvPtr<IOrvXmlDoc> doc(newOrvXmlDoc());
    if (!doc) throw CommandError("out of memory");
    loadXml(arg, [&](const std::string& path) { return doc->loadFile(path); });
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
