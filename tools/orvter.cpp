// orvter: the command-line face of the library.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "Command.h"
#include "OrvCleanup.h"

namespace {
using orvter::kExitFailure;
using orvter::kExitUsage;

// The deepest subcommand the command line reached, whose usage a wrong command line is shown.
const CLI::App* reached(const CLI::App& app) {
    const CLI::App* at = &app;
    while (!at->get_subcommands().empty()) at = at->get_subcommands().front();
    return at;
}

std::string commandName(const CLI::App* app) {
    std::string name = app->get_name();
    for (const CLI::App* up = app->get_parent(); up; up = up->get_parent())
        name = up->get_name() + " " + name;
    return name;
}

// Three lines on standard error: what was wrong, the usage of the command, where help is.
int usageError(const CLI::App& app, const CLI::ParseError& e) {
    const CLI::App* at = reached(app);
    const std::string name = commandName(at);
    std::fprintf(stderr, "%s: %s\n%sRun '%s --help' for more.\n", name.c_str(), e.what(),
                 CLI::Formatter().make_usage(at, name).c_str(), name.c_str());
    return kExitUsage;
}

// A word where a command expects one of its subcommands: CLI11 would only say that one is
// required. Returns the usage error naming it, or 0 when the command line has none.
int unknownSubcommand(const CLI::App& app, int argc, char** argv) {
    const CLI::App* at = &app;
    for (int i = 1; i < argc && argv[i][0] != '-'; ++i) {
        const auto subs = at->get_subcommands({});
        const CLI::App* next = nullptr;
        for (const CLI::App* sub : subs)
            if (sub->check_name(argv[i])) next = sub;
        if (!next) {
            if (subs.empty()) return 0;  // a positional argument of a leaf command
            const std::string name = commandName(at);
            std::fprintf(stderr, "%s: unknown subcommand '%s'\n%sRun '%s --help' for more.\n",
                         name.c_str(), argv[i], CLI::Formatter().make_usage(at, name).c_str(),
                         name.c_str());
            return kExitUsage;
        }
        at = next;
    }
    return 0;
}

int run(CLI::App& app, int argc, char** argv) {
    if (const int status = unknownSubcommand(app, argc, argv)) return status;
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(app, e);
    } catch (const orvter::CommandError& e) {
        if (*e.what()) std::fprintf(stderr, "orvter: %s\n", e.what());
        return e.status();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvter: %s\n", e.what());
        return kExitFailure;
    }
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    // Files being written have no name until they are complete; the one moment a replacement
    // has a second name, these signals remove it before ending the process.
    orv::removeTemporariesOnSignals();
    CLI::App app{"orvter - LAS point clouds and XML documents from the command line", "orvter"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "orvter " ORV_VERSION);
    CLI::App* las = app.add_subcommand("las", "Examine and convert LAS point clouds");
    las->require_subcommand(1);
    orvter::addLasInfo(*las);
    orvter::addLasCopy(*las);
    orvter::addLasMerge(*las);
    orvter::addLasCopc(*las);
    orvter::addLasGen(*las);
    orvter::addTerrainCommands(*las);
    orvter::addLasStream(*las);
    orvter::addLasRender(*las);
    orvter::addLasToText(*las);
    orvter::addLasFromText(*las);
    CLI::App* xml = app.add_subcommand("xml", "Format, read and change XML documents");
    xml->require_subcommand(1);
    orvter::addXmlFmt(*xml);
    orvter::addXmlGetSet(*xml);
    orvter::addDemo(app);
    orvter::addView(app);
    orvter::addPipeline(app);

    return orvter::finishStdout(run(app, argc, argv));
}
