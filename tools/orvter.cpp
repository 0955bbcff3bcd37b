// orvter: the command-line face of the library.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>

#include "Command.h"

namespace {
// Exit statuses: 0 done, 1 the input or the work failed, 2 the command line was wrong.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

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
}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"orvter - LAS point clouds and XML documents from the command line", "orvter"};
    app.require_subcommand(1);
    CLI::App* las = app.add_subcommand("las", "Inspect and convert LAS point clouds");
    las->require_subcommand(1);
    orvter::addLasInfo(*las);
    orvter::addLasCopy(*las);
    orvter::addLasGen(*las);
    orvter::addLasStream(*las);
    CLI::App* xml = app.add_subcommand("xml", "Format, read and change XML documents");
    xml->require_subcommand(1);
    orvter::addXmlFmt(*xml);
    orvter::addXmlGetSet(*xml);
    orvter::addDemo(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return usageError(app, e);
    } catch (const orvter::CommandError& e) {
        if (*e.what()) std::fprintf(stderr, "orvter: %s\n", e.what());
        return kExitFailure;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvter: %s\n", e.what());
        return kExitFailure;
    }
    return 0;
}
